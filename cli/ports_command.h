#ifndef CLI_PORTS_COMMAND_H
#define CLI_PORTS_COMMAND_H

// ports [--json]: the serial ports there are; no port is opened.

#include "command.h"

class PortsCommand : public Command
{
    Q_OBJECT

public:
    static CommandInfo info();

    bool parse(const QCommandLineParser &options, const QStringList &arguments) override;
    bool needsPort() const override { return false; }
    int runWithoutPort() override;

private:
    struct Options {
        bool json = false;
    } options_;
};

#endif // CLI_PORTS_COMMAND_H
