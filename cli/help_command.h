#ifndef CLI_HELP_COMMAND_H
#define CLI_HELP_COMMAND_H

// help [COMMAND]: the overview of bmsctl --help, or what bmsctl COMMAND --help says.

#include "command.h"

class HelpCommand : public Command
{
    Q_OBJECT

public:
    static CommandInfo info();

    bool parse(const QCommandLineParser &options, const QStringList &arguments) override;
    bool needsPort() const override { return false; }
    int runWithoutPort() override;

private:
    QString topic_; // a command's name; empty: the overview
};

#endif // CLI_HELP_COMMAND_H
