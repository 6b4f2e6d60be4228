#pragma once
// ORVANE_DRIVER: a Lua file that runs as a coroutine in the application's own
// interpreter once the window is up, with the "orvane.test" library: it finds
// widgets by object name, sends them real Qt input, waits without blocking
// the event loop and counts checks. Each result line goes to standard output
// with the diagnostics and to standard error on its own, so a run can be
// read without the log.

#include <lua.hpp>

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

class QWidget;

namespace orvane {

class TestDriver : public QObject {
public:
    // Belongs to mainWindow, which closes the interpreter before its children
    // go: the driver outlives every call into it.
    TestDriver(lua_State *L, QWidget *mainWindow, const QByteArray &file);

    // Starts the file as soon as the event loop runs.
    void beginWhenLoopRuns();
    // The driver of this interpreter, or null.
    static TestDriver *of(lua_State *L);

    // What the native half of the library needs.
    QWidget *window() const { return mainWindow; }
    ulong nextTimestamp();
    qint64 elapsed() const { return clock.elapsed(); }
    void count(bool passed, const QByteArray &line);
    int passedCount() const { return passed; }
    int failedCount() const { return failed; }
    Qt::MouseButtons held;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void begin();
    void step();
    void finish();
    void fail(const QByteArray &detail);

    lua_State *L;
    QPointer<QWidget> mainWindow;
    QByteArray file;
    bool running = false;
    bool done = false;
    int passed = 0;
    int failed = 0;
    QElapsedTimer clock;
    ulong lastTimestamp = 0;
};

// "orvane.test" (preloaded only while a driver runs).
int luaopen_orvane_test(lua_State *L);

// One result line, on standard output and on standard error.
void writeResult(const QByteArray &line);

} // namespace orvane
