#pragma once
// One ObjectTracker per interpreter: it learns of every Qt object that gets a
// script handle, clears the handle when the object goes, filters the
// object's events for the script, owns the shared painter lcdCanvas, and is
// the road by which native events reach the script's MsgHandler.

#include "luax.h"

#include <QList>
#include <QObject>
#include <QPainter>
#include <QPointer>
#include <QSet>

class QWidget;

class ObjectTracker : public QObject
{
    Q_OBJECT
public:
    ~ObjectTracker() override;

    static ObjectTracker *instance(lua_State *L);
    // The tracker of the interpreter that gave object its handle; null when
    // the object has none or that interpreter is gone.
    static ObjectTracker *forObject(QObject *object);

    void track(QObject *object);
    void paint(QWidget *widget);
    int dispatch(QObject *object, const char *message, const char *format, ...);
    int vdispatch(QObject *object, const char *message, const char *format, va_list args);

    // After onShutdown nothing more reaches the script, even though the
    // event loop may still deliver what was pending in its last pass.
    void shutDown() { stopped = true; }

    // A parentless object made for the script that nobody else owns (a
    // server, a client socket, a serial port, a discovery object). Whatever
    // of these is still parentless once the interpreter is closed goes with
    // deleteOrphans().
    void adopt(QObject *object);
    // Deletes the adopted objects of every closed interpreter. Called after
    // lua_close, so no finalizer can meet a deleted object and no deletion
    // can reach a closing state.
    static void deleteOrphans();

    lua_State *luaState() const { return state; }
    QPainter *sharedPainter() { return &painter; }
    // How many objects are watched: live reload reports it after each start.
    int trackedCount() const { return tracked.size(); }

    bool eventFilter(QObject *watched, QEvent *event) override;

    // Makes a new handle for this tracker as "Tracker.Instance" (its
    // finalizer called by hand left the old one dead).
    void registerHandle();

public slots:
    void deleted(QObject *object);

private:
    friend struct TestAccess;
    explicit ObjectTracker(lua_State *L);

    lua_State *state;
    QPainter painter;
    // Everything we watch, so that when the interpreter closes before them
    // no late signal or event can find its way to a closed state.
    QSet<QObject *> tracked;
    QList<QPointer<QObject>> adopted;
    int sweepAdoptedAt = 64;
    bool stopped = false;
};

// Registers the Tracker script class (used by the qt.core opener).
extern const luaL_Reg ltracker_methods[];
