// The panel and button styles: the resolution table row by row (no painter
// involved), the derived colours by lightness band, and the pixels that
// QPainter:gradient leaves in an Image.
//
// With ORVANE_STYLE_PICTURES=DIR set, pictures() also writes one PNG per
// style into DIR (normal, down and disabled side by side), painted through
// the script methods; docs/images/ holds the pictures made this way.
#include "paint/styles.h"
#include "luafixture.h"
#include "luax.h"

#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QtTest>

#include <cstdlib>
#include <memory>

using testsupport::LuaFixture;
using testsupport::StdoutCapture;

Q_DECLARE_METATYPE(QGradientStops)

namespace {

const QColor kGrey(0x80, 0x80, 0x80);
const QColor kDark(0x33, 0x33, 0x33);
const QColor kWhite(Qt::white);
const QColor kBackground(Qt::magenta);

bool near(const QColor &a, const QColor &b, int tolerance)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance
        && qAbs(a.blue() - b.blue()) <= tolerance && qAbs(a.alpha() - b.alpha()) <= tolerance;
}

QColor mix(const QColor &a, const QColor &b, double t) // t of a over b
{
    return QColor(qRound(a.red() * t + b.red() * (1 - t)), qRound(a.green() * t + b.green() * (1 - t)),
        qRound(a.blue() * t + b.blue() * (1 - t)));
}

#define QCOMPARE_NEAR(actual, expected, tolerance)                                                                     \
    QVERIFY2(near((actual), (expected), (tolerance)),                                                                  \
        qPrintable(QStringLiteral("%1 is %2, expected %3")                                                             \
                       .arg(#actual, (actual).name(QColor::HexArgb), (expected).name(QColor::HexArgb))))

// Every name in the table, in the gallery's order.
const char *const kStyleNames[] = { "", "panel", "panel.flat", "panel.gradient", "button", "button.flat", "button.cell",
    "button.highlight", "button.compact", "button.selected", "button.warning", "msgbox.panel", "cell.panel", "timecode",
    "textbox", "gradient" };

} // namespace

class StylesTest : public QObject {
    Q_OBJECT

    std::unique_ptr<LuaFixture> fx;

    // Paints gradient(5, 5, w, h, colour, style, state) on a (w+10) x (h+10)
    // image filled with background; returns the image.
    QImage paint(int w, int h, const QByteArray &colour, const QByteArray &style, const QByteArray &state,
        const QColor &background = kBackground)
    {
        const QByteArray code = QStringLiteral("local img = qt.Image.create(%1, %2); local p = qt.QPainter.create(img);"
                                               "p:fill(0, 0, %1, %2, 0x%3); p:gradient(5, 5, %4, %5, %6, '%7', '%8');"
                                               "p = nil; collectgarbage(); result = img")
                                    .arg(w + 10)
                                    .arg(h + 10)
                                    .arg(background.rgb() & 0xFFFFFF, 6, 16, QLatin1Char('0'))
                                    .arg(w)
                                    .arg(h)
                                    .arg(QString::fromUtf8(colour), QString::fromUtf8(style), QString::fromUtf8(state))
                                    .toUtf8();
        const QString error = fx->run(code);
        if (!error.isEmpty()) {
            qWarning() << error;
            return QImage();
        }
        lua_getglobal(fx->L, "result");
        auto *pixmap = static_cast<QPixmap *>(luaX_toobject(fx->L, -1, "Image"));
        lua_pop(fx->L, 1);
        return pixmap ? pixmap->toImage() : QImage();
    }

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

    // Derived colours ------------------------------------------------------

    void derivedColoursFollowTheLightnessBand_data()
    {
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<QColor>("light");
        QTest::addColumn<QColor>("lighter");
        // Greys keep saturation 0, so lightening is a plain multiplication.
        QTest::newRow("0: fixed darks") << QColor(0, 0, 0) << QColor(0x35, 0x35, 0x35) << QColor(0x6F, 0x6F, 0x6F);
        QTest::newRow("1: 115/140") << QColor(1, 1, 1) << QColor(1, 1, 1) << QColor(1, 1, 1);
        QTest::newRow("100: 115/140") << QColor(100, 100, 100) << QColor(115, 115, 115) << QColor(140, 140, 140);
        QTest::newRow("101: 110/130") << QColor(101, 101, 101) << QColor(111, 111, 111) << QColor(131, 131, 131);
        QTest::newRow("200: 110/130, held at 255")
            << QColor(200, 200, 200) << QColor(220, 220, 220) << QColor(255, 255, 255);
        QTest::newRow("201: 105/120") << QColor(201, 201, 201) << QColor(211, 211, 211) << QColor(241, 241, 241);
        // Lightness is the HSL mean of max and min, not the HSV value.
        QTest::newRow("pure red is 127") << QColor(255, 0, 0) << QColor(255, 0, 0).lighter(110)
                                         << QColor(255, 0, 0).lighter(130);
        QTest::newRow("navy is 64") << QColor(0, 0, 128) << QColor(0, 0, 128).lighter(115)
                                    << QColor(0, 0, 128).lighter(140);
        QTest::newRow("alpha kept") << QColor(100, 100, 100, 77) << QColor(115, 115, 115, 77)
                                    << QColor(140, 140, 140, 77);
    }
    void derivedColoursFollowTheLightnessBand()
    {
        QFETCH(QColor, colour);
        QFETCH(QColor, light);
        QFETCH(QColor, lighter);
        const styles::Derived d = styles::derive(colour);
        QCOMPARE(d.base, colour.lightness() == 0 ? QColor(0x26, 0x26, 0x26) : colour);
        QCOMPARE(d.light.rgba(), light.rgba());
        QCOMPARE(d.lighter.rgba(), lighter.rgba());
    }

    // Resolution table -----------------------------------------------------

    void resolutionRows_data()
    {
        QTest::addColumn<QByteArray>("style");
        QTest::addColumn<QByteArray>("state");
        QTest::addColumn<QGradientStops>("fill"); // one stop at -1: a solid colour
        QTest::addColumn<int>("penWidth");
        QTest::addColumn<int>("radius");
        QTest::addColumn<QColor>("border");

        // C = #336699: lightness 102, so L1 = C.lighter(110), L2 = C.lighter(130).
        const QColor c(0x33, 0x66, 0x99), l1 = c.lighter(110), l2 = c.lighter(130);
        // The disabled grey #808080 has lightness 128: same band.
        const QColor g1 = kGrey.lighter(110);
        auto solid = [](const QColor &colour) { return QGradientStops { { -1.0, colour } }; };
        const QGradientStops button { { 0.0, kWhite }, { 0.05, l2 }, { 0.49, l1 }, { 0.5, c } };
        const QGradientStops panelGradient { { 0.0, l1 }, { 0.05, c }, { 1.0, l2 } };
        const QColor none, green(0, 0xC0, 0), red(0xD0, 0, 0);

        QTest::newRow("1 empty") << QByteArray("") << QByteArray("down") << solid(c) << 0 << 0 << none;
        QTest::newRow("1 empty disabled") << QByteArray("") << QByteArray("disabled") << solid(kGrey) << 0 << 0 << none;
        QTest::newRow("2 panel") << QByteArray("panel") << QByteArray("down") << solid(c) << 1 << 8 << kWhite;
        QTest::newRow("3 panel disabled")
            << QByteArray("panel") << QByteArray("disabled") << solid(kGrey) << 1 << 8 << kDark;
        QTest::newRow("4 panel.flat") << QByteArray("panel.flat") << QByteArray("") << solid(c) << 1 << 0 << kWhite;
        QTest::newRow("5 panel.flat disabled")
            << QByteArray("panel.flat") << QByteArray("disabled") << solid(kGrey) << 1 << 0 << kDark;
        QTest::newRow("6 b disabled") << QByteArray("button.selected") << QByteArray("disabled") << solid(kGrey) << 1
                                      << 3 << kDark;
        QTest::newRow("6 unlisted b disabled")
            << QByteArray("bogus") << QByteArray("disabled") << solid(kGrey) << 1 << 3 << kDark;
        QTest::newRow("7 selected down") << QByteArray("button.selected") << QByteArray("down") << solid(l1) << 2 << 3
                                         << green;
        QTest::newRow("8 warning down") << QByteArray("button.warning") << QByteArray("down") << solid(l1) << 2 << 3
                                        << red;
        QTest::newRow("9 b down") << QByteArray("button.flat") << QByteArray("down") << solid(l1) << 1 << 3 << kDark;
        QTest::newRow("10 flat") << QByteArray("button.flat") << QByteArray("") << solid(c) << 1 << 3 << kDark;
        QTest::newRow("11 cell") << QByteArray("button.cell") << QByteArray("")
                                 << QGradientStops { { 0.0, l2 }, { 0.5, c }, { 1.0, l1 } } << 1 << 3 << kDark;
        QTest::newRow("12 highlight") << QByteArray("button.highlight") << QByteArray("")
                                      << QGradientStops { { 0.0, l2.lighter(120) }, { 0.5, c },
                                             { 1.0, l1.lighter(140) } }
                                      << 1 << 3 << kDark;
        QTest::newRow("13 compact") << QByteArray("button.compact") << QByteArray("") << button << 1 << 0 << kDark;
        QTest::newRow("14 selected") << QByteArray("button.selected") << QByteArray("") << button << 2 << 3 << green;
        QTest::newRow("15 warning") << QByteArray("button.warning") << QByteArray("") << button << 2 << 3 << red;
        QTest::newRow("16 button") << QByteArray("button") << QByteArray("") << button << 1 << 3 << kDark;
        QTest::newRow("16 unlisted b, odd state") << QByteArray("b") << QByteArray("Down") << button << 1 << 3 << kDark;
        QTest::newRow("17 panel.gradient")
            << QByteArray("panel.gradient") << QByteArray("down") << panelGradient << 1 << 8 << kWhite;
        QTest::newRow("18 panel.gradient disabled")
            << QByteArray("panel.gradient") << QByteArray("disabled") << solid(kGrey) << 1 << 8 << kDark;
        QTest::newRow("19 msgbox.panel") << QByteArray("msgbox.panel") << QByteArray("disabled")
                                         << solid(QColor(50, 50, 90, 230)) << 1 << 0 << kWhite;
        QTest::newRow("20 cell.panel") << QByteArray("cell.panel") << QByteArray("") << solid(c) << 0 << 4 << c;
        QTest::newRow("20 cell.panel disabled")
            << QByteArray("cell.panel") << QByteArray("disabled") << solid(kGrey) << 0 << 4 << kGrey;
        QTest::newRow("21 timecode") << QByteArray("timecode") << QByteArray("") << solid(c) << 1 << 6 << kWhite;
        QTest::newRow("22 textbox") << QByteArray("textbox") << QByteArray("")
                                    << QGradientStops { { 0.0, kWhite }, { 0.05, c } } << 0 << 0 << none;
        QTest::newRow("22 textbox disabled") << QByteArray("textbox") << QByteArray("disabled")
                                             << QGradientStops { { 0.0, kWhite }, { 0.05, kGrey } } << 0 << 0 << none;
        QTest::newRow("23 gradient") << QByteArray("gradient") << QByteArray("") << panelGradient << 0 << 0 << none;
        QTest::newRow("24 gradient disabled")
            << QByteArray("gradient") << QByteArray("disabled") << solid(kGrey) << 0 << 0 << none;
        QTest::newRow("25 other") << QByteArray("other") << QByteArray("down") << solid(c) << 0 << 0 << none;
        QTest::newRow("25 capital B") << QByteArray("Button") << QByteArray("") << solid(c) << 0 << 0 << none;
        QTest::newRow("25 other disabled")
            << QByteArray("zz") << QByteArray("disabled") << solid(kGrey) << 0 << 0 << none;
        // Disabled b-styles with derived colours would use g1; none does.
        Q_UNUSED(g1);
    }
    void resolutionRows()
    {
        QFETCH(QByteArray, style);
        QFETCH(QByteArray, state);
        QFETCH(QGradientStops, fill);
        QFETCH(int, penWidth);
        QFETCH(int, radius);
        QFETCH(QColor, border);

        const QRectF rect(10, 20, 100, 40);
        const styles::Look look = styles::resolve(QColor(0x33, 0x66, 0x99), style.constData(), state.constData(), rect);
        QCOMPARE(look.penWidth, penWidth);
        QCOMPARE(look.radius, radius);
        QCOMPARE(look.border.isValid(), border.isValid());
        if (border.isValid())
            QCOMPARE(look.border.rgba(), border.rgba());
        if (fill.size() == 1 && fill.first().first < 0) {
            QCOMPARE(look.brush.style(), Qt::SolidPattern);
            QCOMPARE(look.brush.color().rgba(), fill.first().second.rgba());
            return;
        }
        QCOMPARE(look.brush.style(), Qt::LinearGradientPattern);
        const auto *g = static_cast<const QLinearGradient *>(look.brush.gradient());
        QCOMPARE(g->start(), QPointF(10, 20));
        QCOMPARE(g->finalStop(), QPointF(10, 60));
        QCOMPARE(g->spread(), QGradient::PadSpread);
        const QGradientStops stops = g->stops();
        QCOMPARE(stops.size(), fill.size());
        for (int i = 0; i < stops.size(); ++i) {
            QCOMPARE(stops[i].first, fill[i].first);
            QCOMPARE(stops[i].second.rgba(), fill[i].second.rgba());
        }
    }

    void msgboxIgnoresTheColour()
    {
        const styles::Look look = styles::resolve(QColor(Qt::yellow), "msgbox.panel", "", QRectF(0, 0, 5, 5));
        QCOMPARE(look.brush.color(), QColor(0x32, 0x32, 0x5A, 0xE6));
    }

    // Pixels ---------------------------------------------------------------

    void blackButtonUsesTheFixedDarks()
    {
        // Tall, so that 5 % and 49 % fall on whole rows.
        const QImage img = paint(100, 200, "'black'", "button", "");
        // Row 1's centre lies at 0.75 % of the height, 15 % of the way to the 5 % stop.
        QCOMPARE_NEAR(img.pixelColor(55, 5 + 1), mix(kWhite, QColor(0x6F, 0x6F, 0x6F), 0.85), 4);
        QCOMPARE_NEAR(img.pixelColor(55, 5 + 10), QColor(0x6F, 0x6F, 0x6F), 3); // 5 %
        QCOMPARE_NEAR(img.pixelColor(55, 5 + 97), QColor(0x35, 0x35, 0x35), 3); // 49 %
        for (int row : { 101, 150, 197 })
            QCOMPARE_NEAR(img.pixelColor(55, 5 + row), QColor(0x26, 0x26, 0x26), 1);
    }

    void blackButtonBorderLiesOnTheHalfPixel()
    {
        // The border is (0.5, 0.5, 99, 39) with radius 3: one whole pixel on
        // the first and last rows and columns of the 100 x 40 area.
        const QImage img = paint(100, 40, "'black'", "button", "");
        for (int x : { 20, 50, 80 }) {
            QCOMPARE_NEAR(img.pixelColor(5 + x, 5 + 0), kDark, 2);
            QCOMPARE_NEAR(img.pixelColor(5 + x, 5 + 39), kDark, 2);
            QCOMPARE(img.pixelColor(5 + x, 4), kBackground);
            QCOMPARE(img.pixelColor(5 + x, 5 + 40), kBackground);
        }
        for (int y : { 10, 20, 30 }) {
            QCOMPARE_NEAR(img.pixelColor(5 + 0, 5 + y), kDark, 2);
            QCOMPARE_NEAR(img.pixelColor(5 + 99, 5 + y), kDark, 2);
            QCOMPARE(img.pixelColor(4, 5 + y), kBackground);
            QCOMPARE(img.pixelColor(5 + 100, 5 + y), kBackground);
        }
        // Row 1's centre lies at 3.75 % of the height: still white on its way to #6F6F6F.
        QCOMPARE_NEAR(img.pixelColor(5 + 50, 5 + 1), mix(kWhite, QColor(0x6F, 0x6F, 0x6F), 0.25), 4);
        // Round corners leave the corner pixel mostly background.
        QVERIFY(!near(img.pixelColor(5, 5), kDark, 10));
        QCOMPARE_NEAR(img.pixelColor(5 + 50, 5 + 30), QColor(0x26, 0x26, 0x26), 1);
    }

    void panelFillsWithTheColourItself()
    {
        const QImage img = paint(100, 40, "'black'", "panel", "");
        QCOMPARE(img.pixelColor(55, 25), QColor(Qt::black));
        QCOMPARE_NEAR(img.pixelColor(55, 5), kWhite, 2); // odd pen shifted onto the pixel
        QCOMPARE_NEAR(img.pixelColor(5, 25), kWhite, 2);
        QCOMPARE_NEAR(img.pixelColor(5 + 99, 25), kWhite, 2);
        QCOMPARE(img.pixelColor(5 + 100, 25), kBackground);
        QVERIFY(!near(img.pixelColor(6, 6), kWhite, 30)); // radius 8 cuts the corner
    }

    void flatPanelBorderStraddlesTheEdges()
    {
        // Square corners: no half-pixel shift, so the antialiased pen covers
        // half of each pixel on either side of the outline's lines.
        const QImage img = paint(100, 40, "0x00204060", "panel.flat", "");
        const QColor c(0x20, 0x40, 0x60);
        QCOMPARE(img.pixelColor(55, 25), c);
        QCOMPARE_NEAR(img.pixelColor(55, 5), mix(kWhite, c, 0.5), 3);
        QCOMPARE_NEAR(img.pixelColor(5, 25), mix(kWhite, c, 0.5), 3);
        QCOMPARE_NEAR(img.pixelColor(5 + 98, 25), mix(kWhite, c, 0.5), 3);
        QCOMPARE_NEAR(img.pixelColor(5 + 99, 25), mix(kWhite, kBackground, 0.5), 3);
        QCOMPARE_NEAR(img.pixelColor(4, 25), mix(kWhite, kBackground, 0.5), 3);
        QCOMPARE_NEAR(img.pixelColor(55, 4), mix(kWhite, kBackground, 0.5), 3);
        QCOMPARE(img.pixelColor(5 + 100, 25), kBackground);
        QCOMPARE(img.pixelColor(3, 25), kBackground);
        QCOMPARE_NEAR(img.pixelColor(5, 5), mix(kWhite, c, 0.75), 3); // square corner, no rounding
    }

    void cellButtonRunsLightDarkLight()
    {
        const QImage img = paint(100, 200, "0x00646464", "button.cell", "");
        QCOMPARE_NEAR(img.pixelColor(55, 5 + 1), QColor(140, 140, 140), 2);
        QCOMPARE_NEAR(img.pixelColor(55, 5 + 100), QColor(100, 100, 100), 2);
        QCOMPARE_NEAR(img.pixelColor(55, 5 + 198), QColor(115, 115, 115), 2);
        QCOMPARE_NEAR(img.pixelColor(55, 5 + 199), kDark, 2);
    }

    void selectedDownHasATwoPixelGreenBorderInside()
    {
        // Border on (1, 1, 97, 37): rows 0-1 and 37-38, columns 0-1 and 97-98.
        const QImage img = paint(100, 40, "0x00646464", "button.selected", "down");
        const QColor green(0, 0xC0, 0);
        QCOMPARE(img.pixelColor(55, 25), QColor(115, 115, 115));
        for (int y : { 0, 1, 37, 38 })
            QCOMPARE_NEAR(img.pixelColor(55, 5 + y), green, 2);
        for (int x : { 0, 1, 97, 98 })
            QCOMPARE_NEAR(img.pixelColor(5 + x, 25), green, 2);
        QCOMPARE(img.pixelColor(5 + 99, 25), kBackground);
        QCOMPARE(img.pixelColor(55, 5 + 39), kBackground);
        QCOMPARE(img.pixelColor(55, 5 + 2), QColor(115, 115, 115));
        QCOMPARE(img.pixelColor(5 + 96, 25), QColor(115, 115, 115));
    }

    void compactButtonHasSquareCorners()
    {
        const QImage img = paint(100, 40, "'black'", "button.compact", "");
        QCOMPARE_NEAR(img.pixelColor(55, 5 + 30), QColor(0x26, 0x26, 0x26), 1);
        QCOMPARE_NEAR(img.pixelColor(5 + 99, 25), mix(kDark, kBackground, 0.5), 3);
        QCOMPARE_NEAR(img.pixelColor(5 + 98, 25), mix(kDark, QColor(0x26, 0x26, 0x26), 0.5), 3);
        // No rounding: next to the corner, the top line still covers half
        // of row 0 over the near-white start of the gradient.
        const QColor top = mix(kWhite, QColor(0x6F, 0x6F, 0x6F), 0.75);
        QCOMPARE_NEAR(img.pixelColor(5 + 1, 5), mix(kDark, top, 0.5), 4);
        QCOMPARE_NEAR(img.pixelColor(5 + 1, 4), mix(kDark, kBackground, 0.5), 3);
    }

    void cellPanelOutlinesTheUnshrunkRectInItsFill()
    {
        const QImage img = paint(100, 40, "'red'", "cell.panel", "");
        QCOMPARE(img.pixelColor(55, 25), QColor(Qt::red));
        QCOMPARE(img.pixelColor(5, 25), QColor(Qt::red));
        QCOMPARE(img.pixelColor(5 + 99, 25), QColor(Qt::red));
        // The cosmetic outline on x = 100 spills half a pixel outside.
        QCOMPARE_NEAR(img.pixelColor(5 + 100, 25), mix(QColor(Qt::red), kBackground, 0.5), 3);
        QCOMPARE(img.pixelColor(5 + 101, 25), kBackground);
        QCOMPARE_NEAR(img.pixelColor(55, 4), mix(QColor(Qt::red), kBackground, 0.5), 3);
        QVERIFY(!near(img.pixelColor(5, 5), QColor(Qt::red), 30)); // radius 4
    }

    void msgboxPanelIsTranslucentSlateWithAWhiteBorder()
    {
        // Over black the fill shows at 230/255: (45, 45, 81); the square
        // border straddles the outline's lines.
        const QImage img = paint(100, 40, "'yellow'", "msgbox.panel", "disabled", QColor(Qt::black));
        const QColor fill(45, 45, 81);
        QCOMPARE_NEAR(img.pixelColor(55, 25), fill, 2);
        QCOMPARE_NEAR(img.pixelColor(55, 5), mix(kWhite, fill, 0.5), 3);
        QCOMPARE_NEAR(img.pixelColor(5 + 99, 25), mix(kWhite, QColor(Qt::black), 0.5), 3);
        QCOMPARE_NEAR(img.pixelColor(4, 25), mix(kWhite, QColor(Qt::black), 0.5), 3);
        QCOMPARE(img.pixelColor(3, 25), QColor(Qt::black));
    }

    void textboxFillsEverythingWithoutBorder()
    {
        const QImage img = paint(100, 200, "0x00336699", "textbox", "");
        const QColor c(0x33, 0x66, 0x99);
        QCOMPARE_NEAR(img.pixelColor(55, 5), kWhite, 12);
        QCOMPARE_NEAR(img.pixelColor(55, 5 + 10), c, 2);
        QCOMPARE_NEAR(img.pixelColor(5, 5 + 100), c, 1);
        QCOMPARE_NEAR(img.pixelColor(5 + 99, 5 + 199), c, 1);
        QCOMPARE(img.pixelColor(5 + 100, 5 + 100), kBackground);
        QCOMPARE(img.pixelColor(55, 5 + 200), kBackground);
    }

    void disabledGradientIsPlainGrey()
    {
        const QImage img = paint(100, 40, "'red'", "gradient", "disabled");
        for (QPoint p : { QPoint(5, 5), QPoint(55, 25), QPoint(5 + 99, 5 + 39) })
            QCOMPARE(img.pixelColor(p), kGrey);
        QCOMPARE(img.pixelColor(5 + 100, 25), kBackground);
        QCOMPARE(img.pixelColor(4, 4), kBackground);
    }

    void unlistedNames_data()
    {
        QTest::addColumn<QByteArray>("style");
        QTest::addColumn<bool>("button");
        QTest::newRow("b-name") << QByteArray("bezel") << true;
        QTest::newRow("other name") << QByteArray("frame") << false;
    }
    void unlistedNames()
    {
        QFETCH(QByteArray, style);
        QFETCH(bool, button);
        const QImage img = paint(100, 40, "'black'", style, "");
        if (button) {
            QCOMPARE_NEAR(img.pixelColor(55, 5), kDark, 2);
            QCOMPARE_NEAR(img.pixelColor(55, 5 + 30), QColor(0x26, 0x26, 0x26), 1);
            QVERIFY(!near(img.pixelColor(5, 5), kDark, 10));
        } else {
            QCOMPARE(img.pixelColor(5, 5), QColor(Qt::black));
            QCOMPARE(img.pixelColor(5 + 99, 5 + 39), QColor(Qt::black));
        }
        QCOMPARE(img.pixelColor(5 + 100, 25), kBackground);
    }

    void transparentColourDrawsNothing_data()
    {
        QTest::addColumn<QByteArray>("colour");
        QTest::addColumn<QByteArray>("style");
        QTest::addColumn<QByteArray>("state");
        QTest::newRow("named, button") << QByteArray("'transparent'") << QByteArray("button") << QByteArray("");
        QTest::newRow("number, disabled panel")
            << QByteArray("0xFF336699") << QByteArray("panel") << QByteArray("disabled");
        QTest::newRow("msgbox") << QByteArray("'transparent'") << QByteArray("msgbox.panel") << QByteArray("");
        QTest::newRow("empty style") << QByteArray("0xFF000000") << QByteArray("") << QByteArray("down");
    }
    void transparentColourDrawsNothing()
    {
        QFETCH(QByteArray, colour);
        QFETCH(QByteArray, style);
        QFETCH(QByteArray, state);
        const QImage img = paint(40, 20, colour, style, state);
        QVERIFY(!img.isNull());
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                QCOMPARE(img.pixelColor(x, y), kBackground);
    }

    void statesInOtherCaseLookNormal_data()
    {
        QTest::addColumn<QByteArray>("style");
        QTest::addColumn<QByteArray>("state");
        QTest::newRow("Down") << QByteArray("button.selected") << QByteArray("Down");
        QTest::newRow("DISABLED") << QByteArray("panel") << QByteArray("DISABLED");
        QTest::newRow("Disabled gradient") << QByteArray("gradient") << QByteArray("Disabled");
    }
    void statesInOtherCaseLookNormal()
    {
        QFETCH(QByteArray, style);
        QFETCH(QByteArray, state);
        const QImage normal = paint(60, 30, "0x00336699", style, "");
        QCOMPARE(paint(60, 30, "0x00336699", style, state), normal);
        QVERIFY(paint(60, 30, "0x00336699", style, state.toLower()) != normal);
    }

    void gradientUsesTheBrushAndRestoresThePainter()
    {
        QCOMPARE(fx->run("img = qt.Image.create(30, 10); p = qt.QPainter.create(img); p:fill(0, 0, 30, 10, 'white');"
                         "p:setBrush('red'); p:setPen('blue'); p:gradient(0, 0, 10, 10, nil, 'button.flat');"
                         "p:fill(20, 0, 10, 10)"),
            QString());
        lua_getglobal(fx->L, "p");
        auto *painter = static_cast<QPainter *>(luaX_toobject(fx->L, -1, "QPainter"));
        lua_pop(fx->L, 1);
        QVERIFY(painter);
        QCOMPARE(painter->brush().color(), QColor(Qt::red));
        QCOMPARE(painter->pen().color(), QColor(Qt::blue));
        QVERIFY(!painter->testRenderHint(QPainter::Antialiasing));
        QCOMPARE(fx->run("p = nil; collectgarbage()"), QString());
        lua_getglobal(fx->L, "img");
        const QImage img = static_cast<QPixmap *>(luaX_toobject(fx->L, -1, "Image"))->toImage();
        lua_pop(fx->L, 1);
        QCOMPARE(img.pixelColor(5, 5), QColor(Qt::red)); // the flat button's fill is C
        QCOMPARE(img.pixelColor(25, 5), QColor(Qt::red));
    }

    void gradientNeedsItsRectangle()
    {
        QVERIFY(fx->run("qt.QPainter.create(qt.Image.create(2, 2)):gradient(0, 0, 5)").contains("bad argument #4"));
    }

    // One picture per style for the documentation, when asked for.
    void pictures()
    {
        const QByteArray dir = qgetenv("ORVANE_STYLE_PICTURES");
        if (dir.isEmpty())
            QSKIP("set ORVANE_STYLE_PICTURES=DIR to write the style pictures");
        QVERIFY(QDir().mkpath(QString::fromLocal8Bit(dir)));
        for (const char *name : kStyleNames) {
            const QByteArray style(name);
            const QByteArray code = "local img = qt.Image.create(372, 52); local p = qt.QPainter.create(img);"
                                    "p:fill(0, 0, 372, 52, 0x00202428);"
                                    "local f = qt.QFont.create(); f:setFont('DejaVu Sans', 'bold', 13); p:setFont(f);"
                                    "for i, state in ipairs({'', 'down', 'disabled'}) do"
                                    "  local x = 6 + (i - 1) * 122;"
                                    "  p:gradient(x, 6, 116, 40, 0x00305878, '"
                + style
                + "', state);"
                  "  p:text(x + 10, 18, state == '' and 'normal' or state, nil, 'white')"
                  " end; p = nil; collectgarbage(); result = img";
            QCOMPARE(fx->run(code), QString());
            lua_getglobal(fx->L, "result");
            auto *pixmap = static_cast<QPixmap *>(luaX_toobject(fx->L, -1, "Image"));
            lua_pop(fx->L, 1);
            QVERIFY(pixmap);
            const QString file = QStringLiteral("%1/style-%2.png")
                                     .arg(QString::fromLocal8Bit(dir),
                                         style.isEmpty() ? QStringLiteral("empty") : QString::fromLatin1(style));
            QVERIFY(pixmap->save(file));
        }
    }
};

QTEST_MAIN(StylesTest)
#include "styles.moc"
