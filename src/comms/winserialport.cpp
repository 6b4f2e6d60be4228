#include "winserialport.h"

#include <QTimer>
#include <QWinEventNotifier>

namespace {

// "COM12" opens only as "\\.\COM12"; the prefix works for COM1 to COM9 too.
QString devicePath(const QString &name)
{
    if (name.startsWith(QLatin1String("\\\\.\\")))
        return name;
    return QLatin1String("\\\\.\\") + name;
}

WinSerialPort::SerialPortError openErrorFor(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return WinSerialPort::DeviceNotFoundError;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return WinSerialPort::PermissionError;
    default:
        return WinSerialPort::OpenError;
    }
}

} // namespace

WinSerialPort::WinSerialPort(QObject *parent) : QObject(parent)
{
}

WinSerialPort::~WinSerialPort()
{
    close();
}

QStringList WinSerialPort::availablePortNames()
{
    QStringList names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key)
        == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            wchar_t valueName[256];
            DWORD valueNameLength = 256;
            wchar_t data[256];
            DWORD dataBytes = sizeof data - sizeof(wchar_t);
            DWORD type = 0;
            const LONG rc = RegEnumValueW(key, i, valueName, &valueNameLength, nullptr, &type,
                                          reinterpret_cast<BYTE *>(data), &dataBytes);
            if (rc == ERROR_NO_MORE_ITEMS)
                break;
            if (rc != ERROR_SUCCESS || type != REG_SZ)
                continue;
            data[dataBytes / sizeof(wchar_t)] = 0;
            const QString name = QString::fromWCharArray(data);
            if (!name.isEmpty() && !names.contains(name))
                names.append(name);
        }
        RegCloseKey(key);
    }
    // Ports the device map does not list (virtual ports, wine's dosdevices
    // links): every further COM name the object manager knows.
    for (int n = 1; n <= 256; ++n) {
        const QString name = QStringLiteral("COM%1").arg(n);
        wchar_t target[512];
        if (!names.contains(name) && QueryDosDeviceW(reinterpret_cast<LPCWSTR>(name.utf16()), target, 512))
            names.append(name);
    }
    return names;
}

template <class T>
bool WinSerialPort::change(T &setting, T value)
{
    const T old = setting;
    setting = value;
    if (isOpen() && !applySettings()) {
        setting = old;
        return false;
    }
    return true;
}

bool WinSerialPort::setBaudRate(qint32 baudRate, Directions directions)
{
    // One rate for both directions: Win32 has no split rates.
    if (directions != AllDirections || baudRate <= 0) {
        setError(UnsupportedOperationError, tr("Unsupported baud rate"));
        return false;
    }
    return change(baud_, baudRate);
}

qint32 WinSerialPort::baudRate(Directions) const
{
    return baud_;
}

bool WinSerialPort::setDataBits(DataBits dataBits)
{
    return change(dataBits_, dataBits);
}

bool WinSerialPort::setParity(Parity parity)
{
    return change(parity_, parity);
}

bool WinSerialPort::setStopBits(StopBits stopBits)
{
    return change(stopBits_, stopBits);
}

bool WinSerialPort::setFlowControl(FlowControl flowControl)
{
    return change(flow_, flowControl);
}

bool WinSerialPort::applySettings()
{
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        fail(UnsupportedOperationError, GetLastError());
        return false;
    }
    // Raw bytes: no character replacement, no abort on line errors.
    dcb.fBinary = TRUE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fParity = parity_ != NoParity;
    dcb.BaudRate = DWORD(baud_);
    dcb.ByteSize = BYTE(dataBits_);
    switch (parity_) {
    case NoParity: dcb.Parity = NOPARITY; break;
    case EvenParity: dcb.Parity = EVENPARITY; break;
    case OddParity: dcb.Parity = ODDPARITY; break;
    case SpaceParity: dcb.Parity = SPACEPARITY; break;
    case MarkParity: dcb.Parity = MARKPARITY; break;
    }
    switch (stopBits_) {
    case OneStop: dcb.StopBits = ONESTOPBIT; break;
    case OneAndHalfStop: dcb.StopBits = ONE5STOPBITS; break;
    case TwoStop: dcb.StopBits = TWOSTOPBITS; break;
    }
    dcb.fOutxCtsFlow = flow_ == HardwareControl;
    dcb.fRtsControl = flow_ == HardwareControl ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = flow_ == SoftwareControl;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    if (!SetCommState(handle, &dcb)) {
        fail(UnsupportedOperationError, GetLastError());
        return false;
    }
    return true;
}

bool WinSerialPort::open(QIODevice::OpenMode mode)
{
    if (isOpen()) {
        setError(OpenError, tr("The port is already open"));
        return false;
    }
    DWORD access = 0;
    if (mode & QIODevice::ReadOnly)
        access |= GENERIC_READ;
    if (mode & QIODevice::WriteOnly)
        access |= GENERIC_WRITE;
    handle = CreateFileW(reinterpret_cast<LPCWSTR>(devicePath(name_).utf16()), access, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        setError(openErrorFor(code), qt_error_string(int(code)));
        return false;
    }
    // What the line was set to before us comes back on close, as with
    // QSerialPort: the next program (or our next open) finds it as it was.
    restoreDcb = {};
    restoreDcb.DCBlength = sizeof restoreDcb;
    haveRestoreDcb = GetCommState(handle, &restoreDcb);
    // Reads return at once with whatever is there: arrival is signalled by
    // WaitCommEvent, so a read never blocks the worker's loop.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    if (!applySettings() || !SetCommTimeouts(handle, &timeouts)) {
        const DWORD code = GetLastError();
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
        setError(UnsupportedOperationError, qt_error_string(int(code)));
        return false;
    }
    PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
    commOverlap = {};
    commOverlap.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    readOverlap = {};
    readOverlap.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    writeOverlap = {};
    writeOverlap.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    commNotifier = new QWinEventNotifier(commOverlap.hEvent, this);
    connect(commNotifier, &QWinEventNotifier::activated, this, &WinSerialPort::onCommEvent);
    writeNotifier = new QWinEventNotifier(writeOverlap.hEvent, this);
    writeNotifier->setEnabled(false);
    connect(writeNotifier, &QWinEventNotifier::activated, this, &WinSerialPort::onWriteDone);
    if (SetCommMask(handle, EV_RXCHAR))
        waitForInput();
    else
        startPolling();
    setError(NoError);
    return true;
}

void WinSerialPort::startPolling()
{
    if (pollTimer)
        return;
    commNotifier->setEnabled(false);
    pollTimer = new QTimer(this);
    connect(pollTimer, &QTimer::timeout, this, &WinSerialPort::poll);
    pollTimer->start(5);
}

void WinSerialPort::close()
{
    if (!isOpen())
        return;
    // Cancel what is in flight and let it complete before its buffers go.
    CancelIo(handle);
    DWORD n = 0;
    if (waiting)
        GetOverlappedResult(handle, &commOverlap, &n, TRUE);
    if (!inFlight.isEmpty())
        GetOverlappedResult(handle, &writeOverlap, &n, TRUE);
    waiting = false;
    if (haveRestoreDcb)
        SetCommState(handle, &restoreDcb);
    CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
    delete commNotifier;
    commNotifier = nullptr;
    delete writeNotifier;
    writeNotifier = nullptr;
    delete pollTimer;
    pollTimer = nullptr;
    for (OVERLAPPED *o : {&commOverlap, &readOverlap, &writeOverlap}) {
        if (o->hEvent)
            CloseHandle(o->hEvent);
        *o = {};
    }
    readBuffer.clear();
    pending.clear();
    inFlight.clear();
}

void WinSerialPort::waitForInput()
{
    while (isOpen()) {
        ResetEvent(commOverlap.hEvent);
        eventMask = 0;
        if (!WaitCommEvent(handle, &eventMask, &commOverlap)) {
            const DWORD code = GetLastError();
            if (code == ERROR_IO_PENDING) {
                waiting = true;
                return;
            }
            startPolling();
            return;
        }
        // Answered at once: bytes are already there.
        drainInput();
    }
}

void WinSerialPort::onCommEvent()
{
    if (!isOpen() || !waiting)
        return;
    waiting = false;
    DWORD n = 0;
    if (!GetOverlappedResult(handle, &commOverlap, &n, FALSE)) {
        const DWORD code = GetLastError();
        if (code == ERROR_IO_INCOMPLETE) { // a spurious wake-up
            waiting = true;
            return;
        }
        // Some drivers cannot wait for events at all (wine on a
        // pseudo-terminal: no modem lines to read). Polling still reads the
        // bytes, and a device that went away fails there.
        startPolling();
        return;
    }
    drainInput();
    waitForInput();
}

void WinSerialPort::poll()
{
    drainInput();
}

void WinSerialPort::drainInput()
{
    if (!isOpen())
        return;
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(handle, &errors, &stat)) {
        fail(ResourceError, GetLastError());
        return;
    }
    if (stat.cbInQue == 0)
        return;
    const int before = readBuffer.size();
    readBuffer.resize(before + int(stat.cbInQue));
    ResetEvent(readOverlap.hEvent);
    DWORD got = 0;
    BOOL ok = ReadFile(handle, readBuffer.data() + before, stat.cbInQue, &got, &readOverlap);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(handle, &readOverlap, &got, TRUE); // immediate: the bytes are queued
    if (!ok) {
        readBuffer.resize(before);
        fail(ReadError, GetLastError());
        return;
    }
    readBuffer.resize(before + int(got));
    if (got > 0)
        emit readyRead();
}

QByteArray WinSerialPort::readAll()
{
    drainInput();
    QByteArray out;
    out.swap(readBuffer);
    return out;
}

qint64 WinSerialPort::write(const QByteArray &data)
{
    if (!isOpen()) {
        setError(NotOpenError, tr("The port is not open"));
        return -1;
    }
    pending += data;
    if (inFlight.isEmpty())
        startWrite();
    return data.size();
}

void WinSerialPort::startWrite()
{
    if (pending.isEmpty() || !isOpen())
        return;
    inFlight.swap(pending);
    ResetEvent(writeOverlap.hEvent);
    if (!WriteFile(handle, inFlight.constData(), DWORD(inFlight.size()), nullptr, &writeOverlap)) {
        const DWORD code = GetLastError();
        if (code != ERROR_IO_PENDING) {
            inFlight.clear();
            fail(WriteError, code);
            return;
        }
    }
    // Completed or pending, the event tells: one road for both.
    writeNotifier->setEnabled(true);
}

void WinSerialPort::onWriteDone()
{
    if (!isOpen() || inFlight.isEmpty())
        return;
    DWORD written = 0;
    if (!GetOverlappedResult(handle, &writeOverlap, &written, FALSE)) {
        const DWORD code = GetLastError();
        if (code == ERROR_IO_INCOMPLETE)
            return;
        writeNotifier->setEnabled(false);
        inFlight.clear();
        fail(WriteError, code);
        return;
    }
    writeNotifier->setEnabled(false);
    // A partial write (a write time-out) puts the rest back in front.
    const QByteArray rest = inFlight.mid(int(written));
    inFlight.clear();
    pending.prepend(rest);
    if (written > 0)
        emit bytesWritten(qint64(written));
    startWrite();
}

void WinSerialPort::fail(SerialPortError code, DWORD systemError)
{
    setError(code, qt_error_string(int(systemError)));
}

void WinSerialPort::setError(SerialPortError code, const QString &text)
{
    error_ = code;
    errorText = code == NoError ? tr("No error") : text;
    emit errorOccurred(code);
}
