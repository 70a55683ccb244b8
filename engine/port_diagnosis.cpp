#include "port_diagnosis.h"

#include <QFile>
#include <QSerialPortInfo>

#include <unistd.h>

OpenFailure diagnose_open_failure(const QString &name, QSerialPort::SerialPortError error)
{
    if (error == QSerialPort::NoError)
        return OpenFailure::None;
    if (error != QSerialPort::PermissionError)
        return OpenFailure::Other;
    // A lock held by another program is reported as a permission error too; only
    // the device's own mode tells the two apart.
    const QSerialPortInfo listed(name);
    const QString device = listed.isNull() ? name : listed.systemLocation();
    return ::access(QFile::encodeName(device).constData(), R_OK | W_OK) == 0
               ? OpenFailure::InUse
               : OpenFailure::NoPermission;
}
