#pragma once
#include <QString>

namespace orvane {

// Finds an installed file by its relative name next to the executable, one or
// two levels up, or in the compiled-in resources. Does not return when the
// file is nowhere: the user is told and the process ends with status 1.
QString findResource(const QString &name);

// Makes the compiled-in resources of the core library visible (a static
// library's resources are not registered on their own).
void initResources();

} // namespace orvane
