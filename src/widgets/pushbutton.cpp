#include "pushbutton.h"
#include "tracker.h"

PushButton::PushButton(QWidget *parent) : QPushButton(parent) {}

void PushButton::onClicked()
{
    // A null format: a script that fails on a click has lost track of its
    // own state, so the host stops rather than carry on.
    if (ObjectTracker *tracker = ObjectTracker::forObject(this))
        tracker->dispatch(this, "onClick", nullptr);
}

void PushButton::paintEvent(QPaintEvent *)
{
    // The QPushButton look is never drawn: the face is the script's.
    if (ObjectTracker *tracker = ObjectTracker::forObject(this))
        tracker->paint(this);
}
