#pragma once
// How drivers and recordings name Qt objects: by object name, or, for an
// object without one, by its path of parents from the nearest named ancestor
// ("page.x/QLineEdit:1"; "*" starts at the top-level windows).

#include <QByteArray>
#include <QObjectList>

class QObject;
class QWidget;

namespace orvane {

// The top-level widgets of the application, without except.
QObjectList topLevelObjects(const QObject *except = nullptr);

// The name a recording writes for object; unnamed is set when a path of
// parents was needed.
QByteArray recordedName(QObject *object, bool *unnamed = nullptr);

// Resolves both forms: an object name is searched in mainWindow first, then
// in every other top-level window.
QObject *findRecorded(QWidget *mainWindow, const QByteArray &name);

} // namespace orvane
