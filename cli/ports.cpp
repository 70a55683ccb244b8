#include "ports.h"

#include "output.h"
#include "terminal.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>

namespace
{

QString hex4(quint16 v)
{
    return QStringLiteral("%1").arg(v, 4, 16, QLatin1Char('0'));
}

QString describe(const QVector<PortEntry> &ports)
{
    if (ports.isEmpty())
        return QStringLiteral("(none)");
    QStringList names;
    for (const PortEntry &p : ports)
        names << (p.usb.isEmpty() ? p.path
                                  : QStringLiteral("%1 (%2 %3)").arg(p.path, p.usb, p.description));
    return names.join(QStringLiteral(", "));
}

} // namespace

QVector<PortEntry> list_ports()
{
    const QFileInfoList links =
        QDir(QStringLiteral("/dev/serial/by-id"))
            .entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    QVector<PortEntry> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        PortEntry p;
        p.path = info.systemLocation();
        for (const QFileInfo &link : links)
            if (link.canonicalFilePath() == p.path)
                p.by_id = link.absoluteFilePath();
        if (info.hasVendorIdentifier())
            p.usb = hex4(info.vendorIdentifier()) + QLatin1Char(':') +
                    (info.hasProductIdentifier() ? hex4(info.productIdentifier()) : QString());
        p.description = info.description();
        ports.append(p);
    }
    return ports;
}

QString choose_port(const QString &given, QString *why)
{
    if (!given.isEmpty())
        return given;
    const QString from_environment = qEnvironmentVariable("BMSCTL_PORT");
    if (!from_environment.isEmpty())
        return from_environment;

    const QVector<PortEntry> ports = list_ports();
    QVector<PortEntry> usb;
    for (const PortEntry &p : ports)
        if (!p.usb.isEmpty())
            usb.append(p);
    if (usb.size() == 1)
        return usb.first().by_id.isEmpty() ? usb.first().path : usb.first().by_id;
    if (usb.isEmpty())
        *why = QStringLiteral("no port given (--port PATH or BMSCTL_PORT) and no USB serial "
                              "adapter found; serial ports present: %1")
                   .arg(describe(ports));
    else
        *why = QStringLiteral("no port given and %1 USB serial adapters present: %2; choose one "
                              "with --port PATH or BMSCTL_PORT")
                   .arg(usb.size())
                   .arg(describe(usb));
    return {};
}

int run_ports(bool json)
{
    const QVector<PortEntry> ports = list_ports();
    if (json) {
        QJsonArray list;
        for (const PortEntry &p : ports) {
            const auto text_or_null = [](const QString &s) {
                return s.isEmpty() ? QJsonValue() : QJsonValue(s);
            };
            list.append(QJsonObject{{QStringLiteral("path"), p.path},
                                    {QStringLiteral("by_id"), text_or_null(p.by_id)},
                                    {QStringLiteral("usb"), text_or_null(p.usb)},
                                    {QStringLiteral("description"), p.description}});
        }
        say(QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Indented)));
        return exit_code::OK;
    }
    if (ports.isEmpty()) {
        warn(QStringLiteral("no serial ports found"));
        return exit_code::OK;
    }
    QVector<QStringList> rows{{QStringLiteral("PORT"), QStringLiteral("BY-ID"),
                               QStringLiteral("USB"), QStringLiteral("DESCRIPTION")}};
    const auto dash = [](const QString &s) { return s.isEmpty() ? QStringLiteral("-") : s; };
    for (const PortEntry &p : ports)
        rows.append({p.path, dash(p.by_id), dash(p.usb), dash(p.description)});
    say(table(rows));
    return exit_code::OK;
}
