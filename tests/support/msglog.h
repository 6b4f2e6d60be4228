#pragma once
// A recording MsgHandler for widget and event tests. Every message lands in
// the global table `log` as "object,message,arg,..." where handles appear
// by the names a test gave them in `names` ("?" for unnamed ones). The
// handler's answer comes from `answer[message]`: a value is returned as is,
// a function is called with the message's arguments. Messages listed in
// `quiet` (by default "onPaint") are answered but not logged.

#include "luafixture.h"
#include "luax.h"

#include <QByteArray>
#include <QSet>
#include <QStringList>

#include <initializer_list>

namespace testsupport {

inline const char *recordingHandler()
{
    return R"lua(
qt = qt or require "qt.core"
log, answer, names, quiet = {}, {}, {}, { onPaint = true }
local function label(v)
  if type(v) == "userdata" then return names[v] or "?" end
  return tostring(v)
end
function MsgHandler(obj, msg, ...)
  if not quiet[msg] then
    local parts = { label(obj), msg }
    for i = 1, select("#", ...) do parts[#parts + 1] = label((select(i, ...))) end
    log[#log + 1] = table.concat(parts, ",")
  end
  local a = answer[msg]
  if type(a) == "function" then return a(obj, ...) end
  return a
end
)lua";
}

// The logged entries, optionally only those whose message is in `only`.
inline QStringList logged(LuaFixture &fx, std::initializer_list<const char *> only = {})
{
    QSet<QString> wanted;
    for (const char *m : only)
        wanted.insert(QString::fromLatin1(m));
    const QString all = QString::fromLocal8Bit(fx.eval("table.concat(log, '\\n')").toByteArray());
    QStringList out;
    for (const QString &entry : all.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (wanted.isEmpty() || wanted.contains(entry.section(QLatin1Char(','), 1, 1)))
            out << entry;
    }
    return out;
}

inline void clearLog(LuaFixture &fx) { fx.run("log = {}"); }

// The Qt object behind a global handle (null when absent or deleted).
template <class T>
T *globalObject(LuaFixture &fx, const char *name)
{
    lua_getglobal(fx.L, name);
    auto *object = qobject_cast<T *>(luaX_toqobject<QObject>(fx.L, -1, "QObject"));
    lua_pop(fx.L, 1);
    return object;
}

} // namespace testsupport
