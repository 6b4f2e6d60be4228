#pragma once
// What the tests look at inside the host's classes and their headers do not
// offer. Each class names TestAccess a friend; counters that live in a source
// file are reached through functions defined there and declared only here
// (the way Qt's autotests reach internals through their exports).

#include "fdview/fdview.h"
#include "comms/serialport.h"
#include "tracker.h"
#include "comms/zeroconf.h"

class QPropertyAnimation;
class SerialPortX;

// serialport.cpp: ports constructed and not yet deleted.
int orvane_alive_serial_ports();

struct TestAccess
{
    static int trackedCount(const ObjectTracker *tracker) { return tracker->trackedCount(); }
    static QList<QPointer<QObject>> adopted(const ObjectTracker *tracker)
    {
        QList<QPointer<QObject>> list;
        for (QObject *object : tracker->adopted)
            list.append(object);
        return list;
    }
    static SerialPortX *serialWorker(const SerialPort *port) { return port->worker; }
    static QPropertyAnimation *scrollAnimation(const FDView *view) { return view->animation; }
    static double fontScale(const FDView *view) { return view->fontScale; }
    static int &resolveTimeoutMs() { return DiscoverableService::resolveTimeoutMs; }
    static int aliveSerialPorts() { return orvane_alive_serial_ports(); }
};
