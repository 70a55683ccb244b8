#ifndef ENGINE_PORT_DIAGNOSIS_H
#define ENGINE_PORT_DIAGNOSIS_H

// Why a serial port did not open, as far as it tells the user what to do; each
// front end words the advice its own way.

#include <QSerialPort>
#include <QString>

enum class OpenFailure {
    None,         // it opened
    NoPermission, // the user may not use the device: the dialout group
    InUse,        // the user may, so another program holds it
    Other,        // the system's reason says it all (no such device, ...)
};

// `name` as it was opened (a listed name such as ttyUSB0, or a device path) and
// the port's error after the failed open.
OpenFailure diagnose_open_failure(const QString &name, QSerialPort::SerialPortError error);

#endif // ENGINE_PORT_DIAGNOSIS_H
