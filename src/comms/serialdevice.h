#pragma once
// The device the serial worker drives. Qt's QSerialPort on POSIX; on
// Windows our own Win32 port, which has the same interface (the Windows
// build has no Qt serial port module).

#include <QStringList>

#ifdef Q_OS_WIN
#include "winserialport.h"
using SerialDevice = WinSerialPort;

inline QStringList serialPortNames()
{
    return WinSerialPort::availablePortNames();
}
#else
#include <QSerialPort>
#include <QSerialPortInfo>
using SerialDevice = QSerialPort;

inline QStringList serialPortNames()
{
    QStringList names;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        names.append(info.portName());
    return names;
}
#endif
