#include "testdriver.h"
#include "luax.h"
#include "numbers.h"
#include "objectpaths.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace orvane {

namespace {

// Registry keys (their addresses): the driver of the interpreter and the
// runner table of the library's script half.
const char kDriverKey = 'd';
const char kRunnerKey = 'r';

// Pushes runner[name]; false (nothing pushed) when the library is not open.
bool pushRunner(lua_State *L, const char *name)
{
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, &kRunnerKey) != LUA_TTABLE) { /* runner */
        lua_pop(L, 1);
        return false;
    }
    lua_getfield(L, -1, name); /* runner, fn */
    lua_remove(L, -2); /* fn */
    return true;
}

QByteArray popText(lua_State *L)
{
    const QByteArray text = luaL_tolstring(L, -1, nullptr);
    lua_pop(L, 2);
    return text;
}

} // namespace

void writeResult(const QByteArray &line)
{
    printf("%s\n", line.constData());
    fflush(stdout);
    fprintf(stderr, "%s\n", line.constData());
    fflush(stderr);
}

TestDriver::TestDriver(lua_State *state, QWidget *window, const QByteArray &path)
    : QObject(window)
    , L(state)
    , mainWindow(window)
    , file(path)
{
    clock.start();
    lua_pushlightuserdata(L, this);
    lua_rawsetp(L, LUA_REGISTRYINDEX, &kDriverKey);
}

TestDriver *TestDriver::of(lua_State *L)
{
    lua_rawgetp(L, LUA_REGISTRYINDEX, &kDriverKey);
    auto *driver = static_cast<TestDriver *>(lua_touserdata(L, -1));
    lua_pop(L, 1);
    return driver;
}

// The splash screen processes events while it waits for the window, before
// the event loop runs; a driver that ended there would have its exit status
// lost, so it starts only once the loop is running.
void TestDriver::beginWhenLoopRuns()
{
    if (QThread::currentThread()->loopLevel() > 0) {
        begin();
        return;
    }
    QTimer::singleShot(0, this, [this] { beginWhenLoopRuns(); });
}

void TestDriver::begin()
{
    if (mainWindow)
        mainWindow->installEventFilter(this);
    lua_getglobal(L, "require");
    lua_pushstring(L, "orvane.test");
    if (luaX_pcall(L, 1, 0, "") != LUA_OK) {
        fail(popText(L));
        finish();
        return;
    }
    if (!pushRunner(L, "start")) {
        fail("the orvane.test library did not open");
        finish();
        return;
    }
    lua_pushstring(L, file.constData());
    if (luaX_pcall(L, 1, 2, "") != LUA_OK) {
        fail(popText(L));
        finish();
        return;
    }
    if (!lua_toboolean(L, -2)) { /* nil, message */
        fail(popText(L));
        lua_pop(L, 1);
        finish();
        return;
    }
    lua_pop(L, 2);
    step();
}

void TestDriver::step()
{
    if (done)
        return;
    if (!pushRunner(L, "step")) {
        fail("the orvane.test library is gone");
        finish();
        return;
    }
    running = true;
    const int status = luaX_pcall(L, 0, 2, "");
    running = false;
    fflush(stdout);
    if (status != LUA_OK) {
        fail(popText(L));
        finish();
        return;
    }
    const QByteArray what = lua_tostring(L, -2);
    if (what == "wait") {
        const int ms = numbers::toInt32(L, -1);
        lua_pop(L, 2);
        // The driver closed the window itself (or made the application do
        // it): that ends the run.
        if (!mainWindow || !mainWindow->isVisible()) {
            finish();
            return;
        }
        QTimer::singleShot(ms, Qt::PreciseTimer, this, [this] { step(); });
        return;
    }
    if (what == "error")
        fail(popText(L));
    lua_pop(L, 2);
    finish();
}

void TestDriver::fail(const QByteArray &detail)
{
    ++failed;
    writeResult("FAIL driver: " + detail);
}

void TestDriver::finish()
{
    if (done)
        return;
    done = true;
    writeResult(QByteArray::number(passed) + " passed, " + QByteArray::number(failed) + " failed");
    const int status = failed > 0 ? 1 : 0;
    // Closed as a user would close it: onClose, then onShutdown once.
    if (mainWindow && mainWindow->isVisible())
        mainWindow->close();
    if (mainWindow && mainWindow->isVisible())
        writeResult("driver: the main window refused to close");
    // After the window's own quit, so this status is the one that counts.
    QCoreApplication::exit(status);
}

bool TestDriver::eventFilter(QObject *watched, QEvent *event)
{
    // A close the driver did not cause (a timer of the application, say)
    // would end the process before the summary: it is held back and the run
    // ends as a failure instead.
    if (watched == mainWindow && event->type() == QEvent::Close && !done && !running) {
        event->ignore();
        QTimer::singleShot(0, this, [this] {
            fail("the main window was closed before the driver finished");
            finish();
        });
        return true;
    }
    return false;
}

ulong TestDriver::nextTimestamp()
{
    // Distinct times let the recorder tell a propagated copy from a new event.
    const ulong now = ulong(clock.elapsed()) + 1;
    lastTimestamp = qMax(now, lastTimestamp + 1);
    return lastTimestamp;
}

void TestDriver::count(bool ok, const QByteArray &line)
{
    ++(ok ? passed : failed);
    writeResult(line);
}

// ---------------------------------------------------------------------------
// The native half of the library.

namespace {

TestDriver *checkDriver(lua_State *L)
{
    TestDriver *driver = TestDriver::of(L);
    if (!driver)
        luaL_error(L, "orvane.test: no driver is running");
    return driver;
}

int lfind(lua_State *L)
{
    TestDriver *d = checkDriver(L);
    size_t len = 0;
    const char *name = luaL_checklstring(L, 1, &len);
    luaX_pushqobject(L, findRecorded(d->window(), QByteArray(name, int(len))));
    return 1;
}

int lpath(lua_State *L)
{
    const QByteArray name = recordedName(luaX_checkqobject<QObject>(L, 1, "QObject"));
    lua_pushlstring(L, name.constData(), size_t(name.size()));
    return 1;
}

int lmouse(lua_State *L)
{
    TestDriver *d = checkDriver(L);
    auto *w = luaX_checkqobject<QWidget>(L, 1, "QWidget");
    static const char *const kinds[] = { "press", "move", "release", nullptr };
    static const char *const buttons[] = { "left", "right", nullptr };
    const int kind = luaL_checkoption(L, 2, nullptr, kinds);
    const QPoint p
        = lua_isnoneornil(L, 3) ? w->rect().center() : QPoint(numbers::checkInt32(L, 3), numbers::checkInt32(L, 4));
    const Qt::MouseButton button = luaL_checkoption(L, 5, "left", buttons) == 0 ? Qt::LeftButton : Qt::RightButton;
    QEvent::Type type = QEvent::MouseMove;
    Qt::MouseButton changed = Qt::NoButton;
    if (kind == 0) {
        type = QEvent::MouseButtonPress;
        changed = button;
        d->held |= button;
    } else if (kind == 2) {
        type = QEvent::MouseButtonRelease;
        changed = button;
        d->held &= ~Qt::MouseButtons(button);
    }
    QMouseEvent ev(type, QPointF(p), QPointF(w->mapTo(w->window(), p)), QPointF(w->mapToGlobal(p)), changed, d->held,
        Qt::NoModifier);
    ev.setTimestamp(d->nextTimestamp());
    QCoreApplication::sendEvent(w, &ev);
    return 0;
}

struct NamedKey {
    const char *name;
    int key;
    const char *text;
};

const NamedKey kNamedKeys[] = {
    { "enter", Qt::Key_Return, "\r" },
    { "return", Qt::Key_Return, "\r" },
    { "escape", Qt::Key_Escape, "\x1b" },
    { "tab", Qt::Key_Tab, "\t" },
    { "backspace", Qt::Key_Backspace, "\b" },
    { "delete", Qt::Key_Delete, "\x7f" },
    { "space", Qt::Key_Space, " " },
    { "left", Qt::Key_Left, "" },
    { "up", Qt::Key_Up, "" },
    { "right", Qt::Key_Right, "" },
    { "down", Qt::Key_Down, "" },
    { "home", Qt::Key_Home, "" },
    { "end", Qt::Key_End, "" },
};

int lkey(lua_State *L)
{
    TestDriver *d = checkDriver(L);
    QWidget *w = lua_isnoneornil(L, 1) ? QApplication::focusWidget() : luaX_checkqobject<QWidget>(L, 1, "QWidget");
    if (!w)
        return luaL_error(L, "no widget has the keyboard focus");
    int code = 0;
    QString text;
    if (lua_type(L, 2) == LUA_TNUMBER) {
        code = numbers::toInt32(L, 2);
    } else {
        const QString key = QString::fromUtf8(luaL_checkstring(L, 2));
        bool named = false;
        for (const NamedKey &k : kNamedKeys) {
            if (key == QLatin1String(k.name)) {
                code = k.key;
                text = QString::fromLatin1(k.text);
                named = true;
                break;
            }
        }
        if (!named) {
            const QVector<uint> points = key.toUcs4();
            if (points.size() != 1)
                return luaL_argerror(L, 2, "a key code, a key name or one character expected");
            code = int(QChar::toUpper(points.at(0)));
            text = key;
        }
    }
    if (!lua_isnoneornil(L, 3))
        text = QString::fromUtf8(luaL_checkstring(L, 3));
    Qt::KeyboardModifiers mods;
    for (const char *m = luaL_optstring(L, 4, ""); *m; ++m) {
        switch (*m) {
        case 'c':
            mods |= Qt::ControlModifier;
            break;
        case 'a':
            mods |= Qt::AltModifier;
            break;
        case 's':
            mods |= Qt::ShiftModifier;
            break;
        case 'm':
            mods |= Qt::MetaModifier;
            break;
        default:
            return luaL_argerror(L, 4, "modifiers are letters from \"cas\" (and m)");
        }
    }
    QPointer<QWidget> target(w);
    QKeyEvent press(QEvent::KeyPress, code, mods, text);
    press.setTimestamp(d->nextTimestamp());
    QCoreApplication::sendEvent(w, &press);
    if (target) {
        QKeyEvent release(QEvent::KeyRelease, code, mods, text);
        release.setTimestamp(d->nextTimestamp());
        QCoreApplication::sendEvent(target, &release);
    }
    return 0;
}

int lclose(lua_State *L)
{
    checkDriver(L);
    auto *w = luaX_checkqobject<QWidget>(L, 1, "QWidget");
    lua_pushboolean(L, w->close());
    return 1;
}

int lcheck(lua_State *L)
{
    TestDriver *d = checkDriver(L);
    const QByteArray id = luaL_tolstring(L, 1, nullptr);
    lua_pop(L, 1);
    const bool ok = lua_toboolean(L, 2);
    if (ok) {
        d->count(true, "PASS " + id);
    } else {
        QByteArray detail = "condition is false";
        if (!lua_isnoneornil(L, 3)) {
            detail = luaL_tolstring(L, 3, nullptr);
            lua_pop(L, 1);
        }
        d->count(false, "FAIL " + id + ": " + detail);
    }
    lua_pushboolean(L, ok);
    return 1;
}

int lnow(lua_State *L)
{
    lua_pushinteger(L, lua_Integer(checkDriver(L)->elapsed()));
    return 1;
}

int lcounts(lua_State *L)
{
    TestDriver *d = checkDriver(L);
    lua_pushinteger(L, d->passedCount());
    lua_pushinteger(L, d->failedCount());
    return 2;
}

const luaL_Reg kCore[] = {
    { "find", lfind },
    { "path", lpath },
    { "mouse", lmouse },
    { "key", lkey },
    { "close", lclose },
    { "check", lcheck },
    { "now", lnow },
    { "counts", lcounts },
    { nullptr, nullptr },
};

} // namespace

int luaopen_orvane_test(lua_State *L)
{
    QFile source(QStringLiteral(":/devtools/orvane.test.lua"));
    if (!source.open(QFile::ReadOnly))
        return luaL_error(L, "orvane.test: the library's script is missing from the host");
    const QByteArray text = source.readAll();
    if (luaL_loadbuffer(L, text.constData(), size_t(text.size()), "=orvane.test") != LUA_OK)
        return lua_error(L);
    luaL_newlib(L, kCore);
    lua_call(L, 1, 2); /* T, runner */
    lua_rawsetp(L, LUA_REGISTRYINDEX, &kRunnerKey); /* T */
    return 1;
}

} // namespace orvane
