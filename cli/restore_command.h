#ifndef CLI_RESTORE_COMMAND_H
#define CLI_RESTORE_COMMAND_H

// restore FILE: shows the diff, then writes FILE's settings that differ and
// confirms them, as set does.

#include "settings/settings_file.h"
#include "settings_writer.h"

class RestoreCommand : public SettingsWriter
{
    Q_OBJECT

public:
    static CommandInfo info();

    RestoreCommand() : SettingsWriter("restore") {}

    bool parse(const QCommandLineParser &options, const QStringList &arguments) override;

protected:
    void showPlan() override;
    bool writable() override;
    void go(int to_write) override;

private:
    struct Options {
        SettingsFile file; // after --only and --skip-identity
        bool dry_run = false;
        bool yes = false;
    } options_;
};

#endif // CLI_RESTORE_COMMAND_H
