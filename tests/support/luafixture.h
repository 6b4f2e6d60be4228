#pragma once
// In-process script fixture: an interpreter made like the host makes it,
// with qt.core loaded (also as the global `qt`), Lua text run in it, and
// standard output captured for the fixed print formats.

#include <lua.hpp>

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QVariant>

namespace testsupport {

// Redirects the process's standard output into a buffer while alive.
class StdoutCapture
{
public:
    StdoutCapture();
    ~StdoutCapture();
    QByteArray finish(); // stops capturing and returns what was written
    QString text() { return QString::fromLocal8Bit(finish()); }

private:
    int saved = -1;
    int file = -1;
    bool done = false;
    QByteArray data;
};

// The top-level windows that exist now; deleteNew() deletes every window made
// since, the ones a test's script left open.
class WindowBaseline
{
public:
    void take();
    void deleteNew();

private:
    QSet<const void *> windows;
};

class LuaFixture
{
public:
    LuaFixture();
    ~LuaFixture();
    LuaFixture(const LuaFixture &) = delete;
    LuaFixture &operator=(const LuaFixture &) = delete;

    lua_State *L = nullptr;

    // Runs code in protected mode; returns the error text, empty on success.
    QString run(const QByteArray &code);
    // Evaluates "return <expression>" and converts the first result.
    QVariant eval(const QByteArray &expression);
    // Closes the interpreter now (finalizers run); safe to call twice.
    void close();
};

} // namespace testsupport
