// libFuzzer target: the module locator on an arbitrary bundle.bin. The input
// is written as the bundle into a scratch folder, then located exactly as the
// host does at start-up. Any outcome but a crash, a sanitizer report or a
// hang is fine: a broken bundle only has to end in a Lua error.
#include "fuzzsandbox.h"
#include "luax.h"
#include "modulelocator.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

QTemporaryDir *scratch;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzsandbox::silenceStdio();
    scratch = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/orvane-fuzz-XXXXXX"));
    return scratch->isValid() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = scratch->filePath(QStringLiteral("bundle.bin"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    f.write(reinterpret_cast<const char *>(data), qint64(size));
    f.close();

    fuzzsandbox::Budget budget;
    lua_State *L = luaX_newstate();
    orvane::defineLoadstring(L);
    fuzzsandbox::confine(L, &budget);
    const QByteArray dir = QFile::encodeName(scratch->path());
    orvane::locateModules(L, dir, "bundle.bin", dir + "/../..", orvane::kLuaSearchList, orvane::kNativeSearchList);
    // Finalizers the input left run here, still under the budget.
    lua_close(L);
    return 0;
}
