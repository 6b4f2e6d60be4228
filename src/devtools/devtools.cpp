#include "devtools.h"
#include "mainwindow.h"
#include "modulelocator.h"
#include "recorder.h"
#include "reloader.h"
#include "testdriver.h"

namespace orvane {

namespace {

QByteArray setting(const char *name)
{
    return qgetenv(name);
}

} // namespace

bool startReloading(MainWindow *window, const QString &module)
{
    const QByteArray reload = setting("ORVANE_RELOAD");
    if (reload.isEmpty() || reload == "0")
        return false;
    if (!setting("ORVANE_DRIVER").isEmpty()) {
        qWarning("Reload: off while a driver runs (ORVANE_DRIVER)");
        return false;
    }
    auto *reloader = new Reloader(window, module);
    reloader->start();
    return true;
}

void startTestTools(MainWindow *window)
{
    lua_State *L = window ? window->luaState() : nullptr;
    if (!L)
        return;
    const QByteArray record = setting("ORVANE_RECORD");
    if (!record.isEmpty()) {
        lua_getglobal(L, "_APP");
        const QByteArray module = lua_isstring(L, -1) ? QByteArray(lua_tostring(L, -1)) : QByteArray("MODULE");
        lua_pop(L, 1);
        auto *recorder = new Recorder(window, QString::fromLocal8Bit(record));
        if (!recorder->open(module))
            delete recorder;
    }
    const QByteArray driver = setting("ORVANE_DRIVER");
    if (!driver.isEmpty()) {
        static const luaL_Reg modules[] = { { "orvane.test", luaopen_orvane_test }, { nullptr, nullptr } };
        preloadModules(L, modules);
        (new TestDriver(L, window, driver))->beginWhenLoopRuns();
    }
}

} // namespace orvane
