#pragma once
// SerialPortX: the I/O half of a serial line. It lives on a thread of its
// own, so a slow or stalled device never holds up the script's thread; the
// only way in is its slots, which may be called from any thread.

#include <QByteArray>
#include <QObject>
#include <QString>

#include "serialdevice.h"

class SerialPortX : public QObject {
    Q_OBJECT
public:
    SerialPortX();

signals:
    void receive(QByteArray data);
    void error(QString name);

public slots:
    void init();
    void open(QString name);
    void close();
    void write(QByteArray data);

private slots:
    void onReadyRead();
    void onError();

private:
    bool onWorkerThread() const;
    void dropPort(quint64 openCount);

    SerialDevice *port = nullptr; // child of this worker, made by init()
    // Counts opens, so that a close queued for a device that went away
    // cannot hit a port the script has opened again meanwhile.
    quint64 opens = 0;
    // Set when the device went away: what Qt reports after that (a read
    // error on every turn of the loop) is the same failure again.
    bool gone = false;
};
