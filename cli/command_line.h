#ifndef CLI_COMMAND_LINE_H
#define CLI_COMMAND_LINE_H

// The command line, read and checked as a whole before the port is touched: a
// run that would stop on bad input stops here, with nothing sent. The global
// options come before the command; everything after it is the command's.

#include "command.h"

#include <QString>
#include <QStringList>

#include <memory>

struct GlobalOptions {
    QString port;      // as given with --port; empty: chosen later
    QStringList ports; // every --port, lists split; more than one: a batch
    bool all_ports = false;
    QString command; // its name
    int timeout_ms = 500;
    int retries = 3; // an unanswered request is sent this many times more
    bool verbose = false;
    QString database;        // --database URL; empty: $BMSCTL_DATABASE or the user's file
    bool no_history = false; // --no-history: record nothing this run
};

// The command, its options read and checked; null when the run ends here, with
// the exit code in *code: 0 after --help or --version, 2 after bad input (already
// reported on standard error).
std::unique_ptr<Command> parse_command_line(const QStringList &arguments, GlobalOptions &global,
                                            int *code);

// bmsctl --help, and bmsctl COMMAND --help.
QString global_help();
QString command_help(const CommandInfo &info);

#endif // CLI_COMMAND_LINE_H
