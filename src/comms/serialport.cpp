#include "serialport.h"
#include "serialworker.h"
#include "tracker.h"

namespace {

// Ports not yet deleted, for the tests (tests/support/internals.h). Nothing
// but the tracker's deletion of adopted objects deletes a port the script
// has dropped, and a running thread must not outlive its port.
int alivePorts = 0;

} // namespace

int orvane_alive_serial_ports()
{
    return alivePorts;
}

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
    ++alivePorts;
    // Emitted just before error(), so the text is in place for the handler.
    connect(worker, &SerialPortX::errorText, this, &SerialPort::onErrorText);
    thread.start();
}

SerialPort::~SerialPort()
{
    --alivePorts;
    // Reports already queued towards this object are dropped with it by Qt;
    // this stops new ones.
    disconnect(worker, nullptr, this, nullptr);
    thread.quit();
    thread.wait();
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
