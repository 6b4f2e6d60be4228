#pragma once
// SerialPort: the script's side of one serial line, on the main thread. It
// owns a worker thread on which a SerialPortX does all the I/O, keeps what
// arrived until the script reads it, and turns the worker's reports into
// the handlers onReadyRead and onError.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QThread>

#include "serialworker.h"

class SerialPort : public QObject {
    Q_OBJECT
public:
    SerialPort();
    // Stops the worker thread; the worker and its port are deleted on it.
    ~SerialPort() override;

    void open(const QString &name);
    void close();
    QByteArray read();
    void write(const QByteArray &data);
    // Kept here for line() and handed to the worker, which applies it now
    // when the port is open and at every open.
    void setLine(const SerialLine &settings);
    const SerialLine &line() const { return settings; }
    // Qt's text of the error that the last onError reported; empty before.
    QString errorString() const { return lastError; }

protected slots:
    void onReceive(QByteArray data);
    void onError(QString name);
    void onErrorText(QString text);

private:
    friend struct TestAccess;

    QThread thread;
    SerialPortX *worker;
    QByteArray buffer;
    SerialLine settings;
    QString lastError;
};
