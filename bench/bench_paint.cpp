// Painting from scripts beside the same QPainter work done in C++:
//   paint:   a 800 x 480 widget whose onPaint draws 100 "button" gradients,
//            each with a centred label, through lcdCanvas from Lua, against
//            a plain QWidget whose paintEvent makes the same QPainter calls;
//            both rendered with QWidget::render into a QImage;
//   graphic: QPainter:graphic of a cached SVG from a Lua loop, against
//            QSvgRenderer::render on the same file from a C++ loop.
//
//   bench_paint [google benchmark options]
//   bench_paint --mode=CASE --iterations=N   only that loop, for callgrind;
//       a frame costs about a thousand graphic calls, so paint cases run
//       N / 1000 frames and graphic cases N / 100 batches of 100 renders
//   bench_paint --list-pairs
//   bench_paint --save=DIR                   writes both frames as PNGs, to compare by eye
#include "luax.h"
#include "tracker.h"
#include "pairs.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QWidget>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

namespace {

constexpr int kWidth = 800;
constexpr int kHeight = 480;
constexpr int kColumns = 10;
constexpr int kRows = 10;
constexpr int kGraphicsPerLoop = 100;
const QColor kFace(0x30, 0x50, 0x70);

// The same frame as the script's, in plain Qt: the "button" look (button
// gradient, 1-pixel #333333 border, radius 3) and a centred white label.
class BareWidget : public QWidget {
public:
    BareWidget()
    {
        resize(kWidth, kHeight);
        // The script's font: QFont.create() with a pixel size.
        QFont f = font();
        f.setStyleStrategy(QFont::PreferAntialias);
        f.setFamily(QStringLiteral("Courier New"));
        f.setWeight(QFont::Normal);
        f.setPixelSize(14);
        setFont(f);
        const QFontMetrics metrics(f);
        for (int i = 0; i < kColumns * kRows; ++i) {
            labels << QStringLiteral("Key %1").arg(i);
            sizes << QSize(metrics.horizontalAdvance(labels.last()), metrics.height());
        }
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        const int bw = width() / kColumns, bh = height() / kRows;
        const QColor l1 = kFace.lighter(115), l2 = kFace.lighter(140);
        for (int i = 0; i < kColumns * kRows; ++i) {
            const int x = (i % kColumns) * bw, y = (i / kColumns) * bh;
            p.save();
            QLinearGradient g(QPointF(x, y), QPointF(x, y + bh));
            g.setColorAt(0, Qt::white);
            g.setColorAt(0.05, l2);
            g.setColorAt(0.49, l1);
            g.setColorAt(0.5, kFace);
            QPen pen(QColor(0x33, 0x33, 0x33));
            pen.setWidth(1);
            p.setPen(pen);
            p.setBrush(g);
            p.setRenderHints(QPainter::Antialiasing);
            p.drawRoundedRect(QRectF(x + 0.5, y + 0.5, bw - 1, bh - 1), 3, 3, Qt::AbsoluteSize);
            p.restore();
            p.save();
            p.setPen(Qt::white);
            p.drawText(
                QPointF(x + (bw - sizes[i].width()) / 2, y + (bh - sizes[i].height()) / 2 + p.fontMetrics().ascent()),
                labels[i]);
            p.restore();
        }
    }

private:
    QStringList labels;
    QVector<QSize> sizes;
};

const char *const kSvg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"64\" height=\"64\" viewBox=\"0 0 64 64\">"
                         "<circle cx=\"32\" cy=\"32\" r=\"28\" fill=\"#2a6fb0\" stroke=\"#ffffff\" stroke-width=\"4\"/>"
                         "<path d=\"M20 34 L28 42 L46 22\" fill=\"none\" stroke=\"#ffffff\" stroke-width=\"6\"/>"
                         "</svg>";

struct World {
    lua_State *L = nullptr;
    QWidget *scripted = nullptr;
    BareWidget bare;
    QImage frame { kWidth, kHeight, QImage::Format_ARGB32_Premultiplied };
    QImage canvas { 64, 64, QImage::Format_ARGB32_Premultiplied };
    QTemporaryDir dir;
    QString savedDir;
    std::unique_ptr<QSvgRenderer> renderer;
    int graphicLoop = LUA_NOREF;

    World()
    {
        savedDir = QDir::currentPath();
        QDir(dir.path()).mkpath(QStringLiteral("images"));
        QDir::setCurrent(dir.path());
        QFile svg(QStringLiteral("images/badge.svg"));
        svg.open(QFile::WriteOnly);
        svg.write(kSvg);
        svg.close();
        renderer = std::make_unique<QSvgRenderer>(QStringLiteral("images/badge.svg"));

        pairs::QuietStdout quiet;
        L = luaX_newstate();
        luaL_requiref(L, "qt.core", luaopen_qt_core, 0);
        lua_setglobal(L, "qt");
        const char *setup = R"(
            local columns, rows = ...
            w = qt.Widget.create()
            w:setGeometry(0, 0, 800, 480)
            local font = qt.QFont.create()
            font:setFont(14)
            local labels, widths, heights = {}, {}, {}
            for i = 0, columns * rows - 1 do
              labels[i] = "Key " .. i
              widths[i], heights[i] = font:textBounds(labels[i])
            end
            function MsgHandler(h, name)
              if name ~= "onPaint" then return end
              local c = lcdCanvas
              local width, height = c:size()
              local bw, bh = width // columns, height // rows
              c:setFont(font)
              for i = 0, columns * rows - 1 do
                local x, y = (i % columns) * bw, (i // columns) * bh
                c:gradient(x, y, bw, bh, 0x00305070, "button")
                c:text(x + (bw - widths[i]) // 2, y + (bh - heights[i]) // 2, labels[i], nil, "white")
              end
            end
            image = qt.Image.create(64, 64)
            painter = qt.QPainter.create(image)
        )";
        if (luaL_loadstring(L, setup) != LUA_OK) {
            fprintf(stderr, "setup: %s\n", lua_tostring(L, -1));
            exit(1);
        }
        lua_pushinteger(L, kColumns);
        lua_pushinteger(L, kRows);
        if (lua_pcall(L, 2, 0, 0) != LUA_OK) {
            fprintf(stderr, "setup: %s\n", lua_tostring(L, -1));
            exit(1);
        }
        luaL_loadstring(L,
            "local p, n = painter, ... local r = {x = 0, y = 0, w = 64, h = 64}"
            " for i = 1, n do p:graphic('badge', r) end");
        graphicLoop = luaL_ref(L, LUA_REGISTRYINDEX);
        lua_getglobal(L, "w");
        scripted = luaX_toqobject<QWidget>(L, -1, "QWidget");
        lua_pop(L, 1);
        quiet.end();
    }
    ~World()
    {
        // Closed first: the widget's deletion then reaches no tracker, which
        // would print its line into the benchmark's report.
        lua_close(L);
        delete scripted;
        QDir::setCurrent(savedDir);
    }

    void paintOurs() { scripted->render(&frame); }
    void paintBare() { bare.render(&frame); }

    void graphicOurs(int calls)
    {
        lua_rawgeti(L, LUA_REGISTRYINDEX, graphicLoop);
        lua_pushinteger(L, calls);
        if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
            fprintf(stderr, "graphic loop failed: %s\n", lua_tostring(L, -1));
            lua_pop(L, 1);
        }
    }
    void graphicBare(int calls)
    {
        QPainter p(&canvas);
        const QRectF r(0, 0, 64, 64);
        for (int i = 0; i < calls; ++i)
            renderer->render(&p, r);
    }
};

World *world = nullptr;

void BM_paint_ours(benchmark::State &state)
{
    for (auto _ : state)
        world->paintOurs();
}
void BM_paint_bare(benchmark::State &state)
{
    for (auto _ : state)
        world->paintBare();
}
void BM_graphic_ours(benchmark::State &state)
{
    for (auto _ : state)
        world->graphicOurs(kGraphicsPerLoop);
    state.SetItemsProcessed(state.iterations() * kGraphicsPerLoop);
}
void BM_graphic_bare(benchmark::State &state)
{
    for (auto _ : state)
        world->graphicBare(kGraphicsPerLoop);
    state.SetItemsProcessed(state.iterations() * kGraphicsPerLoop);
}

BENCHMARK(BM_paint_ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_paint_bare)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_graphic_ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_graphic_bare)->Unit(benchmark::kMicrosecond);

int runMode(const std::string &mode, long iterations)
{
    const long frames = std::max(1L, iterations / 1000);
    const long batches = std::max(1L, iterations / 100);
    if (mode == "paint-ours") {
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < frames; ++i)
            world->paintOurs();
        CALLGRIND_TOGGLE_COLLECT;
    } else if (mode == "paint-bare") {
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < frames; ++i)
            world->paintBare();
        CALLGRIND_TOGGLE_COLLECT;
    } else if (mode == "graphic-ours") {
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < batches; ++i)
            world->graphicOurs(kGraphicsPerLoop);
        CALLGRIND_TOGGLE_COLLECT;
    } else if (mode == "graphic-bare") {
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < batches; ++i)
            world->graphicBare(kGraphicsPerLoop);
        CALLGRIND_TOGGLE_COLLECT;
    } else {
        fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    printf("%s %ld\n", mode.c_str(), iterations);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    pairs::Args args;
    if (!pairs::parseArgs(argc, argv, "paint\ngraphic", args))
        return 0;
    QString saveDir;
    for (int i = 1; i < argc; ++i) {
        if (!strncmp(argv[i], "--save=", 7))
            saveDir = QString::fromLocal8Bit(argv[i] + 7);
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    World w;
    world = &w;
    int status = 0;
    if (!saveDir.isEmpty()) {
        w.paintOurs();
        w.frame.save(saveDir + QStringLiteral("/paint-ours.png"));
        w.paintBare();
        w.frame.save(saveDir + QStringLiteral("/paint-bare.png"));
    } else {
        status = pairs::run(argc, argv, args, runMode);
    }
    world = nullptr;
    return status;
}
