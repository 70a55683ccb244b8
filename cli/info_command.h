#ifndef CLI_INFO_COMMAND_H
#define CLI_INFO_COMMAND_H

// info [--json]: identity, firmware, pack state and the cells from one snapshot.

#include "command.h"

class InfoCommand : public Command
{
    Q_OBJECT
    friend class BatchInfo; // runs it on several boards at once

public:
    static CommandInfo info();

    bool parse(const QCommandLineParser &options, const QStringList &arguments) override;
    void run(BmsLink *link) override;

private:
    struct Options {
        bool json = false;
    } options_;
};

#endif // CLI_INFO_COMMAND_H
