#include "serialworker.h"

#include "serialdevice.h"

#include <QThread>

SerialPortX::SerialPortX()
    : QObject(nullptr)
{
}

bool SerialPortX::onWorkerThread() const
{
    return thread() == QThread::currentThread();
}

void SerialPortX::init()
{
    port = new SerialDevice(this);
    connect(port, &SerialDevice::readyRead, this, &SerialPortX::onReadyRead);
    // errorOccurred, not error(): the old signal is deprecated and, being
    // overloaded with the getter, ambiguous to connect.
    connect(port, &SerialDevice::errorOccurred, this, &SerialPortX::onError);
}

void SerialPortX::open(QString name)
{
    if (!onWorkerThread()) {
        QMetaObject::invokeMethod(this, "open", Q_ARG(QString, name));
        return;
    }
    // Closing a port that is not open is itself an error to Qt, which would
    // reach the script as a spurious onError before every first open.
    if (port->isOpen())
        port->close();
    port->clearError();
    ++opens;
    gone = false;
    port->setPortName(name);
    port->setBaudRate(38400, SerialDevice::AllDirections);
    port->setDataBits(SerialDevice::Data8);
    port->setParity(SerialDevice::OddParity);
    port->setStopBits(SerialDevice::OneStop);
    port->open(QIODevice::ReadWrite);
}

void SerialPortX::close()
{
    if (!onWorkerThread()) {
        QMetaObject::invokeMethod(this, "close");
        return;
    }
    if (port->isOpen())
        port->close();
    port->clearError();
}

void SerialPortX::write(QByteArray data)
{
    if (!onWorkerThread()) {
        QMetaObject::invokeMethod(this, "write", Q_ARG(QByteArray, data));
        return;
    }
    port->write(data);
}

void SerialPortX::onReadyRead()
{
    const QByteArray data = port->readAll();
    if (!data.isEmpty())
        emit receive(data);
}

void SerialPortX::onError()
{
    const SerialDevice::SerialPortError code = port->error();
    // Qt reports "no error" on every successful open and clearError().
    if (code == SerialDevice::NoError || gone)
        return;
    if (code == SerialDevice::ResourceError || code == SerialDevice::ReadError || code == SerialDevice::WriteError) {
        gone = port->isOpen();
        if (gone) {
            // Closed from the event loop, not from inside Qt's own error
            // report, which goes on using the port after it returns.
            const quint64 openCount = opens;
            QMetaObject::invokeMethod(
                this, [this, openCount] { dropPort(openCount); }, Qt::QueuedConnection);
        }
    }
    emit error(port->portName());
}

void SerialPortX::dropPort(quint64 openCount)
{
    if (openCount != opens || !port->isOpen())
        return;
    port->close();
    port->clearError();
}
