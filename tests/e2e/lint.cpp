// tools/orvane-lint: luacheck with the host's globals plus what luacheck
// cannot know (modules, classes, methods, colour, style and state names),
// from the configuration the build generates. The demo is clean by it.
#include "testsupport.h"

#include <QFileInfo>
#include <QTest>

using namespace testsupport;

namespace {

// Every mistake on its own line; the second half must stay silent.
const QByteArray kPlanted = R"LUA(local qt = require "qt.core"
local serial = require "serial.cor"
local page = {}
function MsgHandler(handle, message)
  if message == "onStartup" then
    page.panel = qt.QWidget.create(rootWidget)
    page.panel:setGeomtry(0, 0, 300, 200)
    page.button = qt.PushButton.creat(page.panel)
    page.title = qt.Widgte
    mainWindow:setTxt("hello")
    page.panel.colour = "red"
  elseif message == "onPaint" and handle == page.panel then
    local w, h = lcdCanvas:size()
    lcdCanvas:gradient(0, 0, w, h, "Red", "panel.gradent", "pressed")
    lcdCanvas:text(10, 10, "Hello", 18, "whtie")
    -- Nothing from here on is a mistake.
    lcdCanvas:gradient(0, 0, w, h, 0x00305070, "button.selected", handle:state())
    lcdCanvas:box(0, 0, w, h, "0x00FF00")
    page.panel:setFancy() -- luacheck: ignore 921
    local timer = qt.Timer.create()
    timer.tick = function() end
    timer:tick()
    local other = qt.QWidget.create()
    other:show()
    other = serial.SerialPort.create()
    other:open("/dev/null")
  end
end
)LUA";

QString tool()
{
    return sourcePath(QStringLiteral("tools/orvane-lint"));
}
QString config()
{
    return QFileInfo(hostBinary()).absolutePath() + QLatin1String("/../types/luacheckrc");
}

} // namespace

class LintTest : public QObject {
    Q_OBJECT

private slots:
    void reportsWhatTheHostDoesNotHave()
    {
        Install install;
        install.writeFile(QStringLiteral("planted.lua"), kPlanted);
        const Run r = runProcess(tool(),
            { QStringLiteral("--config"), config(), QStringLiteral("--formatter"), QStringLiteral("plain"),
                QStringLiteral("--codes"), QStringLiteral("planted.lua") },
            install.root());
        QVERIFY2(r.finished, r.err.constData());
        QCOMPARE(r.status, 1);
        QCOMPARE(r.outText(),
            QStringLiteral(
                "planted.lua:2:24: (W901) the host has no module 'serial.cor'; did you mean \"serial.core\"?\n"
                "planted.lua:7:16: (W921) 'Widget' has no method 'setGeomtry'; did you mean \"setGeometry\"?\n"
                "planted.lua:8:33: (W912) 'qt.PushButton' has no function 'creat'; did you mean \"create\"?\n"
                "planted.lua:9:21: (W911) 'qt.core' has no class or function 'Widgte'; did you mean \"Widget\"?\n"
                "planted.lua:10:5: (W143) accessing undefined field 'setTxt' of global 'mainWindow'\n"
                "planted.lua:11:16: (W922) 'Widget' has no method or field 'colour'; its handles take no fields of "
                "their own\n"
                "planted.lua:14:36: (W931) 'Red' is not a colour name; did you mean \"red\"?\n"
                "planted.lua:14:43: (W932) 'panel.gradent' is not a style of gradient; did you mean "
                "\"panel.gradient\"?\n"
                "planted.lua:14:60: (W933) 'pressed' is not a state of gradient\n"
                "planted.lua:15:41: (W931) 'whtie' is not a colour name; did you mean \"white\"?\n"));
    }

    void demoIsClean()
    {
        const Run r = runProcess(
            tool(), { QStringLiteral("--config"), config(), QStringLiteral("--no-color") }, sourcePath(QString()));
        QVERIFY2(r.finished && r.status == 0, r.out.constData());
        QVERIFY2(r.outText().contains(QStringLiteral("Total: 0 warnings / 0 errors in ")), r.out.constData());
        QVERIFY(r.outText().contains(QStringLiteral("modules/demo.lua")));
    }
};

QTEST_GUILESS_MAIN(LintTest)
#include "lint.moc"
