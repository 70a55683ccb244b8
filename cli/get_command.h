#ifndef CLI_GET_COMMAND_H
#define CLI_GET_COMMAND_H

// get [NAME...] [--json]: settings in the window's units, all or the named ones.

#include "command.h"
#include "settings/settings.h"

class GetCommand : public Command
{
    Q_OBJECT

public:
    static CommandInfo info();

    bool parse(const QCommandLineParser &options, const QStringList &arguments) override;
    void run(BmsLink *link) override;

private:
    struct Options {
        bool json = false;
        QVector<const SettingDef *> names; // all when empty
    } options_;
};

#endif // CLI_GET_COMMAND_H
