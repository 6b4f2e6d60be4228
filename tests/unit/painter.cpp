// The QPainter and Image script classes, checked by the pixels they leave:
// scripts paint into an Image, the test reads the pixmap back.
#include "luafixture.h"
#include "luax.h"
#include "tracker.h"

#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QWidget>
#include <QtTest>

#include <memory>

using testsupport::LuaFixture;
using testsupport::StdoutCapture;

namespace {

// The image behind global `name`, as the test sees it now.
QImage imageOf(lua_State *L, const char *name)
{
    lua_getglobal(L, name);
    auto *pixmap = static_cast<QPixmap *>(luaX_toobject(L, -1, "Image"));
    lua_pop(L, 1);
    return pixmap ? pixmap->toImage() : QImage();
}

// Rows of img (from..to inclusive) that hold any pixel unlike the background.
QList<int> inkedRows(const QImage &img, const QColor &background)
{
    QList<int> rows;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.pixelColor(x, y) != background) {
                rows << y;
                break;
            }
    return rows;
}

} // namespace

class PainterTest : public QObject {
    Q_OBJECT

    std::unique_ptr<LuaFixture> fx;

    void runOk(const QByteArray &code) { QCOMPARE(fx->run(code), QString()); }

private slots:
    void init()
    {
        StdoutCapture quiet;
        fx = std::make_unique<LuaFixture>();
    }
    void cleanup()
    {
        StdoutCapture quiet;
        fx.reset();
    }

    // Image --------------------------------------------------------------

    void imageReportsItsSize()
    {
        runOk("img = qt.Image.create(7, 3)");
        QCOMPARE(fx->eval("select(1, img:size()) * 100 + select(2, img:size())").toInt(), 703);
        lua_getglobal(fx->L, "img");
        QCOMPARE(luaX_testudata(fx->L, -1, "Image")->flags, HANDLE_OWNED | HANDLE_UNTRACKED);
        lua_pop(fx->L, 1);
    }

    void emptyImageIsZeroByZero_data()
    {
        QTest::addColumn<QByteArray>("size");
        QTest::newRow("zero width") << QByteArray("0, 5");
        QTest::newRow("zero height") << QByteArray("5, 0");
        QTest::newRow("negative") << QByteArray("-3, 4");
        QTest::newRow("both zero") << QByteArray("0, 0");
    }
    void emptyImageIsZeroByZero()
    {
        QFETCH(QByteArray, size);
        runOk("w, h = qt.Image.create(" + size + "):size()");
        QCOMPARE(fx->eval("w").toInt(), 0);
        QCOMPARE(fx->eval("h").toInt(), 0);
    }

    void imageCreateNeedsNumbers() { QVERIFY(fx->run("qt.Image.create(3)").contains("bad argument #2")); }

    // box ----------------------------------------------------------------

    void boxCoversExactlyItsArea_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::newRow("1x1") << 4 << 5 << 1 << 1;
        QTest::newRow("1xN") << 2 << 1 << 1 << 6;
        QTest::newRow("Nx1") << 3 << 7 << 8 << 1;
        QTest::newRow("2x2") << 0 << 0 << 2 << 2;
        QTest::newRow("NxM") << 1 << 2 << 9 << 6;
        QTest::newRow("edge to edge") << 0 << 0 << 12 << 12;
        QTest::newRow("zero width") << 3 << 3 << 0 << 5;
        QTest::newRow("zero height") << 3 << 3 << 5 << 0;
    }
    void boxCoversExactlyItsArea()
    {
        QFETCH(int, x);
        QFETCH(int, y);
        QFETCH(int, w);
        QFETCH(int, h);
        runOk(
            QStringLiteral("img = qt.Image.create(12, 12); p = qt.QPainter.create(img); p:fill(0, 0, 12, 12, 'white');"
                           "p:box(%1, %2, %3, %4, 'red'); p = nil; collectgarbage()")
                .arg(x)
                .arg(y)
                .arg(w)
                .arg(h)
                .toUtf8());
        const QImage img = imageOf(fx->L, "img");
        for (int py = 0; py < 12; ++py) {
            for (int px = 0; px < 12; ++px) {
                const bool inside = px >= x && px < x + w && py >= y && py < y + h;
                const bool edge = px == x || px == x + w - 1 || py == y || py == y + h - 1;
                const QColor expected = inside && edge ? QColor(Qt::red) : QColor(Qt::white);
                if (img.pixelColor(px, py) != expected)
                    QFAIL(qPrintable(
                        QStringLiteral("pixel %1,%2 is %3").arg(px).arg(py).arg(img.pixelColor(px, py).name())));
            }
        }
    }

    void boxUsesThePenAndRestoresIt()
    {
        runOk("img = qt.Image.create(10, 10); p = qt.QPainter.create(img); p:fill(0, 0, 10, 10, 'white');"
              "p:setPen('blue'); p:box(0, 0, 4, 4); p:box(5, 5, 0, 3, 'red'); p:box(5, 0, 3, 3, 'green');"
              "p:box(0, 5, 3, 3); p = nil; collectgarbage()");
        const QImage img = imageOf(fx->L, "img");
        QCOMPARE(img.pixelColor(0, 0), QColor(Qt::blue));
        QCOMPARE(img.pixelColor(3, 3), QColor(Qt::blue));
        QCOMPARE(img.pixelColor(5, 0), QColor(Qt::green));
        // The colour given to one box does not stick to the next.
        QCOMPARE(img.pixelColor(0, 5), QColor(Qt::blue));
        QCOMPARE(img.pixelColor(2, 7), QColor(Qt::blue));
    }

    // fill ---------------------------------------------------------------

    void fillUsesTheBrushColourWithoutAColour()
    {
        runOk("img = qt.Image.create(12, 8); p = qt.QPainter.create(img); p:fill(0, 0, 12, 8, 'white');"
              "p:setBrush('red'); p:fill(1, 2, 10, 5); p = nil; collectgarbage()");
        const QImage img = imageOf(fx->L, "img");
        QCOMPARE(inkedRows(img, Qt::white), (QList<int> { 2, 3, 4, 5, 6 }));
        QCOMPARE(img.pixelColor(1, 2), QColor(Qt::red));
        QCOMPARE(img.pixelColor(10, 6), QColor(Qt::red));
        QCOMPARE(img.pixelColor(0, 2), QColor(Qt::white));
        QCOMPARE(img.pixelColor(11, 6), QColor(Qt::white));
        QCOMPARE(img.pixelColor(10, 7), QColor(Qt::white));
    }

    void neverSetBrushFillsBlack()
    {
        runOk("img = qt.Image.create(10, 5); p = qt.QPainter.create(img); p:fill(0, 0, 10, 5, 'white');"
              "p:fill(0, 0, 10, 5, {}); p = nil; collectgarbage()");
        const QImage img = imageOf(fx->L, "img");
        QCOMPARE(img.pixelColor(0, 0), QColor(Qt::black));
        QCOMPARE(img.pixelColor(9, 4), QColor(Qt::black));
    }

    void fillHonoursNumbersAndNames()
    {
        runOk("img = qt.Image.create(4, 1); p = qt.QPainter.create(img); p:fill(0, 0, 1, 1, 0x00123456);"
              "p:fill(1, 0, 1, 1, 'lightblue'); p:fill(2, 0, 1, 1, '0x0000FF00'); p:fill(3, 0, 1.9, 1.9, 'red');"
              "p = nil; collectgarbage()");
        const QImage img = imageOf(fx->L, "img");
        QCOMPARE(img.pixelColor(0, 0), QColor(0x12, 0x34, 0x56));
        QCOMPARE(img.pixelColor(1, 0), QColor(0xB0, 0xC4, 0xDE));
        QCOMPARE(img.pixelColor(2, 0), QColor(Qt::green));
        QCOMPARE(img.pixelColor(3, 0), QColor(Qt::red));
    }

    // text ---------------------------------------------------------------

    void textTopEdgeIsY_data()
    {
        QTest::addColumn<int>("y");
        QTest::newRow("row 0") << 0;
        QTest::newRow("row 9") << 9;
    }
    void textTopEdgeIsY()
    {
        QFETCH(int, y);
        runOk(
            QStringLiteral("img = qt.Image.create(80, 60); p = qt.QPainter.create(img); p:fill(0, 0, 80, 60, 'white');"
                           "f = qt.QFont.create(); f:setFont('DejaVu Sans', 24); p:setFont(f);"
                           "p:text(2, %1, '\\195\\129|', nil, 'black'); p = nil; collectgarbage()")
                .arg(y)
                .toUtf8());
        const QList<int> rows = inkedRows(imageOf(fx->L, "img"), Qt::white);
        QVERIFY(!rows.isEmpty());
        QCOMPARE(rows.first(), y);
    }

    void textSizeAppliesToOneCallOnly()
    {
        runOk("img = qt.Image.create(120, 120); p = qt.QPainter.create(img); p:fill(0, 0, 120, 120, 'white');"
              "f = qt.QFont.create(); f:setFont('DejaVu Sans', 10); p:setFont(f);"
              "p:text(0, 0, '|', 40, 'black'); p:text(60, 0, '|', nil, 'black')");
        lua_getglobal(fx->L, "p");
        auto *painter = static_cast<QPainter *>(luaX_toobject(fx->L, -1, "QPainter"));
        lua_pop(fx->L, 1);
        QVERIFY(painter);
        QCOMPARE(painter->font().pixelSize(), 10);
        runOk("p = nil; collectgarbage()");
        const QImage img = imageOf(fx->L, "img");
        const QImage big = img.copy(0, 0, 60, 120);
        const QImage small = img.copy(60, 0, 60, 120);
        const int bigHeight = inkedRows(big, Qt::white).size();
        const int smallHeight = inkedRows(small, Qt::white).size();
        QVERIFY2(smallHeight > 0 && smallHeight * 3 < bigHeight,
            qPrintable(QStringLiteral("%1 %2").arg(smallHeight).arg(bigHeight)));
    }

    void textUsesThePenWithoutAColour()
    {
        runOk("img = qt.Image.create(40, 30); p = qt.QPainter.create(img); p:fill(0, 0, 40, 30, 'white');"
              "p:setPen('red'); p:text(0, 0, '\\226\\150\\136', 24); p = nil; collectgarbage()");
        const QImage img = imageOf(fx->L, "img");
        bool red = false;
        for (int y = 0; y < img.height() && !red; ++y)
            for (int x = 0; x < img.width() && !red; ++x)
                red = img.pixelColor(x, y) == QColor(Qt::red);
        QVERIFY(red);
    }

    // image --------------------------------------------------------------

    void imageWithDefaultsCopiesTheWholeImage()
    {
        runOk("src = qt.Image.create(3, 2); q = qt.QPainter.create(src); q:fill(0, 0, 3, 2, 'red');"
              "q:fill(2, 1, 1, 1, 'blue'); q = nil; collectgarbage();"
              "img = qt.Image.create(8, 8); p = qt.QPainter.create(img); p:fill(0, 0, 8, 8, 'white');"
              "p:image(4, 5, src); p = nil; collectgarbage()");
        const QImage img = imageOf(fx->L, "img");
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                QColor expected(Qt::white);
                if (x >= 4 && x < 7 && y >= 5 && y < 7)
                    expected = (x == 6 && y == 6) ? QColor(Qt::blue) : QColor(Qt::red);
                QCOMPARE(img.pixelColor(x, y), expected);
            }
    }

    void imageCopiesAPartAtTheSameSize()
    {
        runOk("src = qt.Image.create(4, 4); q = qt.QPainter.create(src); q:fill(0, 0, 4, 4, 'red');"
              "q:fill(2, 2, 2, 2, 'blue'); q = nil; collectgarbage();"
              "img = qt.Image.create(6, 6); p = qt.QPainter.create(img); p:fill(0, 0, 6, 6, 'white');"
              "p:image(0, 0, src, 1, 1, 2, 2); p = nil; collectgarbage()");
        const QImage img = imageOf(fx->L, "img");
        QCOMPARE(img.pixelColor(0, 0), QColor(Qt::red));
        QCOMPARE(img.pixelColor(1, 1), QColor(Qt::blue));
        QCOMPARE(img.pixelColor(2, 2), QColor(Qt::white));
        QCOMPARE(img.pixelColor(2, 0), QColor(Qt::white));
    }

    // painters and their devices -----------------------------------------

    void painterKeepsItsDroppedImageAlive()
    {
        runOk("p = qt.QPainter.create(qt.Image.create(6, 4)); collectgarbage('collect'); collectgarbage('collect');"
              "p:fill(0, 0, 6, 4, 'red'); w, h = p:size()");
        QCOMPARE(fx->eval("w").toInt(), 6);
        QCOMPARE(fx->eval("h").toInt(), 4);
        lua_getglobal(fx->L, "p");
        auto *painter = static_cast<QPainter *>(luaX_toobject(fx->L, -1, "QPainter"));
        QVERIFY(painter && painter->isActive());
        lua_getuservalue(fx->L, -1);
        auto *pixmap = static_cast<QPixmap *>(luaX_toobject(fx->L, -1, "Image"));
        lua_pop(fx->L, 2);
        QVERIFY(pixmap);
        QCOMPARE(static_cast<QPaintDevice *>(pixmap), painter->device());
        painter->end(); // a pixmap shows its pixels only outside painting
        QCOMPARE(pixmap->toImage().pixelColor(5, 3), QColor(Qt::red));
        QVERIFY(painter->begin(pixmap));
    }

    void ownedPaintersAreFreshHandles()
    {
        runOk(
            "img = qt.Image.create(2, 2); a = qt.QPainter.create(img); b = qt.QPainter.create(qt.Image.create(2, 2))");
        QCOMPARE(fx->eval("rawequal(a, b)").toBool(), false);
        lua_getglobal(fx->L, "a");
        QCOMPARE(luaX_testudata(fx->L, -1, "QPainter")->flags, HANDLE_OWNED | HANDLE_UNTRACKED);
        lua_pop(fx->L, 1);
    }

    void sharedPainterOutsidePaintHasNoSize()
    {
        ObjectTracker::instance(fx->L);
        runOk("w, h = lcdCanvas:size()");
        QCOMPARE(fx->eval("w").toInt(), 0);
        QCOMPARE(fx->eval("h").toInt(), 0);
        // Collecting the shared painter's handle never touches the painter.
        QCOMPARE(fx->run("lcdCanvas:__gc(); w, h = lcdCanvas:size()"), QString());
    }

    void sharedPainterDrawsTheWidgetDuringPaint()
    {
        runOk("w = qt.Widget.create(); w:setGeometry(0, 0, 30, 20);"
              "function MsgHandler(h, name) if h == w and name == 'onPaint' then"
              "  sw, sh = lcdCanvas:size(); lcdCanvas:fill(0, 0, sw, sh, 'green'); lcdCanvas:box(0, 0, sw, sh, 'red')"
              " end end");
        lua_getglobal(fx->L, "w");
        auto *widget = luaX_toqobject<QWidget>(fx->L, -1, "QWidget");
        lua_pop(fx->L, 1);
        QVERIFY(widget);
        const QImage img = widget->grab().toImage();
        QCOMPARE(fx->eval("sw").toInt(), 30);
        QCOMPARE(fx->eval("sh").toInt(), 20);
        QCOMPARE(img.pixelColor(0, 0), QColor(Qt::red));
        QCOMPARE(img.pixelColor(29, 19), QColor(Qt::red));
        QCOMPARE(img.pixelColor(15, 10), QColor(Qt::green));
        StdoutCapture quiet;
        delete widget;
    }

    void buttonFaceFollowsItsState()
    {
        runOk(
            "b = qt.PushButton.create(); b:setGeometry(0, 0, 60, 30);"
            "function MsgHandler(h, name) if h == b and name == 'onPaint' then"
            "  local w, h = lcdCanvas:size(); lcdCanvas:gradient(0, 0, w, h, 0x00646464, 'button.selected', b:state())"
            " end end");
        lua_getglobal(fx->L, "b");
        auto *button = luaX_toqobject<QPushButton>(fx->L, -1, "PushButton");
        lua_pop(fx->L, 1);
        QVERIFY(button);
        const QColor green(0, 0xC0, 0), dark(0x33, 0x33, 0x33);

        QImage img = button->grab().toImage(); // normal: button gradient, 2-pixel green border
        QCOMPARE(img.pixelColor(30, 0), green);
        QCOMPARE(img.pixelColor(30, 25), QColor(100, 100, 100));
        button->setDown(true);
        img = button->grab().toImage(); // down: solid L1
        QCOMPARE(img.pixelColor(30, 1), green);
        QCOMPARE(img.pixelColor(30, 8), QColor(115, 115, 115));
        QCOMPARE(img.pixelColor(30, 25), QColor(115, 115, 115));
        button->setEnabled(false);
        img = button->grab().toImage(); // disabled wins: grey with a dark 1-pixel border
        QCOMPARE(img.pixelColor(30, 0), dark);
        QCOMPARE(img.pixelColor(30, 1), QColor(0x80, 0x80, 0x80));
        StdoutCapture quiet;
        delete button;
    }

    void badArgumentsRaise_data()
    {
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QString>("message");
        QTest::newRow("painter on a font")
            << QByteArray("qt.QPainter.create(qt.QFont.create())") << "Image expected, got userdata";
        QTest::newRow("size on an image")
            << QByteArray("qt.QPainter.size(qt.Image.create(1, 1))") << "QPainter expected, got userdata";
        QTest::newRow("missing coordinate") << QByteArray("p:fill(0, 0, 5)") << "bad argument #4 to 'fill'";
        QTest::newRow("word coordinate") << QByteArray("p:box(0, 'a', 5, 5)") << "bad argument #2 to 'box'";
        QTest::newRow("unknown colour") << QByteArray("p:fill(0, 0, 1, 1, 'Red')") << "invalid option 'Red'";
        QTest::newRow("text without text") << QByteArray("p:text(0, 0)") << "bad argument #3 to 'text'";
        QTest::newRow("setFont without font") << QByteArray("p:setFont()") << "QFont expected, got no value";
    }
    void badArgumentsRaise()
    {
        QFETCH(QByteArray, code);
        QFETCH(QString, message);
        runOk("p = qt.QPainter.create(qt.Image.create(4, 4))");
        const QString error = fx->run(code);
        QVERIFY2(error.contains(message), qPrintable(error));
    }
};

QTEST_MAIN(PainterTest)
#include "painter.moc"
