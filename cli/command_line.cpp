#include "command_line.h"

#include "arguments.h"
#include "history_location.h"
#include "output.h"
#include "registry.h"
#include "terminal.h"

#include <QCommandLineParser>

namespace
{

const char GLOBAL_USAGE[] =
    "bmsctl [--port PATH[,PATH...] | --all-ports] [--timeout MS] [--retries N] [--verbose] "
    "[--database URL] [--no-history] COMMAND [ARGS]";

const char GLOBAL_INTRO[] =
    R"(Service bench for the ten-cell pack's BMS: pack info, live logging, settings
backup, diff and restore with read-back of every write.
)";

const char GLOBAL_REST[] =
    R"(
Options (before the command):
  --port PATH   serial port; default $BMSCTL_PORT, else the one USB serial adapter.
                Several (repeated or comma-separated) run info, backup, flash,
                monitor and report on every board at once
  --all-ports   every USB serial adapter present
  --timeout MS  how long each try of a request waits for its reply (500)
  --retries N   how many times an unanswered request is sent again (3)
  --verbose     also report every reply stored, on standard error
  --database URL  the service history: sqlite:PATH or
                postgresql://[user[:password]@]host[:port]/dbname; default
                $BMSCTL_DATABASE, else ~/.local/share/bmsctl/history.sqlite
  --no-history  record nothing in the service history this time
  -h, --help    this help; "bmsctl help COMMAND" or "bmsctl COMMAND --help" for a
                command's own options
  --version     the version

Exit codes: 0 done; 1 tried and did not succeed (a write not confirmed, the BMS
stopped answering midway, the port gone after a write); 2 bad input, nothing
written to the BMS; 3 no port, it cannot be opened, or it went away before
anything was written; 4 the BMS did not answer before anything was written.

Examples:
  $ bmsctl --port /dev/ttyUSB0 info
  $ bmsctl backup -o pack-0117.json        # from the old board
  $ bmsctl restore pack-0117.json          # onto the new one: diff, confirm, write, verify
  $ bmsctl set overvoltage=4200 balance_mode=Always
  $ bmsctl monitor --interval 500 --csv ride.csv
  $ bmsctl flash firmware-19.hex --yes     # in series: backup, flash, verify
)";

QCommandLineOption help_option()
{
    return QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")},
                              QStringLiteral("this help"));
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

// Qt's parser words its errors as sentences; ours are clauses of one line.
// The first option of `options` given more than once; a second value would
// silently win over the first otherwise.
QString repeated(const QCommandLineParser &p, const QList<QCommandLineOption> &options)
{
    for (const QCommandLineOption &o : options)
        if (!o.valueName().isEmpty() && p.values(o.names().constLast()).size() > 1) {
            const QString &n = o.names().constLast();
            return (n.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + n;
        }
    return QString();
}

QString clause(QString text)
{
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

std::unique_ptr<Command> parse_command(const CommandEntry &entry, const QStringList &args,
                                       int *code)
{
    const CommandInfo info = entry.info();
    const QString name = QString::fromLatin1(info.name);
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    p.addOptions(info.options);
    p.addOption(help_option());
    if (!p.parse(QStringList{QStringLiteral("bmsctl")} + args)) {
        QString hint;
        for (const QString &unknown : p.unknownOptionNames())
            if (unknown == QLatin1String("port") || unknown == QLatin1String("timeout") ||
                unknown == QLatin1String("retries") || unknown == QLatin1String("verbose") ||
                unknown == QLatin1String("database") || unknown == QLatin1String("no-history") ||
                unknown == QLatin1String("all-ports"))
                hint = QStringLiteral("; --%1 goes before the command").arg(unknown);
        *code = refuse(
            QStringLiteral("%1: %2%3 (bmsctl %1 --help)").arg(name, clause(p.errorText()), hint));
        return nullptr;
    }
    if (p.isSet(QStringLiteral("help"))) {
        say(command_help(info));
        *code = exit_code::OK;
        return nullptr;
    }
    *code = exit_code::USAGE;
    const QString twice = repeated(p, info.options);
    if (!twice.isEmpty()) {
        warn(QStringLiteral("%1: %2 is given more than once; it takes one value (bmsctl %1 "
                            "--help)")
                 .arg(name, twice));
        return nullptr;
    }
    const QStringList positional = p.positionalArguments();
    if (!info.takes_arguments && !positional.isEmpty()) {
        warn(QStringLiteral("%1: unexpected argument \"%2\" (bmsctl %1 --help)")
                 .arg(name, positional.first()));
        return nullptr;
    }
    std::unique_ptr<Command> command = entry.make();
    command->setObjectName(name); // as the service history records it
    if (!command->parse(p, positional))
        return nullptr;
    return command;
}

} // namespace

QString global_help()
{
    QString list;
    for (const CommandEntry &entry : commands()) {
        const CommandInfo info = entry.info();
        const QString usage = QStringLiteral("  ") + QLatin1String(info.usage);
        const QString indent(26, QLatin1Char(' '));
        QStringList summary = QString::fromUtf8(info.summary).split(QLatin1Char('\n'));
        if (usage.size() <= 24)
            list += usage.leftJustified(26) + summary.takeFirst() + QLatin1Char('\n');
        else
            list += usage + QLatin1Char('\n');
        for (const QString &line : summary)
            list += indent + line + QLatin1Char('\n');
    }
    return QStringLiteral("Usage: %1\n\n%2\nCommands:\n%3%4")
        .arg(QLatin1String(GLOBAL_USAGE), QLatin1String(GLOBAL_INTRO), list,
             QLatin1String(GLOBAL_REST));
}

QString command_help(const CommandInfo &info)
{
    QString text =
        QStringLiteral("Usage: bmsctl [--port PATH] [--timeout MS] [--retries N] %1\n\n%2\n")
            .arg(QString::fromLatin1(info.usage), QString::fromUtf8(info.details));
    QVector<QStringList> rows;
    for (const QCommandLineOption &o : info.options + QList<QCommandLineOption>{help_option()}) {
        QStringList names;
        for (const QString &n : o.names())
            names << (n.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + n;
        const QString value =
            o.valueName().isEmpty() ? QString() : QLatin1Char(' ') + o.valueName();
        rows.append(
            {QStringLiteral("  ") + names.join(QStringLiteral(", ")) + value, o.description()});
    }
    text += QStringLiteral("\nOptions:\n") + table(rows) +
            QStringLiteral("\nExample:\n  %1\n").arg(QString::fromUtf8(info.example));
    if (info.lists_settings)
        text += settings_help();
    return text;
}

std::unique_ptr<Command> parse_command_line(const QStringList &arguments, GlobalOptions &global,
                                            int *code)
{
    QCommandLineParser p;
    p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    // Everything from the command on belongs to the command's own parser.
    p.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(), QStringLiteral("MS"));
    const QCommandLineOption retries(QStringLiteral("retries"), QString(), QStringLiteral("N"));
    const QCommandLineOption verbose(QStringLiteral("verbose"));
    const QCommandLineOption database(QStringLiteral("database"), QString(), QStringLiteral("URL"));
    const QCommandLineOption no_history(QStringLiteral("no-history"));
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption all_ports(QStringLiteral("all-ports"));
    p.addOptions(
        {port, timeout, retries, verbose, database, no_history, help_option(), version, all_ports});

    *code = exit_code::USAGE;
    if (!p.parse(arguments)) {
        warn(QStringLiteral("%1 (usage: %2)")
                 .arg(clause(p.errorText()), QLatin1String(GLOBAL_USAGE)));
        return nullptr;
    }
    if (p.isSet(QStringLiteral("help"))) {
        say(global_help());
        *code = exit_code::OK;
        return nullptr;
    }
    if (p.isSet(version)) {
        say(QStringLiteral("bmsctl %1\n").arg(QStringLiteral(BMSCTL_VERSION)));
        *code = exit_code::OK;
        return nullptr;
    }
    QStringList rest = p.positionalArguments();
    if (rest.isEmpty()) {
        warn(QStringLiteral("no command given (usage: %1; bmsctl --help lists the commands)")
                 .arg(QLatin1String(GLOBAL_USAGE)));
        return nullptr;
    }
    // --port may name several boards; the others take one value.
    const QString twice = repeated(p, {timeout, retries});
    if (!twice.isEmpty()) {
        warn(QStringLiteral("%1 is given more than once; it takes one value").arg(twice));
        return nullptr;
    }
    for (const QString &value : p.values(port))
        global.ports += value.split(QLatin1Char(','));
    global.port = global.ports.size() == 1 ? global.ports.first() : QString();
    global.all_ports = p.isSet(all_ports);
    global.verbose = p.isSet(verbose);
    if (p.isSet(port) && global.ports.contains(QString())) {
        warn(QStringLiteral("--port: a device path is expected"));
        return nullptr;
    }
    if (global.all_ports && p.isSet(port)) {
        warn(QStringLiteral("give --port or --all-ports, not both"));
        return nullptr;
    }
    if (p.isSet(timeout)) {
        const auto ms = whole(QStringLiteral("--timeout"), p.value(timeout), 1, 60000, "ms");
        if (!ms)
            return nullptr;
        global.timeout_ms = static_cast<int>(*ms);
    }
    if (p.isSet(retries)) {
        const auto n = whole(QStringLiteral("--retries"), p.value(retries), 0, 100, "retries");
        if (!n)
            return nullptr;
        global.retries = static_cast<int>(*n);
    }
    global.database = p.value(database);
    global.no_history = p.isSet(no_history);
    if (p.isSet(database)) {
        QString why;
        if (!parse_history_url(global.database, &why)) {
            warn(QStringLiteral("--database: %1").arg(why));
            return nullptr;
        }
    }

    const QString name = rest.takeFirst();
    global.command = name;
    if (const CommandEntry *entry = find_command(name)) {
        std::unique_ptr<Command> command = parse_command(*entry, rest, code);
        if (command)
            command->setHistory(global.database, !global.no_history);
        return command;
    }
    QStringList names;
    for (const CommandEntry &entry : commands())
        names << QLatin1String(entry.info().name);
    warn(QStringLiteral("unknown command \"%1\"; the commands are %2")
             .arg(name, names.join(QStringLiteral(", "))));
    return nullptr;
}
