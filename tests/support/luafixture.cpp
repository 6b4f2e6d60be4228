#include "luafixture.h"
#include "luax.h"

#include <QApplication>
#include <QPointer>
#include <QWidget>

#include <cstdio>
#include <unistd.h>

namespace testsupport {

StdoutCapture::StdoutCapture()
{
    fflush(stdout);
    saved = dup(STDOUT_FILENO);
    FILE *tmp = tmpfile();
    file = dup(fileno(tmp));
    fclose(tmp);
    dup2(file, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() { finish(); }

QByteArray StdoutCapture::finish()
{
    if (done)
        return data;
    done = true;
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    lseek(file, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(file, buf, sizeof buf)) > 0)
        data.append(buf, int(n));
    close(file);
    return data;
}

void WindowBaseline::take()
{
    windows.clear();
    for (QWidget *w : QApplication::topLevelWidgets())
        windows.insert(w);
}

void WindowBaseline::deleteNew()
{
    // Windows with a parent (dialogs) go with it, hence the guards.
    QList<QPointer<QWidget>> made;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (!windows.contains(w))
            made << w;
    }
    for (const QPointer<QWidget> &w : qAsConst(made))
        delete w.data();
}

LuaFixture::LuaFixture()
{
    L = luaX_newstate();
    luaL_requiref(L, "qt.core", luaopen_qt_core, 0);
    lua_setglobal(L, "qt");
    lua_settop(L, 0);
}

LuaFixture::~LuaFixture() { close(); }

void LuaFixture::close()
{
    if (L)
        lua_close(L);
    L = nullptr;
}

QString LuaFixture::run(const QByteArray &code)
{
    const int top = lua_gettop(L);
    QString error;
    if (luaL_loadbuffer(L, code.constData(), size_t(code.size()), "=test") != LUA_OK
        || lua_pcall(L, 0, 0, 0) != LUA_OK) {
        error = QString::fromUtf8(lua_tostring(L, -1));
        if (error.isEmpty())
            error = QStringLiteral("(non-string error)");
    }
    lua_settop(L, top);
    return error;
}

QVariant LuaFixture::eval(const QByteArray &expression)
{
    const int top = lua_gettop(L);
    const QByteArray code = "return " + expression;
    QVariant result;
    if (luaL_loadbuffer(L, code.constData(), size_t(code.size()), "=eval") == LUA_OK
        && lua_pcall(L, 0, 1, 0) == LUA_OK) {
        switch (lua_type(L, -1)) {
        case LUA_TBOOLEAN:
            result = bool(lua_toboolean(L, -1));
            break;
        case LUA_TNUMBER:
            if (lua_isinteger(L, -1))
                result = qlonglong(lua_tointeger(L, -1));
            else
                result = lua_tonumber(L, -1);
            break;
        case LUA_TSTRING: {
            size_t len = 0;
            const char *s = lua_tolstring(L, -1, &len);
            result = QByteArray(s, int(len));
            break;
        }
        default:
            break; // nil and others: invalid
        }
    } else {
        result = QStringLiteral("error: ") + QString::fromUtf8(lua_tostring(L, -1));
    }
    lua_settop(L, top);
    return result;
}

} // namespace testsupport
