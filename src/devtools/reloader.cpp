#include "reloader.h"
#include "mainwindow.h"
#include "paint/graphics.h"
#include "resident.h"
#include "tracker.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFileInfo>
#include <QLabel>
#include <QRegularExpression>
#include <QStatusBar>
#include <QThread>

#ifdef Q_OS_LINUX
#endif
#include <utility>

namespace orvane {

namespace {

// Editors write a file in several steps (or write a new one and rename it
// over the old): the check waits until the writing has settled.
const int kSettleMs = 30;
// A modal loop (a dialog, a message box, a drag) runs inside a script call,
// whose interpreter cannot be closed under it: the reload waits for it.
const int kBusyRetryMs = 250;

// require's Lua searcher, wrapped: upvalue 1 is the original, upvalue 2 the
// reloader.
int recordingSearcher(lua_State *L)
{
    auto *reloader = static_cast<Reloader *>(lua_touserdata(L, lua_upvalueindex(2)));
    const int args = lua_gettop(L);
    // The file the original will compile, recorded first: a file that does
    // not compile is then watched too, and its fix reloads.
    if (lua_getglobal(L, "package") == LUA_TTABLE && lua_getfield(L, -1, "searchpath") == LUA_TFUNCTION
        && lua_isstring(L, 1)) { /* package, searchpath */
        lua_pushvalue(L, 1);
        if (lua_getfield(L, -3, "path") == LUA_TSTRING) { /* package, searchpath, name, path */
            lua_call(L, 2, 1); /* package, file or nil */
            if (lua_type(L, -1) == LUA_TSTRING)
                reloader->watchFile(QString::fromLocal8Bit(lua_tostring(L, -1)));
        }
    }
    lua_settop(L, args);
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, args, LUA_MULTRET);
    return lua_gettop(L);
}

// The handles in the object map: the registry entries keyed by an address.
int objectMapSize(lua_State *L)
{
    int n = 0;
    lua_pushnil(L);
    while (lua_next(L, LUA_REGISTRYINDEX)) {
        if (lua_type(L, -2) == LUA_TLIGHTUSERDATA && lua_type(L, -1) == LUA_TUSERDATA)
            ++n;
        lua_pop(L, 1);
    }
    return n;
}

// -1 (not known) stays -1.
double megabytes(qint64 kib)
{
    return kib < 0 ? -1 : double(kib) / 1024.0;
}

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// The author watches the log while saving: each line goes out at once.
template <class... Args> void say(const char *format, Args... args)
{
    qDebug(format, args...);
    fflush(stdout);
}

} // namespace

Reloader::Reloader(MainWindow *w, const QString &name)
    : QObject(w)
    , window(w)
    , windowWidget(w)
    , module(name)
{
    const QString appDir = QCoreApplication::applicationDirPath();
    baseDir = QDir::cleanPath(appDir + QLatin1String("/../.."));
    if (QFileInfo(appDir + QLatin1String("/bundle.bin")).isFile())
        bundleFile = QDir::cleanPath(appDir + QLatin1String("/bundle.bin"));
    imagesDir = QDir::current().absoluteFilePath(QStringLiteral("images"));
    settle.setSingleShot(true);
    connect(&settle, &QTimer::timeout, this, [this] { check(); });
    connect(&watcher, &QFileSystemWatcher::fileChanged, this, [this] { settle.start(kSettleMs); });
    connect(&watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        // A module that was not found at all has no file to watch: any new
        // file in the module tree may be it.
        if (moduleFiles.isEmpty())
            lookAgain = true;
        settle.start(kSettleMs);
    });
    window->setForgiving(true);
    window->setModuleHook([this](lua_State *L) { installSearcher(L); });
    window->installEventFilter(this);
}

void Reloader::installSearcher(lua_State *L)
{
    const int top = lua_gettop(L);
    if (lua_getglobal(L, "package") == LUA_TTABLE && lua_getfield(L, -1, "searchers") == LUA_TTABLE
        && lua_rawgeti(L, -1, 2) == LUA_TFUNCTION) { /* package, searchers, searcher */
        lua_pushlightuserdata(L, this);
        lua_pushcclosure(L, recordingSearcher, 2); /* package, searchers, wrapped */
        lua_rawseti(L, -2, 2);
    }
    lua_settop(L, top);
}

void Reloader::watchFile(const QString &path)
{
    const QString file = QFileInfo(path).absoluteFilePath();
    // Only the application's own tree; libraries elsewhere do not change
    // while one works on the module.
    if (file.startsWith(baseDir + QLatin1Char('/')))
        loading.insert(file);
}

void Reloader::start()
{
    startModule(QStringLiteral("first start"), -1, 0);
    say("Reload: watching %d files of the module tree%s; save one to start %s again", int(watchedFiles().size()),
        QFileInfo(imagesDir).isDir() ? " and images/" : "", module.toLocal8Bit().constData());
}

QStringList Reloader::watchedFiles() const
{
    QStringList files = moduleFiles;
    if (!bundleFile.isEmpty())
        files.append(bundleFile);
    const QDir images(imagesDir);
    for (const QString &name : images.entryList(QDir::Files, QDir::Name))
        files.append(images.filePath(name));
    // Files that went away are still looked at: their return is a change.
    for (auto it = stamps.constBegin(); it != stamps.constEnd(); ++it)
        if (!files.contains(it.key()) && it.key().startsWith(imagesDir + QLatin1Char('/')))
            files.append(it.key());
    return files;
}

void Reloader::rewatch()
{
    QStringList files, dirs;
    for (const QString &f : watchedFiles()) {
        const QFileInfo info(f);
        if (info.exists())
            files.append(f);
        dirs.append(info.absolutePath());
    }
    if (QFileInfo(imagesDir).isDir())
        dirs.append(imagesDir);
    if (moduleFiles.isEmpty()) {
        dirs.append(baseDir);
        dirs.append(baseDir + QLatin1String("/modules"));
    }
    // A file replaced by a rename drops out of the watcher; add it again.
    const QStringList watchedFiles = watcher.files(), watchedDirs = watcher.directories();
    for (const QString &f : files)
        if (!watchedFiles.contains(f))
            watcher.addPath(f);
    dirs.removeDuplicates();
    for (const QString &d : dirs)
        if (!watchedDirs.contains(d) && QFileInfo(d).isDir())
            watcher.addPath(d);
}

void Reloader::check()
{
    if (!window || !window->isVisible())
        return;
    if (QThread::currentThread()->loopLevel() > 1 || QApplication::activeModalWidget()) {
        settle.start(kBusyRetryMs);
        return;
    }
    QStringList changed;
    qint64 savedAt = -1;
    bool imagesChanged = false;
    for (const QString &f : watchedFiles()) {
        const QFileInfo info(f);
        Stamp stamp;
        if (info.exists()) {
            stamp.modified = info.lastModified().toMSecsSinceEpoch();
            stamp.size = info.size();
        }
        if (stamp != stamps.value(f)) {
            changed.append(shortName(f));
            savedAt = qMax(savedAt, stamp.modified);
            if (f.startsWith(imagesDir + QLatin1Char('/')))
                imagesChanged = true;
        }
        stamps.insert(f, stamp);
    }
    rewatch();
    if (std::exchange(lookAgain, false) && changed.isEmpty())
        changed.append(QStringLiteral("the module tree"));
    if (changed.isEmpty())
        return;
    say("Reload: %s changed", changed.join(QLatin1String(", ")).toLocal8Bit().constData());
    QElapsedTimer clock;
    clock.start();
    window->stopModule();
    if (imagesChanged)
        graphics::reloadFiles();
    startModule(QStringLiteral("reloaded"), savedAt, double(clock.nsecsElapsed()) / 1e6);
}

void Reloader::startModule(const QString &what, qint64 savedAt, double stopMs)
{
    QElapsedTimer clock;
    clock.start();
    loading.clear();
    window->start(module);
    const double startMs = double(clock.nsecsElapsed()) / 1e6;
    const QString error = window->startError();
    if (error.isEmpty()) {
        moduleFiles = loading.values();
        moduleFiles.sort();
        delete overlay.data();
        lua_State *L = window->luaState();
        say("Reload: %s in %.1f ms (stop %.1f ms, start %.1f ms): %d handles, %d tracked, %.1f MB resident",
            what.toLocal8Bit().constData(), stopMs + startMs, stopMs, startMs, objectMapSize(L),
            ObjectTracker::instance(L)->trackedCount(), megabytes(residentKiB(QCoreApplication::applicationPid())));
    } else {
        // Keep watching what the last good start loaded, and what this one
        // reached before it failed.
        for (const QString &f : qAsConst(loading))
            if (!moduleFiles.contains(f))
                moduleFiles.append(f);
        showError(error);
        say("Reload: the module did not start (%.1f ms); waiting for the next save", stopMs + startMs);
    }
    for (const QString &f : watchedFiles()) {
        if (!stamps.contains(f)) {
            const QFileInfo info(f);
            stamps.insert(f, Stamp { info.lastModified().toMSecsSinceEpoch(), info.size() });
        }
    }
    rewatch();
    if (savedAt >= 0)
        awaitFrame(savedAt, !error.isEmpty());
}

QString Reloader::shortName(const QString &path) const
{
    const QString dir = QDir::currentPath() + QLatin1Char('/');
    if (path.startsWith(dir))
        return path.mid(dir.size());
    if (path.startsWith(baseDir + QLatin1Char('/')))
        return path.mid(baseDir.size() + 1);
    return path;
}

QString Reloader::readable(QString text) const
{
    // Lua shortens long chunk names to "...tail"; the file it means is one
    // of those the start loaded.
    static const QRegularExpression shortened(QStringLiteral("\\.\\.\\.([^\\s:']+):(\\d+):"));
    QStringList known = moduleFiles;
    known += loading.values();
    QRegularExpressionMatchIterator it = shortened.globalMatch(text);
    QList<QPair<QString, QString>> replacements;
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        for (const QString &f : qAsConst(known)) {
            if (f.endsWith(m.captured(1))) {
                replacements.append(
                    { m.captured(0), shortName(f) + QLatin1Char(':') + m.captured(2) + QLatin1Char(':') });
                break;
            }
        }
    }
    for (const auto &r : qAsConst(replacements))
        text.replace(r.first, r.second);
    text.replace(QDir::currentPath() + QLatin1Char('/'), QString());
    text.replace(baseDir + QLatin1Char('/'), QString());
    return text;
}

void Reloader::showError(const QString &error)
{
    // The message first, with the file and line Lua put in front; require's
    // "error loading module ... from file ...:" only repeats the file.
    const QString text = readable(error);
    QString message = text.section(QStringLiteral("\nstack traceback:"), 0, 0);
    const QString traceback = text.mid(message.size()).trimmed();
    static const QRegularExpression loadingPrefix(
        QStringLiteral("^error loading module '[^']*' from file '[^']*':\\s*"));
    message.remove(loadingPrefix);
    const QString oneLine = message.simplified();
    window->statusBar()->showMessage(QStringLiteral("Reload failed: ") + oneLine, 0);
    if (!overlay) {
        overlay = new QLabel(window);
        overlay->setObjectName(QStringLiteral("orvane.reload.error"));
        overlay->setTextFormat(Qt::PlainText);
        overlay->setWordWrap(true);
        overlay->setAlignment(Qt::AlignTop | Qt::AlignLeft);
        overlay->setTextInteractionFlags(Qt::TextSelectableByMouse);
        overlay->setStyleSheet(QStringLiteral("QLabel { background: #1d1f27; color: #ffb4a9; padding: 18px;"
                                              " font-family: monospace; font-size: 13px; }"));
    }
    overlay->setText(module + QStringLiteral(" did not start. Save a file to try again.\n\n") + message.trimmed()
        + QStringLiteral("\n\n") + traceback);
    placeOverlay();
    overlay->raise();
    overlay->show();
    say("Reload: error: %s", oneLine.toLocal8Bit().constData());
}

void Reloader::placeOverlay()
{
    if (!overlay || !window)
        return;
    QRect area = window->rect();
    if (QStatusBar *bar = window->statusBar())
        area.setBottom(area.bottom() - bar->sizeHint().height());
    overlay->setGeometry(area);
}

void Reloader::awaitFrame(qint64 savedAt, bool error)
{
    frameSavedAt = savedAt;
    frameIsError = error;
    QCoreApplication::instance()->installEventFilter(this);
}

bool Reloader::eventFilter(QObject *watched, QEvent *event)
{
    // Compared as plain widgets: events keep coming while the window is
    // being destroyed, when it is no longer a MainWindow.
    const QWidget *const self = windowWidget;
    if (watched == self && event->type() == QEvent::Resize)
        placeOverlay();
    if (frameSavedAt >= 0 && event->type() == QEvent::Paint && watched->isWidgetType()
        && static_cast<QWidget *>(watched)->window() == self) {
        // The frame is done once the paint that starts it has returned.
        const qint64 savedAt = std::exchange(frameSavedAt, -1);
        const bool error = frameIsError;
        QCoreApplication::instance()->removeEventFilter(this);
        QTimer::singleShot(0, this, [savedAt, error] {
            say("Reload: %s %lld ms after the save", error ? "error shown" : "first frame", now() - savedAt);
        });
    }
    return false;
}

} // namespace orvane
