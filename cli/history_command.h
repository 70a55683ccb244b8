#ifndef CLI_HISTORY_COMMAND_H
#define CLI_HISTORY_COMMAND_H

// bmsctl history [SERIAL] [--json] [--since YYYY-MM-DD] [--export FILE.csv]
//
// Reads the service history; needs no port and no BMS. Without SERIAL: the packs
// seen, the latest first. With SERIAL (a pack's serial number, or a BMS serial):
// that pack's timeline, newest first.

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

struct HistoryQuery {
    QString serial; // empty: the pack list
    bool json = false;
    QDateTime since;     // invalid: everything; else local midnight of --since
    QString export_path; // CSV of the timeline; needs a serial
    bool help = false;
};

extern const char HISTORY_USAGE[];
extern const char HISTORY_SUMMARY[];
extern const char HISTORY_HELP[];

// The command's arguments (after "history"); nothing, with the message in *error,
// for bad input.
std::optional<HistoryQuery> parse_history_query(const QStringList &arguments, QString *error);

// Runs the query against the history at `database` (the --database given, empty
// for BMSCTL_DATABASE or the default file). Prints on standard output, messages on
// standard error; returns the exit code: 2 for an unknown serial or a bad URL,
// 1 for a history that cannot be read or was written by a newer program.
int run_history_query(const QString &database, const HistoryQuery &query);

// Both of the above, for a command line's "history ARGS...".
int run_history_command(const QString &database, const QStringList &arguments);

#endif // CLI_HISTORY_COMMAND_H
