#include "timer.h"
#include "tracker.h"

#include <QTimer>

Timer::Timer()
    : QObject(nullptr)
    , timer(new QTimer(this))
{
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(1000);
    connect(timer, &QTimer::timeout, this, &Timer::onTimeout);
}

void Timer::onTimeout()
{
    // The interpreter may have been closed while this timer kept running
    // (a Timer made from native code, or one whose handle's __gc has not run).
    ObjectTracker *tracker = ObjectTracker::forObject(this);
    if (!tracker)
        return;
    // A method call, not a dispatch: the function lives on the handle, and a
    // null format makes a failing onTimeout fatal. Nothing touches `this`
    // afterwards, since the script may have destroyed it.
    luaX_callmethod(tracker->luaState(), this, "onTimeout", nullptr);
}
