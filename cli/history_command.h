#ifndef CLI_HISTORY_COMMAND_H
#define CLI_HISTORY_COMMAND_H

// history [SERIAL] [--json] [--since YYYY-MM-DD] [--export FILE.csv]
//
// Reads the service history; needs no port and no BMS. Without SERIAL: the packs
// seen, the latest first. With SERIAL (a pack's serial number, or a BMS serial):
// that pack's timeline, newest first.

#include "command.h"

#include <QDateTime>
#include <QString>

struct HistoryQuery {
    QString serial; // empty: the pack list
    bool json = false;
    QDateTime since;     // invalid: everything; else local midnight of --since
    QString export_path; // CSV of the timeline; needs a serial
};

// Runs the query against the history at `database` (the --database given, empty
// for BMSCTL_DATABASE or the default file). Prints on standard output, messages on
// standard error; returns the exit code: 2 for an unknown serial or a bad URL,
// 1 for a history that cannot be read or was written by a newer program.
int run_history_query(const QString &database, const HistoryQuery &query);

class HistoryCommand : public Command
{
    Q_OBJECT

public:
    static CommandInfo info();

    bool parse(const QCommandLineParser &options, const QStringList &arguments) override;
    bool needsPort() const override { return false; }
    int runWithoutPort() override;

private:
    HistoryQuery query_;
};

#endif // CLI_HISTORY_COMMAND_H
