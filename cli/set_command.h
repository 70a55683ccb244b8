#ifndef CLI_SET_COMMAND_H
#define CLI_SET_COMMAND_H

// set NAME=VALUE... [--force]: the values given, written and confirmed.

#include "settings_writer.h"

class SetCommand : public SettingsWriter
{
    Q_OBJECT

public:
    static CommandInfo info();

    SetCommand() : SettingsWriter("set") {}

    bool parse(const QCommandLineParser &options, const QStringList &arguments) override;
};

#endif // CLI_SET_COMMAND_H
