#include "serialport.h"
#include "serialworker.h"
#include "tracker.h"

#include <QCoreApplication>
#include <QSet>

namespace {

// Main thread only, like the ports themselves.
QSet<SerialPort *> &livePorts()
{
    static QSet<SerialPort *> ports;
    return ports;
}

bool postRoutineAdded = false;

// A port has no Qt parent and its handle never owns it, so nothing else
// deletes one the script kept to the end. This runs in QCoreApplication's
// destructor: after the main window has closed the interpreter (so no
// script hears of it), while Qt can still stop and join threads. Not
// aboutToQuit: that comes while the interpreter is still open, and a
// program that ends without exec() never sees it.
void deleteAtExit()
{
    postRoutineAdded = false;
    SerialPort::deleteAll();
}

} // namespace

SerialPort::SerialPort()
    : QObject(nullptr)
    , thread(this)
    , worker(new SerialPortX)
{
    worker->moveToThread(&thread);
    connect(&thread, &QThread::started, worker, &SerialPortX::init);
    // The worker and its port die on their own thread, where the port's
    // notifiers live: QThread runs deferred deletions after "finished".
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(worker, &SerialPortX::receive, this, &SerialPort::onReceive);
    connect(worker, &SerialPortX::error, this, &SerialPort::onError);
    // Emitted just before error(), so the text is in place for the handler.
    connect(worker, &SerialPortX::errorText, this, &SerialPort::onErrorText);
    livePorts().insert(this);
    if (!postRoutineAdded && QCoreApplication::instance()) {
        qAddPostRoutine(deleteAtExit);
        postRoutineAdded = true;
    }
    thread.start();
}

SerialPort::~SerialPort()
{
    livePorts().remove(this);
    // Reports already queued towards this object are dropped with it by Qt;
    // this stops new ones.
    disconnect(worker, nullptr, this, nullptr);
    thread.quit();
    thread.wait();
}

int SerialPort::liveCount()
{
    return livePorts().size();
}

void SerialPort::deleteAll()
{
    const QSet<SerialPort *> ports = livePorts();
    for (SerialPort *port : ports)
        delete port;
}

void SerialPort::open(const QString &name)
{
    buffer.clear();
    worker->open(name);
}

void SerialPort::close()
{
    buffer.clear();
    worker->close();
}

QByteArray SerialPort::read()
{
    QByteArray data;
    data.swap(buffer);
    return data;
}

void SerialPort::write(const QByteArray &data)
{
    worker->write(data);
}

void SerialPort::setLine(const SerialLine &line)
{
    settings = line;
    worker->setLine(line.baudRate, line.dataBits, line.parity, line.stopBits, line.flowControl);
}

void SerialPort::onReceive(QByteArray data)
{
    // Null once the interpreter is closed: nobody is left to tell.
    ObjectTracker *tracker = ObjectTracker::forObject(this);
    if (!tracker)
        return;
    buffer.append(data);
    tracker->dispatch(this, "onReadyRead", "");
}

void SerialPort::onError(QString)
{
    ObjectTracker *tracker = ObjectTracker::forObject(this);
    if (!tracker)
        return;
    buffer.clear();
    tracker->dispatch(this, "onError", "");
}

void SerialPort::onErrorText(QString text)
{
    lastError = text;
}
