#include "testdriver.h"
#include "luax.h"
#include "modulelocator.h"
#include "tracker.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace orvane {

namespace {

// The yield that means "resume me after this many milliseconds"; any other
// yield (a driver's own coroutine gone astray) resumes at once.
const char kWaitMarker[] = "orvane.test.wait";

// The library's script half. Widgets are handles or object names (or the
// paths of parents a recording writes); a missing name is an error at the
// caller's line, so a driver fails where it went wrong.
const char kLibrary[] = R"LUA(
local core = ...
local T = {}

local function widget(w)
  if type(w) == "string" then
    local h = core.find(w)
    if not h then error("no widget named \"" .. w .. "\"", 3) end
    return h
  end
  if w == nil then error("widget expected", 3) end
  return w
end

function T.find(name) return core.find(name) end
function T.path(w) return core.path(widget(w)) end
function T.widget(w) return widget(w) end

function T.press(w, x, y) core.mouse(widget(w), "press", x, y, "left") end
function T.move(w, x, y) core.mouse(widget(w), "move", x, y, "left") end
function T.release(w, x, y) core.mouse(widget(w), "release", x, y, "left") end
function T.tap(w, x, y)
  local h = widget(w)
  core.mouse(h, "press", x, y, "left")
  core.mouse(h, "release", x, y, "left")
end
function T.rightClick(w, x, y)
  local h = widget(w)
  core.mouse(h, "press", x, y, "right")
  core.mouse(h, "release", x, y, "right")
end
function T.key(w, key, text, mods)
  if w == nil then return core.key(nil, key, text, mods) end
  return core.key(widget(w), key, text, mods)
end
function T.type(w, text)
  local h = widget(w)
  for _, c in utf8.codes(text) do
    local ch = utf8.char(c)
    core.key(h, ch, ch, "")
  end
end
function T.close(w) return core.close(widget(w)) end

function T.wait(ms) coroutine.yield("orvane.test.wait", ms or 0) end
function T.waitFor(predicate, ms)
  local deadline = core.now() + (ms or 5000)
  while true do
    local ok, result = pcall(predicate)
    if ok and result then return result end
    if core.now() >= deadline then return false, not ok and result or nil end
    T.wait(10)
  end
end
function T.now() return core.now() end

function T.geometry(w) return widget(w):geometry() end
function T.visible(w)
  if type(w) == "string" and not core.find(w) then return false end
  return widget(w):isVisible()
end
function T.text(w) return widget(w):text() end
function T.state(w) return widget(w):state() end

function T.check(id, condition, detail) return core.check(id, condition, detail) end
function T.counts() return core.counts() end

return T
)LUA";

QByteArray envFile(const char *name)
{
    return qgetenv(name);
}

QObjectList topLevels(const QObject *except = nullptr)
{
    QObjectList out;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w != except)
            out.append(w);
    return out;
}

QObject *findByName(QWidget *window, const QString &name)
{
    if (window) {
        if (window->objectName() == name)
            return window;
        if (QObject *o = window->findChild<QObject *>(name))
            return o;
    }
    for (QObject *top : topLevels(window)) {
        if (top->objectName() == name)
            return top;
        if (QObject *o = top->findChild<QObject *>(name))
            return o;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// The driver: one coroutine, resumed from timers so the event loop runs on.

class TestDriver : public QObject
{
public:
    TestDriver(lua_State *state, QWidget *mainWindow, const QByteArray &path)
        : QObject(mainWindow), L(state), window(mainWindow), file(path)
    {
        clock.start();
    }
    ~TestDriver() override;

    void begin();
    void step();
    void finish();
    bool eventFilter(QObject *watched, QEvent *event) override;

    lua_State *L;
    QPointer<QWidget> window;
    QByteArray file;
    lua_State *thread = nullptr;
    int ref = LUA_NOREF;
    bool running = false;
    bool done = false;
    int passed = 0;
    int failed = 0;
    QElapsedTimer clock;
    Qt::MouseButtons held;
    ulong lastTimestamp = 0;
};

TestDriver *theDriver = nullptr;

TestDriver::~TestDriver()
{
    // The interpreter is closed by now: nothing here may touch it.
    if (theDriver == this)
        theDriver = nullptr;
}

void TestDriver::begin()
{
    if (window)
        window->installEventFilter(this);
    if (luaL_loadfile(L, file.constData()) != LUA_OK) {
        printf("FAIL driver: %s\n", lua_tostring(L, -1));
        lua_pop(L, 1);
        ++failed;
        finish();
        return;
    }
    thread = lua_newthread(L); /* chunk, thread */
    lua_insert(L, -2);         /* thread, chunk */
    lua_xmove(L, thread, 1);   /* thread */
    ref = luaL_ref(L, LUA_REGISTRYINDEX);
    step();
}

void TestDriver::step()
{
    if (done)
        return;
    running = true;
    const int status = lua_resume(thread, L, 0);
    running = false;
    fflush(stdout);
    if (status == LUA_YIELD) {
        int ms = 0;
        if (lua_gettop(thread) >= 2 && lua_type(thread, 1) == LUA_TSTRING
            && qstrcmp(lua_tostring(thread, 1), kWaitMarker) == 0 && lua_isnumber(thread, 2))
            ms = int(qBound<lua_Number>(0, lua_tonumber(thread, 2), 24 * 3600 * 1000));
        lua_settop(thread, 0);
        // The driver closed the window itself (or made the application do
        // it): that ends the run.
        if (!window || !window->isVisible()) {
            finish();
            return;
        }
        QTimer::singleShot(ms, Qt::PreciseTimer, this, [this] { step(); });
        return;
    }
    if (status != LUA_OK) {
        const char *msg = lua_tostring(thread, -1);
        luaL_traceback(L, thread, msg ? msg : "(error object is not a string)", 0);
        printf("FAIL driver: %s\n", lua_tostring(L, -1));
        lua_pop(L, 1);
        ++failed;
    }
    finish();
}

void TestDriver::finish()
{
    if (done)
        return;
    done = true;
    if (ref != LUA_NOREF)
        luaL_unref(L, LUA_REGISTRYINDEX, ref);
    ref = LUA_NOREF;
    thread = nullptr;
    printf("%d passed, %d failed\n", passed, failed);
    fflush(stdout);
    const int status = failed > 0 ? 1 : 0;
    // Closed as a user would close it: onClose, then onShutdown once.
    if (window && window->isVisible())
        window->close();
    if (window && window->isVisible()) {
        printf("driver: the main window refused to close\n");
        fflush(stdout);
    }
    // After the window's own quit, so this status is the one that counts.
    QCoreApplication::exit(status);
}

bool TestDriver::eventFilter(QObject *watched, QEvent *event)
{
    // A close the driver did not cause (a timer of the application, say)
    // would end the process before the summary: it is held back and the run
    // ends as a failure instead.
    if (watched == window && event->type() == QEvent::Close && !done && !running) {
        event->ignore();
        QTimer::singleShot(0, this, [this] {
            printf("FAIL driver: the main window was closed before the driver finished\n");
            ++failed;
            finish();
        });
        return true;
    }
    return false;
}

ulong nextTimestamp()
{
    // Distinct times let the recorder tell a propagated copy from a new event.
    const ulong now = ulong(theDriver->clock.elapsed()) + 1;
    theDriver->lastTimestamp = qMax(now, theDriver->lastTimestamp + 1);
    return theDriver->lastTimestamp;
}

TestDriver *checkDriver(lua_State *L)
{
    if (!theDriver)
        luaL_error(L, "orvane.test: no driver is running");
    return theDriver;
}

int lfind(lua_State *L)
{
    TestDriver *d = checkDriver(L);
    size_t len = 0;
    const char *name = luaL_checklstring(L, 1, &len);
    luaX_pushqobject(L, findRecorded(d->window, QByteArray(name, int(len))));
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
    static const char *const kinds[] = {"press", "move", "release", nullptr};
    static const char *const buttons[] = {"left", "right", nullptr};
    const int kind = luaL_checkoption(L, 2, nullptr, kinds);
    const QPoint p = lua_isnoneornil(L, 3) ? w->rect().center()
                                           : QPoint(int(luaL_checkinteger(L, 3)), int(luaL_checkinteger(L, 4)));
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
    ev.setTimestamp(nextTimestamp());
    QCoreApplication::sendEvent(w, &ev);
    return 0;
}

struct NamedKey
{
    const char *name;
    int key;
    const char *text;
};

const NamedKey kNamedKeys[] = {
    {"enter", Qt::Key_Return, "\r"},   {"return", Qt::Key_Return, "\r"}, {"escape", Qt::Key_Escape, "\x1b"},
    {"tab", Qt::Key_Tab, "\t"},        {"backspace", Qt::Key_Backspace, "\b"},
    {"delete", Qt::Key_Delete, "\x7f"}, {"space", Qt::Key_Space, " "},    {"left", Qt::Key_Left, ""},
    {"up", Qt::Key_Up, ""},            {"right", Qt::Key_Right, ""},     {"down", Qt::Key_Down, ""},
    {"home", Qt::Key_Home, ""},        {"end", Qt::Key_End, ""},
};

int lkey(lua_State *L)
{
    checkDriver(L);
    QWidget *w = lua_isnoneornil(L, 1) ? QApplication::focusWidget() : luaX_checkqobject<QWidget>(L, 1, "QWidget");
    if (!w)
        return luaL_error(L, "no widget has the keyboard focus");
    int code = 0;
    QString text;
    if (lua_type(L, 2) == LUA_TNUMBER) {
        code = int(lua_tointeger(L, 2));
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
    press.setTimestamp(nextTimestamp());
    QCoreApplication::sendEvent(w, &press);
    if (target) {
        QKeyEvent release(QEvent::KeyRelease, code, mods, text);
        release.setTimestamp(nextTimestamp());
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
        ++d->passed;
        printf("PASS %s\n", id.constData());
    } else {
        ++d->failed;
        QByteArray detail = "condition is false";
        if (!lua_isnoneornil(L, 3)) {
            detail = luaL_tolstring(L, 3, nullptr);
            lua_pop(L, 1);
        }
        printf("FAIL %s: %s\n", id.constData(), detail.constData());
    }
    fflush(stdout);
    lua_pushboolean(L, ok);
    return 1;
}

int lnow(lua_State *L)
{
    lua_pushinteger(L, lua_Integer(checkDriver(L)->clock.elapsed()));
    return 1;
}

int lcounts(lua_State *L)
{
    TestDriver *d = checkDriver(L);
    lua_pushinteger(L, d->passed);
    lua_pushinteger(L, d->failed);
    return 2;
}

const luaL_Reg kCore[] = {
    {"find", lfind},   {"path", lpath}, {"mouse", lmouse}, {"key", lkey},         {"close", lclose},
    {"check", lcheck}, {"now", lnow},     {"counts", lcounts}, {nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// The recorder: a driver file written as the input arrives.

class Recorder : public QObject
{
public:
    Recorder(QWidget *mainWindow, const QByteArray &path) : QObject(mainWindow), file(QString::fromLocal8Bit(path))
    {
        clock.start();
    }
    ~Recorder() override;

    bool open(const QByteArray &module);
    void record(QObject *watched, QEvent *event);
    void write(const QByteArray &line)
    {
        file.write(line);
        file.flush(); // a crash still leaves everything up to it
    }

    QFile file;
    QElapsedTimer clock;
    qint64 last = 0;
    QSet<QObject *> warned;
    // The last event written, to skip the copies Qt hands to parents.
    QPointer<QObject> prevTarget;
    int prevType = 0;
    ulong prevTimestamp = 0;
    QPoint prevGlobal;
};

Recorder *theRecorder = nullptr;

Recorder::~Recorder()
{
    if (theRecorder == this) {
        ObjectTracker::inputRecorder = nullptr;
        theRecorder = nullptr;
    }
}

bool Recorder::open(const QByteArray &module)
{
    if (!file.open(QFile::WriteOnly | QFile::Truncate | QFile::Text)) {
        qWarning("Cannot record into %s: %s", file.fileName().toLocal8Bit().constData(),
                 file.errorString().toLocal8Bit().constData());
        return false;
    }
    write("-- Recorded by orvane " + QDateTime::currentDateTime().toString(Qt::ISODate).toLatin1() + ".\n");
    write("-- Replay: ORVANE_DRIVER=" + file.fileName().toLocal8Bit() + " orvane " + module + "\n");
    write("local t = require \"orvane.test\"\n");
    return true;
}

bool isAncestor(const QObject *ancestor, const QObject *object)
{
    for (const QObject *o = object ? object->parent() : nullptr; o; o = o->parent())
        if (o == ancestor)
            return true;
    return false;
}

void Recorder::record(QObject *watched, QEvent *event)
{
    QByteArray action;
    QPoint global;
    ulong timestamp = 0;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseMove: {
        auto *e = static_cast<QMouseEvent *>(event);
        const char *verb = nullptr;
        if (event->type() == QEvent::MouseMove)
            verb = "move";
        else if (e->button() == Qt::LeftButton)
            verb = event->type() == QEvent::MouseButtonPress ? "press" : "release";
        else if (e->button() == Qt::RightButton && event->type() == QEvent::MouseButtonPress)
            verb = "rightClick";
        if (!verb)
            return;
        action = QByteArray(verb) + "(%1, " + QByteArray::number(e->pos().x()) + ", "
            + QByteArray::number(e->pos().y()) + ")\n";
        global = e->globalPos();
        timestamp = e->timestamp();
        break;
    }
    case QEvent::KeyPress: {
        auto *e = static_cast<QKeyEvent *>(event);
        QByteArray mods;
        if (e->modifiers() & Qt::ControlModifier)
            mods += 'c';
        if (e->modifiers() & Qt::AltModifier)
            mods += 'a';
        if (e->modifiers() & Qt::ShiftModifier)
            mods += 's';
        if (e->modifiers() & Qt::MetaModifier)
            mods += 'm';
        action = "key(%1, " + QByteArray::number(e->key()) + ", " + luaQuote(e->text().toUtf8()) + ", "
            + luaQuote(mods) + ")\n";
        timestamp = e->timestamp();
        global = QPoint(e->key(), 0);
        break;
    }
    case QEvent::Close:
        if (!watched->isWidgetType())
            return;
        action = "close(%1)\n";
        break;
    default:
        return;
    }
    // Qt offers an event nobody took to the parents in turn; replaying the
    // first receiver's line makes those again.
    if (prevTarget && isAncestor(watched, prevTarget) && prevType == event->type() && prevTimestamp == timestamp
        && prevGlobal == global)
        return;
    prevTarget = watched;
    prevType = event->type();
    prevTimestamp = timestamp;
    prevGlobal = global;

    bool unnamed = false;
    const QByteArray name = recordedName(watched, &unnamed);
    if (unnamed && !warned.contains(watched)) {
        warned.insert(watched);
        qWarning("Recording: a %s has no object name; it is recorded by its path of parents %s",
                 watched->metaObject()->className(), name.constData());
        write("-- warning: a " + QByteArray(watched->metaObject()->className())
              + " without an object name, recorded by its path of parents\n");
    }
    const qint64 now = clock.elapsed();
    if (now > last)
        write("t.wait(" + QByteArray::number(now - last) + ")\n");
    last = now;
    write("t." + action.replace("%1", luaQuote(name)));
}

void recordInput(QObject *watched, QEvent *event)
{
    if (theRecorder)
        theRecorder->record(watched, event);
}

// The splash screen processes events while it waits for the window, before
// the event loop runs; a driver that ended there would have its exit status
// lost, so it starts only once the loop is running.
void beginWhenLoopRuns()
{
    if (!theDriver)
        return;
    if (QThread::currentThread()->loopLevel() > 0) {
        theDriver->begin();
        return;
    }
    QTimer::singleShot(0, theDriver, beginWhenLoopRuns);
}

} // namespace

QByteArray recordedName(QObject *object, bool *unnamed)
{
    if (unnamed)
        *unnamed = false;
    if (!object)
        return QByteArray();
    if (!object->objectName().isEmpty())
        return object->objectName().toUtf8();
    if (unnamed)
        *unnamed = true;
    QList<QByteArray> segments;
    QObject *cur = object;
    while (cur && cur->objectName().isEmpty()) {
        QObject *parent = cur->parent();
        const char *cls = cur->metaObject()->className();
        const QObjectList siblings = parent ? parent->children() : topLevels();
        int index = 0;
        for (QObject *s : siblings) {
            if (s == cur)
                break;
            if (qstrcmp(s->metaObject()->className(), cls) == 0)
                ++index;
        }
        segments.prepend(QByteArray(cls) + ':' + QByteArray::number(index));
        if (!parent)
            segments.prepend("*");
        cur = parent;
    }
    if (cur)
        segments.prepend(cur->objectName().toUtf8());
    return segments.join('/');
}

QObject *findRecorded(QWidget *mainWindow, const QByteArray &name)
{
    if (QObject *o = findByName(mainWindow, QString::fromUtf8(name)))
        return o;
    if (!name.contains('/'))
        return nullptr;
    const QList<QByteArray> segments = name.split('/');
    QObject *cur = nullptr;
    QObjectList candidates;
    if (segments.first() == "*")
        candidates = topLevels();
    else if ((cur = findByName(mainWindow, QString::fromUtf8(segments.first()))))
        candidates = cur->children();
    else
        return nullptr;
    for (int i = 1; i < segments.size(); ++i) {
        const QByteArray &seg = segments.at(i);
        const int colon = seg.lastIndexOf(':');
        if (colon < 0)
            return nullptr;
        const QByteArray cls = seg.left(colon);
        int index = seg.mid(colon + 1).toInt();
        cur = nullptr;
        for (QObject *c : candidates) {
            if (cls == c->metaObject()->className() && index-- == 0) {
                cur = c;
                break;
            }
        }
        if (!cur)
            return nullptr;
        candidates = cur->children();
    }
    return cur;
}

int luaopen_orvane_test(lua_State *L)
{
    if (luaL_loadbuffer(L, kLibrary, sizeof kLibrary - 1, "=orvane.test") != LUA_OK)
        return lua_error(L);
    luaL_newlib(L, kCore);
    lua_call(L, 1, 1);
    return 1;
}

void startTestTools(lua_State *L, QWidget *mainWindow)
{
    if (!L || !mainWindow)
        return;
    const QByteArray record = envFile("ORVANE_RECORD");
    if (!record.isEmpty() && !theRecorder) {
        lua_getglobal(L, "_APP");
        const QByteArray module = lua_isstring(L, -1) ? QByteArray(lua_tostring(L, -1)) : QByteArray("MODULE");
        lua_pop(L, 1);
        auto *recorder = new Recorder(mainWindow, record);
        if (recorder->open(module)) {
            theRecorder = recorder;
            ObjectTracker::inputRecorder = recordInput;
        } else {
            delete recorder;
        }
    }
    const QByteArray driver = envFile("ORVANE_DRIVER");
    if (!driver.isEmpty() && !theDriver) {
        static const luaL_Reg modules[] = {{"orvane.test", luaopen_orvane_test}, {nullptr, nullptr}};
        preloadModules(L, modules);
        theDriver = new TestDriver(L, mainWindow, driver);
        beginWhenLoopRuns();
    }
}

} // namespace orvane
