#pragma once
// One ObjectTracker per interpreter: it learns of every Qt object that gets a
// script handle, clears the handle when the object goes, filters the
// object's events for the script, owns the shared painter lcdCanvas, and is
// the road by which native events reach the script's MsgHandler.

#include "luax.h"

#include <QObject>
#include <QPainter>
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

    lua_State *luaState() const { return state; }
    QPainter *sharedPainter() { return &painter; }
    int trackedCount() const { return tracked.size(); }

    bool eventFilter(QObject *watched, QEvent *event) override;

public slots:
    void deleted(QObject *object);

private:
    explicit ObjectTracker(lua_State *L);

    lua_State *state;
    QPainter painter;
    // Everything we watch, so that when the interpreter closes before them
    // no late signal or event can find its way to a closed state.
    QSet<QObject *> tracked;
};

// Registers the Tracker script class (used by the qt.core opener).
extern const luaL_Reg ltracker_methods[];
