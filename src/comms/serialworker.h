#pragma once
// SerialPortX: the I/O half of a serial line. It lives on a thread of its
// own, so a slow or stalled device never holds up the script's thread; the
// only way in is its slots, which may be called from any thread.

#include <QByteArray>
#include <QObject>
#include <QString>

#include "serialdevice.h"

// The line settings that open() applies. The defaults are the host's fixed
// line: 38400 baud, 8 data bits, odd parity, one stop bit, no flow control.
struct SerialLine {
    qint32 baudRate = 38400;
    SerialDevice::DataBits dataBits = SerialDevice::Data8;
    SerialDevice::Parity parity = SerialDevice::OddParity;
    SerialDevice::StopBits stopBits = SerialDevice::OneStop;
    SerialDevice::FlowControl flowControl = SerialDevice::NoFlowControl;
};

class SerialPortX : public QObject {
    Q_OBJECT
public:
    SerialPortX();

signals:
    void receive(QByteArray data);
    void error(QString name);
    // Qt's text of the error that the next error() reports.
    void errorText(QString text);

public slots:
    void init();
    void open(QString name);
    void close();
    void write(QByteArray data);
    // Plain integers (the enums' values) cross threads without a meta-type.
    void setLine(int baudRate, int dataBits, int parity, int stopBits, int flowControl);

private slots:
    void onReadyRead();
    void onError();

private:
    bool onWorkerThread() const;
    void dropPort(quint64 openCount);
    void applyLine();

    SerialDevice *port = nullptr; // child of this worker, made by init()
    SerialLine line;
    // Counts opens, so that a close queued for a device that went away
    // cannot hit a port the script has opened again meanwhile.
    quint64 opens = 0;
    // Set when the device went away: what Qt reports after that (a read
    // error on every turn of the loop) is the same failure again.
    bool gone = false;
};
