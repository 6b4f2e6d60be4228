// QPainter:graphic: a graphic's own file before the sprite sheet, the
// process-wide cache, the error for unknown names and the target rectangle.
// Paths are relative to the working directory, so the whole test runs in a
// temporary directory; the cache and the sprite sheet are process-wide, so
// the test functions share one set of files.
#include "luafixture.h"
#include "luax.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QPixmap>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using testsupport::LuaFixture;
using testsupport::StdoutCapture;

namespace {

QByteArray square(const char *colour)
{
    return QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" height=\"10\" viewBox=\"0 0 10 10\">"
                      "<rect x=\"0\" y=\"0\" width=\"10\" height=\"10\" fill=\"")
        + colour + "\"/></svg>";
}

bool write(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QFile::WriteOnly) && file.write(data) == data.size();
}

} // namespace

class GraphicsTest : public QObject {
    Q_OBJECT

    QString savedDir;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<LuaFixture> fx;

    // Draws graphic(name, rect) onto a white 12 x 12 image; returns the
    // error text (empty on success) and leaves the picture in *out.
    QString draw(const QByteArray &name, const QByteArray &rect, QImage *out)
    {
        const QString error = fx->run("img = qt.Image.create(12, 12); local p = qt.QPainter.create(img);"
                                      "p:fill(0, 0, 12, 12, 'white'); local ok, err = pcall(p.graphic, p, "
            + name + ", " + rect + "); p = nil; collectgarbage(); if not ok then error(err, 0) end");
        lua_getglobal(fx->L, "img");
        auto *pixmap = static_cast<QPixmap *>(luaX_toobject(fx->L, -1, "Image"));
        lua_pop(fx->L, 1);
        if (out && pixmap)
            *out = pixmap->toImage();
        return error;
    }

    QColor centre(const QByteArray &name)
    {
        QImage img;
        const QString error = draw("'" + name + "'", "{x = 1, y = 1, w = 10, h = 10}", &img);
        if (!error.isEmpty())
            qWarning() << error;
        return img.isNull() ? QColor() : img.pixelColor(6, 6);
    }

private slots:
    void initTestCase()
    {
        savedDir = QDir::currentPath();
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        QVERIFY(QDir(dir->path()).mkpath(QStringLiteral("images/sub")));
        QVERIFY(QDir::setCurrent(dir->path()));
        QVERIFY(write(QStringLiteral("images/sprites.svg"),
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"40\" height=\"10\" viewBox=\"0 0 40 10\">"
            "<rect id=\"fa-dot\" x=\"0\" y=\"0\" width=\"10\" height=\"10\" fill=\"#ff0000\"/>"
            "<rect id=\"fa-own\" x=\"10\" y=\"0\" width=\"10\" height=\"10\" fill=\"#0000ff\"/>"
            "<rect id=\"fa-late\" x=\"20\" y=\"0\" width=\"10\" height=\"10\" fill=\"#00ff00\"/>"
            "<rect id=\"fa-keep\" x=\"30\" y=\"0\" width=\"10\" height=\"10\" fill=\"#0000ff\"/>"
            "</svg>"));
        QVERIFY(write(QStringLiteral("images/own.svg"), square("#ffff00")));
        QVERIFY(write(QStringLiteral("images/keep.svg"), square("#00ffff")));
        QVERIFY(write(QStringLiteral("images/sub/deep.svg"), square("#ff00ff")));
    }
    void cleanupTestCase()
    {
        QDir::setCurrent(savedDir);
        dir.reset();
    }
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

    void spriteElementIsDrawnIntoTheRect()
    {
        QImage img;
        QCOMPARE(draw("'dot'", "{x = 2, y = 3, w = 4, h = 5}", &img), QString());
        for (int y = 0; y < 12; ++y)
            for (int x = 0; x < 12; ++x) {
                const bool inside = x >= 2 && x < 6 && y >= 3 && y < 8;
                QCOMPARE(img.pixelColor(x, y), inside ? QColor(Qt::red) : QColor(Qt::white));
            }
    }

    void ownFileWinsOverTheSpriteSheet() { QCOMPARE(centre("own"), QColor(Qt::yellow)); }

    void namesReachSubdirectories() { QCOMPARE(centre("sub/deep"), QColor(Qt::magenta)); }

    void cacheSurvivesDeletingTheFile()
    {
        QCOMPARE(centre("keep"), QColor(Qt::cyan));
        QVERIFY(QFile::remove(QStringLiteral("images/keep.svg")));
        QCOMPARE(centre("keep"), QColor(Qt::cyan));
        // A fresh interpreter still finds the process-wide cache.
        cleanup();
        init();
        QCOMPARE(centre("keep"), QColor(Qt::cyan));
    }

    void nameFirstMissingKeepsUsingTheSpriteSheet()
    {
        QCOMPARE(centre("late"), QColor(Qt::green));
        QVERIFY(write(QStringLiteral("images/late.svg"), square("#ffff00")));
        QCOMPARE(centre("late"), QColor(Qt::green));
    }

    void unknownNameRaisesWithTheSpriteId()
    {
        QImage img;
        QCOMPARE(draw("'nothere'", "{x = 0, y = 0, w = 12, h = 12}", &img),
            QStringLiteral("Cannot find graphic 'fa-nothere'"));
        QCOMPARE(img.pixelColor(6, 6), QColor(Qt::white));
        // The sprite lookup is repeated, and fails the same way again.
        QCOMPARE(draw("'nothere'", "nil", nullptr), QStringLiteral("Cannot find graphic 'fa-nothere'"));
        // Names are case-sensitive.
        QCOMPARE(draw("'DOT'", "nil", nullptr), QStringLiteral("Cannot find graphic 'fa-DOT'"));
        // Raised as the message stands, not as "file:line: ..." of the
        // script line that called it.
        QCOMPARE(fx->run("local p = qt.QPainter.create(qt.Image.create(4, 4))\n"
                         "local ok, err = pcall(function() p:graphic('nothere', {}) end)\n"
                         "assert(not ok) message = err"),
                 QString());
        QCOMPARE(fx->eval("message").toString(), QStringLiteral("Cannot find graphic 'fa-nothere'"));
    }

    void emptyRectCoversTheWholeDevice_data()
    {
        QTest::addColumn<QByteArray>("rect");
        QTest::newRow("missing") << QByteArray("nil");
        QTest::newRow("not a table") << QByteArray("'x'");
        QTest::newRow("zero size") << QByteArray("{x = 3, y = 3}");
    }
    void emptyRectCoversTheWholeDevice()
    {
        QFETCH(QByteArray, rect);
        QImage img;
        QCOMPARE(draw("'own'", rect, &img), QString());
        QCOMPARE(img.pixelColor(0, 0), QColor(Qt::yellow));
        QCOMPARE(img.pixelColor(11, 11), QColor(Qt::yellow));
        QCOMPARE(draw("'dot'", rect, &img), QString());
        QCOMPARE(img.pixelColor(0, 0), QColor(Qt::red));
        QCOMPARE(img.pixelColor(11, 11), QColor(Qt::red));
    }

    void badArguments()
    {
        const QString error = fx->run("qt.QPainter.create(qt.Image.create(1, 1)):graphic()");
        QVERIFY2(error.contains("bad argument #1 to 'graphic'"), qPrintable(error)); // method call: self not counted
        QVERIFY(
            fx->run("qt.QPainter.graphic(qt.Image.create(1, 1), 'dot')").contains("QPainter expected, got userdata"));
    }
};

QTEST_MAIN(GraphicsTest)
#include "graphics.moc"
