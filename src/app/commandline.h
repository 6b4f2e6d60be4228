#pragma once
#include <QString>

namespace orvane {

// The module name: the first argument that does not begin with "-", else the
// executable's base name without its "orv" prefix, else empty.
QString moduleNameFromArguments(int argc, char **argv);

// Process-wide, set by "-s"; published to scripts as wantSettings.
extern bool wantSettings;

} // namespace orvane
