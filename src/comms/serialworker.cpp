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
    applyLine();
    port->open(QIODevice::ReadWrite);
}

void SerialPortX::setLine(int baudRate, int dataBits, int parity, int stopBits, int flowControl)
{
    if (!onWorkerThread()) {
        QMetaObject::invokeMethod(this, "setLine", Q_ARG(int, baudRate), Q_ARG(int, dataBits), Q_ARG(int, parity),
            Q_ARG(int, stopBits), Q_ARG(int, flowControl));
        return;
    }
    line.baudRate = baudRate;
    line.dataBits = SerialDevice::DataBits(dataBits);
    line.parity = SerialDevice::Parity(parity);
    line.stopBits = SerialDevice::StopBits(stopBits);
    line.flowControl = SerialDevice::FlowControl(flowControl);
    // A closed port only keeps them for the next open; an open one takes
    // them now, and a setting the device refuses is an error like any other.
    if (port->isOpen())
        applyLine();
}

// In the order the fixed line was always set; flow control last.
void SerialPortX::applyLine()
{
    port->setBaudRate(line.baudRate, SerialDevice::AllDirections);
    port->setDataBits(line.dataBits);
    port->setParity(line.parity);
    port->setStopBits(line.stopBits);
    port->setFlowControl(line.flowControl);
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
    emit errorText(port->errorString());
    emit error(port->portName());
}

void SerialPortX::dropPort(quint64 openCount)
{
    if (openCount != opens || !port->isOpen())
        return;
    port->close();
    port->clearError();
}
