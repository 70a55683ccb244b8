#ifndef CLI_PORTS_H
#define CLI_PORTS_H

// Which serial port bmsctl talks through.

#include <QString>
#include <QVector>

struct PortEntry {
    QString path;        // /dev/ttyUSB0
    QString by_id;       // its /dev/serial/by-id link, which survives replugging
    QString usb;         // VID:PID in hex, empty when not a USB device
    QString description; // what the adapter calls itself
};

QVector<PortEntry> list_ports();

// --port, else BMSCTL_PORT, else the one USB serial adapter plugged in. Empty with
// the reason (listing the ports there are) in *why when there is none or several.
QString choose_port(const QString &given, QString *why);

// The ports command.
int run_ports(bool json);

#endif // CLI_PORTS_H
