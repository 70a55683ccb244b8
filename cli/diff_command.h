#ifndef CLI_DIFF_COMMAND_H
#define CLI_DIFF_COMMAND_H

// diff FILE: the settings whose value on the BMS differs from FILE's.

#include "command.h"
#include "settings/settings_file.h"

class DiffCommand : public Command
{
    Q_OBJECT

public:
    static CommandInfo info();

    bool parse(const QCommandLineParser &options, const QStringList &arguments) override;
    void run(BmsLink *link) override;

private:
    struct Options {
        SettingsFile file;
    } options_;
};

#endif // CLI_DIFF_COMMAND_H
