#ifndef CLI_INVOCATION_H
#define CLI_INVOCATION_H

// The command line, read and checked as a whole before the port is touched: a
// run that would stop on bad input stops here, with nothing sent.

#include "settings/settings_file.h"

#include <QStringList>
#include <QVector>

#include <optional>

enum class CommandKind { Ports, Info, Monitor, Get, Set, Backup, Diff, Restore, Report, Flash };

struct Invocation {
    CommandKind command = CommandKind::Info;
    QString port; // as given with --port; empty: chosen later
    int timeout_ms = 500;
    bool verbose = false;

    bool json = false;                  // ports, info, get
    QVector<const SettingDef *> names; // get: the named settings, all when empty

    // set: the values given; diff and restore: the file's, after --only and
    // --skip-identity
    SettingsFile settings;
    bool force = false; // set, restore: write even when a cross-check fails
    QString output;     // backup -o; standard output when empty

    bool dry_run = false; // restore
    bool yes = false;
    bool all = false;

    QString firmware_path; // flash
    bool no_backup = false;
    QString backup_dir; // empty: the user's data folder
    bool ignore_checksums = false;

    int interval_ms = 1000; // monitor
    qint64 duration_ms = 0; // 0: until stopped
    int count = 0;          // 0: until stopped
    QString csv;            // "-" is standard output
    QString jsonl;

    // report: also -o in `output`, --duration in `duration_ms` (10 s unless given),
    // --before in `settings` (whose path stays empty without it)
    QString format; // html, md or json
};

// Nothing when the run ends here, with the exit code in *code: 0 after --help or
// --version, 2 after bad input (already reported on standard error).
std::optional<Invocation> parse_invocation(const QStringList &arguments, int *code);

#endif // CLI_INVOCATION_H
