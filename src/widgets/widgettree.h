#pragma once
// Questions about Qt's widget tree that script methods must answer before
// they change it: Qt itself neither refuses nor survives a parent loop.

class QWidget;

namespace orvane {

// True when giving child the parent newParent would make child its own
// parent or ancestor (newParent is child, or lies somewhere below it).
bool wouldCreateCycle(const QWidget *child, const QWidget *newParent);

} // namespace orvane
