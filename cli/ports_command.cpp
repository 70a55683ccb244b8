#include "ports_command.h"

#include "ports.h"

#include <QCommandLineParser>

CommandInfo PortsCommand::info()
{
    return {"ports",
            "ports [--json]",
            "serial ports: path, /dev/serial/by-id link, USB VID:PID, description",
            "Lists the serial ports: device path, /dev/serial/by-id link, USB VID:PID and "
            "description.",
            "bmsctl ports --json",
            {QCommandLineOption(QStringLiteral("json"), QStringLiteral("JSON instead of text"))}};
}

bool PortsCommand::parse(const QCommandLineParser &options, const QStringList &)
{
    options_.json = options.isSet(QStringLiteral("json"));
    return true;
}

int PortsCommand::runWithoutPort()
{
    return run_ports(options_.json);
}
