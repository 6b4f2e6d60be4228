#pragma once
// ORVANE_RELOAD: the application module starts again in the same main window
// whenever one of its files changes: the module itself, every file it loaded
// through require from the module tree (or bundle.bin), and images/. The old
// run gets onShutdown and the teardown of exit; a start that fails shows its
// error in the window and waits for the next save.

#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <lua.hpp>

class MainWindow;
class QLabel;
class QWidget;

namespace orvane {

class Reloader : public QObject {
public:
    // Belongs to window; the module starts with start().
    Reloader(MainWindow *window, const QString &module);

    void start();
    // A file the module's require is about to load.
    void watchFile(const QString &path);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Stamp {
        qint64 modified = -1;
        qint64 size = -1;
        bool operator!=(const Stamp &o) const { return modified != o.modified || size != o.size; }
    };

    void check();
    void startModule(const QString &what, qint64 savedAt, double stopMs);
    QStringList watchedFiles() const;
    void rewatch();
    void showError(const QString &error);
    void placeOverlay();
    void awaitFrame(qint64 savedAt, bool error);
    QString shortName(const QString &path) const;
    QString readable(QString text) const;
    void installSearcher(lua_State *L);

    QPointer<MainWindow> window;
    QWidget *windowWidget; // the same window, for comparisons only
    QString module;
    QString baseDir;
    QString bundleFile;
    QString imagesDir;
    QFileSystemWatcher watcher;
    QStringList moduleFiles; // what the running module loaded
    QSet<QString> loading; // what the start under way loads
    QHash<QString, Stamp> stamps;
    QTimer settle;
    QPointer<QLabel> overlay;
    bool lookAgain = false;
    qint64 frameSavedAt = -1;
    bool frameIsError = false;
};

} // namespace orvane
