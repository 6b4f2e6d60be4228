#pragma once
// The script author's tools, switched on by environment variables and wired
// in by the entry function; without the variables the host runs exactly as
// it would without this room.
//
//   ORVANE_DRIVER  a driver file run with the "orvane.test" library (testdriver.h)
//   ORVANE_RECORD  a file that receives the session as a driver (recorder.h)
//   ORVANE_RELOAD  the module starts again whenever one of its files changes (reloader.h)

#include <QString>

class MainWindow;

namespace orvane {

// With ORVANE_RELOAD set (anything but empty or "0"): starts the module in
// window and keeps it reloading. Returns false, having done nothing, without
// the variable, and while a driver runs (a reload would pull the driver's
// interpreter away under it).
bool startReloading(MainWindow *window, const QString &module);

// Once the window is shown: the driver and the recorder, if asked for.
void startTestTools(MainWindow *window);

} // namespace orvane
