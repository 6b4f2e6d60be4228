#pragma once
// WinSerialPort: a COM port driven through Win32 directly, for the Windows
// build, which has no Qt serial port module. It offers the part of
// QSerialPort's interface that the serial worker uses, with the same names
// and enum values, so the worker is the same code on every platform.
//
// It lives on the worker's thread like the port it stands for: overlapped
// reads and writes complete through QWinEventNotifier on that thread's loop.

#include <QByteArray>
#include <QIODevice>
#include <QObject>
#include <QString>
#include <QStringList>

#include <windows.h>

class QTimer;
class QWinEventNotifier;

class WinSerialPort : public QObject
{
    Q_OBJECT
public:
    enum Direction { Input = 1, Output = 2, AllDirections = Input | Output };
    Q_DECLARE_FLAGS(Directions, Direction)
    enum DataBits { Data5 = 5, Data6 = 6, Data7 = 7, Data8 = 8 };
    enum Parity { NoParity = 0, EvenParity = 2, OddParity = 3, SpaceParity = 4, MarkParity = 5 };
    enum StopBits { OneStop = 1, OneAndHalfStop = 3, TwoStop = 2 };
    enum FlowControl { NoFlowControl, HardwareControl, SoftwareControl };
    enum SerialPortError {
        NoError,
        DeviceNotFoundError,
        PermissionError,
        OpenError,
        ParityError,
        FramingError,
        BreakConditionError,
        WriteError,
        ReadError,
        ResourceError,
        UnsupportedOperationError,
        UnknownError,
        TimeoutError,
        NotOpenError
    };
    Q_ENUM(SerialPortError)

    explicit WinSerialPort(QObject *parent = nullptr);
    ~WinSerialPort() override;

    // The names of the COM ports present, as the system lists them.
    static QStringList availablePortNames();

    void setPortName(const QString &name) { name_ = name; }
    QString portName() const { return name_; }

    // Settings given before open are applied by open; given while open, at
    // once (false, with UnsupportedOperationError, when the driver refuses).
    bool setBaudRate(qint32 baudRate, Directions directions = AllDirections);
    qint32 baudRate(Directions directions = AllDirections) const;
    bool setDataBits(DataBits dataBits);
    DataBits dataBits() const { return dataBits_; }
    bool setParity(Parity parity);
    Parity parity() const { return parity_; }
    bool setStopBits(StopBits stopBits);
    StopBits stopBits() const { return stopBits_; }
    bool setFlowControl(FlowControl flowControl);
    FlowControl flowControl() const { return flow_; }

    bool open(QIODevice::OpenMode mode);
    void close();
    bool isOpen() const { return handle != INVALID_HANDLE_VALUE; }

    qint64 write(const QByteArray &data);
    QByteArray readAll();
    qint64 bytesAvailable() const { return readBuffer.size(); }
    qint64 bytesToWrite() const { return pending.size() + inFlight.size(); }

    SerialPortError error() const { return error_; }
    void clearError() { setError(NoError); }
    QString errorString() const { return errorText; }

signals:
    void readyRead();
    void bytesWritten(qint64 bytes);
    void errorOccurred(WinSerialPort::SerialPortError error);

private slots:
    void onCommEvent();
    void onWriteDone();
    void poll();

private:
    // Sets one line setting, applied at once when open; the old value stays
    // when the driver refuses the new one.
    template <class T>
    bool change(T &setting, T value);
    bool applySettings();
    void waitForInput();
    void startPolling();
    void drainInput();
    void startWrite();
    void fail(SerialPortError code, DWORD systemError);
    void setError(SerialPortError code, const QString &text = QString());

    QString name_;
    qint32 baud_ = 9600;
    DataBits dataBits_ = Data8;
    Parity parity_ = NoParity;
    StopBits stopBits_ = OneStop;
    FlowControl flow_ = NoFlowControl;

    HANDLE handle = INVALID_HANDLE_VALUE;
    DCB restoreDcb{};
    bool haveRestoreDcb = false;
    OVERLAPPED commOverlap{};
    OVERLAPPED readOverlap{};
    OVERLAPPED writeOverlap{};
    DWORD eventMask = 0;
    bool waiting = false; // a WaitCommEvent is in flight
    QWinEventNotifier *commNotifier = nullptr;
    QWinEventNotifier *writeNotifier = nullptr;
    // Drivers whose WaitCommEvent fails (some virtual ports) are polled instead.
    QTimer *pollTimer = nullptr;

    QByteArray readBuffer;
    QByteArray pending;  // not yet handed to WriteFile
    QByteArray inFlight; // handed to WriteFile, which reads it until it completes

    SerialPortError error_ = NoError;
    QString errorText;
};
Q_DECLARE_OPERATORS_FOR_FLAGS(WinSerialPort::Directions)
