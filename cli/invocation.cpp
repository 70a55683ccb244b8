#include "invocation.h"

#include "output.h"

#include <QCommandLineParser>
#include <QFileInfo>

#include <cmath>

namespace
{

const char GLOBAL_USAGE[] = "bmsctl [--port PATH] [--timeout MS] [--verbose] COMMAND [ARGS]";

const char GLOBAL_HELP[] =
    R"(Service bench for the ten-cell pack's BMS: pack info, live logging, settings
backup, diff and restore with read-back of every write.

Commands:
  ports [--json]          serial ports: path, /dev/serial/by-id link, USB VID:PID, description
  info [--json]           identity, firmware, pack state and the ten cells, in one snapshot
  monitor [--interval MS] [--duration S | --count N] [--csv FILE|-] [--jsonl FILE|-]
                          live values; a table refreshed in place on a terminal
  report [-o FILE] [--format html|md|json] [--duration S] [--before BACKUP.json]
                          a service report: identity, settings, S seconds of samples
                          and the findings, as one HTML page, Markdown or JSON
  get [NAME...] [--json]  settings in the window's units (all, or the named ones)
  set NAME=VALUE...       write settings, read them back and confirm
  backup [-o FILE]        every setting to a JSON file (standard output without -o)
  diff FILE               settings that differ between the BMS and FILE
  restore FILE [--dry-run] [--yes] [--only NAME,...] [--skip-identity] [--force] [--all]
                          write FILE's settings that differ, after showing the diff
  flash FILE.hex [--yes] [--no-backup] [--backup-dir DIR] [--ignore-checksums]
                          replace the BMS firmware, settings saved first

Options (before the command):
  --port PATH   serial port; default $BMSCTL_PORT, else the one USB serial adapter
  --timeout MS  how long a request waits for its reply before its one retry (500)
  --verbose     also report every reply stored, on standard error
  -h, --help    this help; "bmsctl COMMAND --help" for a command's own options
  --version     the version

Exit codes: 0 done; 1 tried and did not succeed (a write not confirmed, the BMS
stopped answering midway); 2 bad input, nothing sent to the BMS; 3 no port, or it
cannot be opened; 4 the BMS did not answer before anything was written.

Examples:
  $ bmsctl --port /dev/ttyUSB0 info
  $ bmsctl backup -o pack-0117.json        # from the old board
  $ bmsctl restore pack-0117.json          # onto the new one: diff, confirm, write, verify
  $ bmsctl set overvoltage=4200 balance_mode=Always
  $ bmsctl monitor --interval 500 --csv ride.csv
  $ bmsctl flash firmware-19.hex --yes     # in series: backup, flash, verify
)";

struct CommandInfo {
    CommandKind kind;
    const char *name;
    const char *usage;
    const char *summary;
    const char *example;
};

const CommandInfo COMMANDS[] = {
    {CommandKind::Ports, "ports", "ports [--json]",
     "Lists the serial ports: device path, /dev/serial/by-id link, USB VID:PID and "
     "description.",
     "bmsctl ports --json"},
    {CommandKind::Info, "info", "info [--json]",
     "Identity, firmware, pack state and the ten cells, read in one snapshot.",
     "bmsctl --port /dev/ttyUSB0 info --json"},
    {CommandKind::Monitor, "monitor",
     "monitor [--interval MS] [--duration S | --count N] [--csv FILE|-] [--jsonl FILE|-]",
     "Reads the live values every MS ms until Ctrl-C, --duration or --count. On a terminal\n"
     "a table is refreshed in place; without --csv or --jsonl and without a terminal, CSV\n"
     "goes to standard output. Rows are flushed one by one. While the BMS is silent no\n"
     "row is written, only a warning on standard error.\n"
     "CSV: time,voltage_mv,current_ma,soc_percent,remaining_mah,t1_c,t2_c,cell1_mv,...,\n"
     "cell10_mv,balancing; time in UTC (ISO 8601, milliseconds), balancing the numbers\n"
     "of the cells being balanced, separated by spaces. JSONL: the same keys, one object\n"
     "per line, balancing as an array of cell numbers.",
     "bmsctl monitor --interval 500 --duration 900 --csv ride.csv"},
    {CommandKind::Report, "report",
     "report [-o FILE] [--format html|md|json] [--duration S] [--before BACKUP.json]\n"
     "       [--shop TEXT] [--technician TEXT] [--job TEXT]",
     "Reads the identity and settings, samples the live values every 100 ms for S seconds\n"
     "(default 10) and writes a report for the customer: the pack, the settings (with\n"
     "--before, those changed since that backup, old and new), each quantity's and each\n"
     "cell's minimum, mean and maximum, a chart of the cells, and the findings: a cell\n"
     "spread above the BMS's disbalance threshold, a cell outside its undervoltage or\n"
     "overvoltage, a temperature within the critical hysteresis, a cell that sags more\n"
     "than the others under load. The format follows -o's extension (.html, .htm, .md,\n"
     ".json; html otherwise); --format overrides it. Without -o the report goes to\n"
     "standard output. Samples missed while the BMS is silent are left out; a BMS silent\n"
     "at the end of the sampling leaves no report (exit 1).",
     "bmsctl report -o pack-0117.html --before pack-0117.json"},
    {CommandKind::Get, "get", "get [NAME...] [--json]",
     "Prints the settings in the window's units: all of them, or the named ones.",
     "bmsctl get overvoltage undervoltage --json"},
    {CommandKind::Set, "set", "set NAME=VALUE... [--force]",
     "Writes each setting as the window's Set button does, reads it back and compares;\n"
     "a setting that did not take is written again, at most three times in all. The\n"
     "settings as they will be are cross-checked first (refused unless --force).\n"
     "Curve points are separated by commas; quote text with spaces.",
     "bmsctl set overvoltage=4200 'serial_number=PACK 0117' \\\n"
     "             discharge_curve=3000,3350,3480,3560,3620,3680,3760,3850,3940,4040,4150"},
    {CommandKind::Backup, "backup", "backup [-o FILE]",
     "Saves every setting as JSON, to FILE or standard output.", "bmsctl backup -o pack-0117.json"},
    {CommandKind::Diff, "diff", "diff FILE",
     "Lists the settings whose value on the BMS differs from FILE's (exit 0 either way).",
     "bmsctl diff pack-0117.json"},
    {CommandKind::Restore, "restore",
     "restore FILE [--dry-run] [--yes] [--only NAME,...] [--skip-identity] [--force] [--all]",
     "Shows the diff, checks the settings as they will be, asks for confirmation on a\n"
     "terminal, then writes the settings that differ and reads each back, as set does.\n"
     "Without a terminal it writes only with --yes.",
     "bmsctl restore pack-0117.json --skip-identity --dry-run"},
    {CommandKind::Flash, "flash",
     "flash FILE.hex [--yes] [--no-backup] [--backup-dir DIR] [--ignore-checksums]",
     "Replaces the BMS firmware with the window's upgrade: erase, every data record in file\n"
     "order, CRC check, each command confirmed through the loader's status. The file is\n"
     "checked whole first (record checksums, lengths, the end record, the flash range);\n"
     "the BMS's settings are saved to DIR (default ~/.local/share/bmsctl/backups), then\n"
     "on a terminal it asks, unless --yes. The first Ctrl-C only warns; a second within\n"
     "5 s stops after the command in flight (exit 1). Exit 0 only once the BMS confirmed\n"
     "the CRC; the firmware version it then reports is printed.",
     "bmsctl --port /dev/ttyUSB0 flash firmware-19.hex --yes --backup-dir backups/"},
};

QList<QCommandLineOption> command_options(CommandKind kind)
{
    using O = QCommandLineOption;
    const O help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("this help"));
    const O json(QStringLiteral("json"), QStringLiteral("JSON instead of text"));
    const O force(QStringLiteral("force"), QStringLiteral("write even when a cross-check fails"));
    switch (kind) {
    case CommandKind::Ports:
    case CommandKind::Info:
    case CommandKind::Get:
        return {json, help};
    case CommandKind::Set:
        return {force, help};
    case CommandKind::Backup:
        return {O({QStringLiteral("o"), QStringLiteral("output")},
                  QStringLiteral("write FILE (replaced whole, never left half-written)"),
                  QStringLiteral("FILE")),
                help};
    case CommandKind::Diff:
        return {help};
    case CommandKind::Restore:
        return {O(QStringLiteral("dry-run"),
                  QStringLiteral("show the diff and the checks; write nothing")),
                O(QStringLiteral("yes"), QStringLiteral("write without asking")),
                O(QStringLiteral("only"), QStringLiteral("restore only these settings"),
                  QStringLiteral("NAME,...")),
                O(QStringLiteral("skip-identity"),
                  QStringLiteral("leave serial_number and date_of_production as they are")),
                force,
                O(QStringLiteral("all"),
                  QStringLiteral("write every setting of FILE, also those the BMS holds")),
                help};
    case CommandKind::Flash:
        return {O(QStringLiteral("yes"), QStringLiteral("flash without asking")),
                O(QStringLiteral("no-backup"), QStringLiteral("do not save the settings first")),
                O(QStringLiteral("backup-dir"), QStringLiteral("save the settings in DIR"),
                  QStringLiteral("DIR")),
                O(QStringLiteral("ignore-checksums"),
                  QStringLiteral("flash records whose checksum is wrong, with a warning")),
                help};
    case CommandKind::Report:
        return {O({QStringLiteral("o"), QStringLiteral("output")},
                  QStringLiteral("write FILE (replaced whole, never left half-written)"),
                  QStringLiteral("FILE")),
                O(QStringLiteral("format"),
                  QStringLiteral("html, md or json (from FILE's extension, else html)"),
                  QStringLiteral("FORMAT")),
                O(QStringLiteral("duration"),
                  QStringLiteral("sample for S seconds, 1 to 3600 (10)"), QStringLiteral("S")),
                O(QStringLiteral("before"),
                  QStringLiteral("show the settings changed since this backup"),
                  QStringLiteral("BACKUP.json")),
                O(QStringLiteral("shop"), QStringLiteral("the shop's name on the report"),
                  QStringLiteral("TEXT")),
                O(QStringLiteral("technician"), QStringLiteral("the technician's name"),
                  QStringLiteral("TEXT")),
                O(QStringLiteral("job"), QStringLiteral("the job number"), QStringLiteral("TEXT")),
                help};
    case CommandKind::Monitor:
        return {
            O(QStringLiteral("interval"), QStringLiteral("time between samples (1000)"),
              QStringLiteral("MS")),
            O(QStringLiteral("duration"), QStringLiteral("stop after S seconds"),
              QStringLiteral("S")),
            O(QStringLiteral("count"), QStringLiteral("stop after N rows"), QStringLiteral("N")),
            O(QStringLiteral("csv"), QStringLiteral("CSV rows to FILE, - for standard output"),
              QStringLiteral("FILE|-")),
            O(QStringLiteral("jsonl"), QStringLiteral("JSON lines to FILE, - for standard output"),
              QStringLiteral("FILE|-")),
            help};
    }
    return {help};
}

QString settings_help()
{
    QVector<QStringList> rows{
        {QStringLiteral("NAME"), QStringLiteral("UNIT"), QStringLiteral("ALLOWED")}};
    for (const SettingDef &setting : all_settings())
        rows.append({QString::fromLatin1(setting.name), QString::fromUtf8(setting.unit),
                     allowed_values_text(setting)});
    return QStringLiteral("\nSettings:\n") + table(rows);
}

void print_command_help(const CommandInfo &info)
{
    QString text = QStringLiteral("Usage: bmsctl [--port PATH] [--timeout MS] %1\n\n%2\n")
                       .arg(QString::fromLatin1(info.usage), QString::fromLatin1(info.summary));
    QVector<QStringList> rows;
    for (const QCommandLineOption &o : command_options(info.kind)) {
        QStringList names;
        for (const QString &n : o.names())
            names << (n.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + n;
        const QString value =
            o.valueName().isEmpty() ? QString() : QLatin1Char(' ') + o.valueName();
        rows.append(
            {QStringLiteral("  ") + names.join(QStringLiteral(", ")) + value, o.description()});
    }
    text += QStringLiteral("\nOptions:\n") + table(rows) +
            QStringLiteral("\nExample:\n  %1\n").arg(QString::fromLatin1(info.example));
    if (info.kind == CommandKind::Get || info.kind == CommandKind::Set)
        text += settings_help();
    print(text);
}

// Qt's parser words its errors as sentences; ours are clauses of one line.
QString clause(QString text)
{
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

bool fail(const QString &line)
{
    complain(line);
    return false;
}

// A whole number from `low` to `high`, or a complaint naming the option.
std::optional<qint64> whole(const QString &option, const QString &text, qint64 low, qint64 high,
                            const char *unit)
{
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    if (ok && v >= low && v <= high)
        return v;
    complain(QStringLiteral("%1 %2: a whole number of %3 from %4 to %5 is expected")
                 .arg(option, text, QLatin1String(unit))
                 .arg(low)
                 .arg(high));
    return std::nullopt;
}

const SettingDef *named_setting(const QString &where, const QString &name)
{
    const SettingDef *setting = find_setting(name);
    if (!setting)
        complain(QStringLiteral("%1: no setting is called \"%2\" (bmsctl get --help lists the %3 "
                                "settings)")
                     .arg(where, name)
                     .arg(SETTING_COUNT));
    return setting;
}

// The cross-checks on what is given alone: a rule whose settings are all given
// fails whatever the BMS holds, so it is refused before anything is sent. With
// --force the warnings come once, from the check of the settings as they will be.
bool passes_checks(const QString &command, const SettingValues &values, bool force)
{
    const QStringList problems = force ? QStringList() : cross_check(values);
    for (const QString &p : problems)
        complain(QStringLiteral("%1: %2").arg(command, p));
    if (!problems.isEmpty())
        complain(
            QStringLiteral("%1: refused, nothing written (--force writes anyway)").arg(command));
    return problems.isEmpty();
}

bool parse_set(const QStringList &args, Invocation &inv)
{
    if (args.isEmpty())
        return fail(QStringLiteral("set: nothing to set; give NAME=VALUE (bmsctl set --help)"));
    for (const QString &arg : args) {
        const int eq = arg.indexOf(QLatin1Char('='));
        if (eq <= 0)
            return fail(QStringLiteral("set: \"%1\" is not NAME=VALUE").arg(arg));
        const SettingDef *setting = named_setting(QStringLiteral("set"), arg.left(eq));
        if (!setting)
            return false;
        QJsonValue &slot = inv.settings.values[static_cast<size_t>(setting->id)];
        if (!slot.isUndefined())
            return fail(QStringLiteral("set: %1 is given twice").arg(setting->name));
        QString why;
        const std::optional<QJsonValue> value = parse_setting_text(*setting, arg.mid(eq + 1), &why);
        if (!value || !encode_setting(*setting, *value, &why))
            return fail(QStringLiteral("set: ") + not_allowed(*setting, arg, why));
        slot = *value;
    }
    return passes_checks(QStringLiteral("set"), inv.settings.values, inv.force);
}

bool parse_file(const QString &command, const QStringList &args, Invocation &inv)
{
    if (args.size() != 1)
        return fail(QStringLiteral("%1: one FILE is expected, %2 given (bmsctl %1 --help)")
                        .arg(command)
                        .arg(args.size()));
    const QStringList problems = read_settings_file(args.first(), inv.settings);
    for (const QString &p : problems)
        complain(command + QStringLiteral(": ") + p);
    return problems.isEmpty();
}

bool parse_restore(const QCommandLineParser &p, Invocation &inv)
{
    inv.dry_run = p.isSet(QStringLiteral("dry-run"));
    inv.yes = p.isSet(QStringLiteral("yes"));
    inv.all = p.isSet(QStringLiteral("all"));
    SettingValues &values = inv.settings.values;
    if (p.isSet(QStringLiteral("only"))) {
        SettingValues kept = no_settings();
        for (const QString &name : p.value(QStringLiteral("only")).split(QLatin1Char(','))) {
            const SettingDef *setting =
                named_setting(QStringLiteral("restore: --only"), name.trimmed());
            if (!setting)
                return false;
            const auto i = static_cast<size_t>(setting->id);
            if (values[i].isUndefined())
                return fail(QStringLiteral("restore: --only names %1, which %2 does not hold")
                                .arg(setting->name, inv.settings.path));
            kept[i] = values[i];
        }
        values = kept;
    }
    if (p.isSet(QStringLiteral("skip-identity"))) {
        values[static_cast<size_t>(Setting::SerialNumber)] = QJsonValue::Undefined;
        values[static_cast<size_t>(Setting::DateOfProduction)] = QJsonValue::Undefined;
    }
    if (inv.settings.count() == 0)
        return fail(QStringLiteral("restore: nothing left to restore from %1 after --only "
                                   "and --skip-identity")
                        .arg(inv.settings.path));
    if (!inv.dry_run && !inv.yes && !stdin_is_terminal())
        return fail(QStringLiteral("restore: refused: no terminal to confirm on; add --yes "
                                   "to write without asking, or --dry-run to only look"));
    return passes_checks(QStringLiteral("restore"), values, inv.force);
}

bool parse_monitor(const QCommandLineParser &p, Invocation &inv)
{
    const auto value = [&p](const char *name) { return p.value(QLatin1String(name)); };
    if (p.isSet(QStringLiteral("interval"))) {
        const auto v = whole(QStringLiteral("--interval"), value("interval"), 10, 3600000, "ms");
        if (!v)
            return false;
        inv.interval_ms = static_cast<int>(*v);
    }
    if (p.isSet(QStringLiteral("duration")) && p.isSet(QStringLiteral("count")))
        return fail(QStringLiteral("monitor: give --duration or --count, not both"));
    if (p.isSet(QStringLiteral("duration"))) {
        bool ok = false;
        const double s = value("duration").toDouble(&ok);
        // The longest a timer runs: 24 days.
        if (!ok || !(s > 0) || s > 2e6)
            return fail(QStringLiteral("--duration %1: a number of seconds above 0 and at most "
                                       "2000000 is expected")
                            .arg(value("duration")));
        inv.duration_ms = static_cast<qint64>(std::ceil(s * 1000));
    }
    if (p.isSet(QStringLiteral("count"))) {
        const auto v = whole(QStringLiteral("--count"), value("count"), 1, 1000000000, "rows");
        if (!v)
            return false;
        inv.count = static_cast<int>(*v);
    }
    inv.csv = value("csv");
    inv.jsonl = value("jsonl");
    if (p.isSet(QStringLiteral("csv")) && inv.csv.isEmpty())
        return fail(QStringLiteral("--csv: a file name or - is expected"));
    if (p.isSet(QStringLiteral("jsonl")) && inv.jsonl.isEmpty())
        return fail(QStringLiteral("--jsonl: a file name or - is expected"));
    if (!inv.csv.isEmpty() && inv.csv == inv.jsonl)
        return fail(QStringLiteral("monitor: --csv and --jsonl both name %1").arg(inv.csv));
    return true;
}

bool parse_report(const QCommandLineParser &p, Invocation &inv)
{
    inv.output = p.value(QStringLiteral("output"));
    if (p.isSet(QStringLiteral("output")) && inv.output.isEmpty())
        return fail(QStringLiteral("report: -o: a file name is expected"));
    inv.duration_ms = 10000;
    if (p.isSet(QStringLiteral("duration"))) {
        const auto s = whole(QStringLiteral("--duration"), p.value(QStringLiteral("duration")), 1,
                             3600, "seconds");
        if (!s)
            return false;
        inv.duration_ms = *s * 1000;
    }
    const QStringList formats{QStringLiteral("html"), QStringLiteral("md"), QStringLiteral("json")};
    const QString suffix = QFileInfo(inv.output).suffix().toLower();
    inv.format = suffix == QLatin1String("htm") ? QStringLiteral("html") : suffix;
    if (!formats.contains(inv.format))
        inv.format = formats.first();
    if (p.isSet(QStringLiteral("format"))) {
        inv.format = p.value(QStringLiteral("format"));
        if (!formats.contains(inv.format))
            return fail(
                QStringLiteral("--format %1: html, md or json is expected").arg(inv.format));
    }
    for (const auto &[name, field] :
         {std::pair{"shop", &inv.shop}, std::pair{"technician", &inv.technician},
          std::pair{"job", &inv.job}}) {
        if (!p.isSet(QLatin1String(name)))
            continue;
        *field = p.value(QLatin1String(name));
        if (field->isNull()) // given, if empty: not the same as not given
            *field = QLatin1String("");
    }
    if (!p.isSet(QStringLiteral("before")))
        return true;
    const QString before = p.value(QStringLiteral("before"));
    if (before.isEmpty())
        return fail(QStringLiteral("report: --before: a backup file name is expected"));
    const QStringList problems = read_settings_file(before, inv.settings);
    for (const QString &problem : problems)
        complain(QStringLiteral("report: --before: ") + problem);
    return problems.isEmpty();
}

bool parse_command(const CommandInfo &info, const QStringList &args, Invocation &inv, int *code)
{
    const QString name = QString::fromLatin1(info.name);
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    p.addOptions(command_options(info.kind));
    if (!p.parse(QStringList{QStringLiteral("bmsctl")} + args)) {
        QString hint;
        for (const QString &unknown : p.unknownOptionNames())
            if (unknown == QLatin1String("port") || unknown == QLatin1String("timeout") ||
                unknown == QLatin1String("verbose"))
                hint = QStringLiteral("; --%1 goes before the command").arg(unknown);
        *code = refuse(
            QStringLiteral("%1: %2%3 (bmsctl %1 --help)").arg(name, clause(p.errorText()), hint));
        return false;
    }
    if (p.isSet(QStringLiteral("help"))) {
        print_command_help(info);
        *code = exit_code::OK;
        return false;
    }
    *code = exit_code::USAGE;
    inv.command = info.kind;
    inv.json = p.optionNames().contains(QStringLiteral("json"));
    inv.force = p.optionNames().contains(QStringLiteral("force"));
    const QStringList positional = p.positionalArguments();
    const bool takes_positional = info.kind == CommandKind::Get || info.kind == CommandKind::Set ||
                                  info.kind == CommandKind::Diff ||
                                  info.kind == CommandKind::Restore ||
                                  info.kind == CommandKind::Flash;
    if (!takes_positional && !positional.isEmpty()) {
        complain(QStringLiteral("%1: unexpected argument \"%2\" (bmsctl %1 --help)")
                     .arg(name, positional.first()));
        return false;
    }
    switch (info.kind) {
    case CommandKind::Get:
        for (const QString &n : positional) {
            const SettingDef *setting = named_setting(QStringLiteral("get"), n);
            if (!setting)
                return false;
            if (!inv.names.contains(setting))
                inv.names.append(setting);
        }
        return true;
    case CommandKind::Set:
        return parse_set(positional, inv);
    case CommandKind::Backup:
        inv.output = p.value(QStringLiteral("output"));
        if (p.isSet(QStringLiteral("output")) && inv.output.isEmpty())
            return fail(QStringLiteral("backup: -o: a file name is expected"));
        return true;
    case CommandKind::Diff:
        return parse_file(name, positional, inv);
    case CommandKind::Restore:
        return parse_file(name, positional, inv) && parse_restore(p, inv);
    case CommandKind::Monitor:
        return parse_monitor(p, inv);
    case CommandKind::Flash:
        if (positional.size() != 1)
            return fail(QStringLiteral("flash: one FILE.hex is expected, %1 given (bmsctl flash "
                                       "--help)")
                            .arg(positional.size()));
        inv.firmware_path = positional.first();
        inv.yes = p.isSet(QStringLiteral("yes"));
        inv.no_backup = p.isSet(QStringLiteral("no-backup"));
        inv.backup_dir = p.value(QStringLiteral("backup-dir"));
        inv.ignore_checksums = p.isSet(QStringLiteral("ignore-checksums"));
        if (p.isSet(QStringLiteral("backup-dir")) && (inv.backup_dir.isEmpty() || inv.no_backup))
            return fail(QStringLiteral("flash: --backup-dir needs a folder, and no --no-backup"));
        return true;
    case CommandKind::Report:
        return parse_report(p, inv);
    case CommandKind::Ports:
    case CommandKind::Info:
        return true;
    }
    return true;
}

} // namespace

std::optional<Invocation> parse_invocation(const QStringList &arguments, int *code)
{
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    // Everything from the command on belongs to the command's own parser.
    p.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(), QStringLiteral("MS"));
    const QCommandLineOption verbose(QStringLiteral("verbose"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    p.addOptions({port, timeout, verbose, help, version});

    *code = exit_code::USAGE;
    if (!p.parse(arguments)) {
        complain(QStringLiteral("%1 (usage: %2)")
                     .arg(clause(p.errorText()), QLatin1String(GLOBAL_USAGE)));
        return std::nullopt;
    }
    if (p.isSet(help)) {
        print(QStringLiteral("Usage: %1\n\n%2")
                  .arg(QLatin1String(GLOBAL_USAGE), QLatin1String(GLOBAL_HELP)));
        *code = exit_code::OK;
        return std::nullopt;
    }
    if (p.isSet(version)) {
        print(QStringLiteral("bmsctl %1\n").arg(QStringLiteral(BMSCTL_VERSION)));
        *code = exit_code::OK;
        return std::nullopt;
    }
    QStringList rest = p.positionalArguments();
    if (rest.isEmpty()) {
        complain(QStringLiteral("no command given (usage: %1; bmsctl --help lists the commands)")
                     .arg(QLatin1String(GLOBAL_USAGE)));
        return std::nullopt;
    }

    Invocation inv;
    inv.port = p.value(port);
    inv.verbose = p.isSet(verbose);
    if (p.isSet(port) && inv.port.isEmpty()) {
        complain(QStringLiteral("--port: a device path is expected"));
        return std::nullopt;
    }
    if (p.isSet(timeout)) {
        const auto ms = whole(QStringLiteral("--timeout"), p.value(timeout), 1, 60000, "ms");
        if (!ms)
            return std::nullopt;
        inv.timeout_ms = static_cast<int>(*ms);
    }

    const QString command = rest.takeFirst();
    for (const CommandInfo &info : COMMANDS)
        if (command == QLatin1String(info.name))
            return parse_command(info, rest, inv, code) ? std::optional<Invocation>(inv)
                                                        : std::nullopt;
    QStringList names;
    for (const CommandInfo &info : COMMANDS)
        names << QLatin1String(info.name);
    complain(QStringLiteral("unknown command \"%1\"; the commands are %2")
                 .arg(command, names.join(QStringLiteral(", "))));
    return std::nullopt;
}
