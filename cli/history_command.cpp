#include "history_command.h"

#include "history_store.h"
#include "output.h"
#include "terminal.h"

namespace
{
void complain(const QString &line)
{
    warn(line);
}
void print(const QString &text)
{
    say(text);
}
} // namespace

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

const char HISTORY_USAGE[] = "history [SERIAL] [--json] [--since YYYY-MM-DD] [--export FILE.csv]";

const char HISTORY_SUMMARY[] = "the packs this bench (or shop) has seen; a pack's timeline";

const char HISTORY_HELP[] =
    "Without SERIAL: every pack in the service history, the latest seen first, with its\n"
    "serial number, the BMS it was last seen with, first and last seen, the number of\n"
    "visits, the verdict of its last report and its last firmware. With SERIAL (a pack's\n"
    "serial number, or the serial of a BMS it was seen with): that pack's timeline,\n"
    "newest first: each command or window connection that read it, with the pack's\n"
    "state and what was done (settings written, backups, flashes, reports).\n"
    "Needs no port. The history is the one --database names (before the command), else\n"
    "$BMSCTL_DATABASE, else ~/.local/share/bmsctl/history.sqlite.\n"
    "\n"
    "  --json             JSON: a list of packs, or of timeline entries\n"
    "  --since DATE       only what happened from DATE on (YYYY-MM-DD, local date)\n"
    "  --export FILE.csv  write the timeline to FILE as CSV, one row per entry\n"
    "\n"
    "Exit codes: 0 done; 1 the history cannot be read, or was written by a newer\n"
    "program; 2 bad input, or no pack with that serial.\n"
    "\n"
    "Example:\n"
    "  $ bmsctl history SIM10S-0000042 --since 2026-01-01\n";

namespace
{

QString utc_text(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}

QString local_text(const QDateTime &time)
{
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QJsonValue optional_text(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonValue optional_number(int value)
{
    return value < 0 ? QJsonValue() : QJsonValue(value);
}

QJsonObject pack_json(const PackSummary &pack)
{
    return {{QStringLiteral("serial_number"), optional_text(pack.serial_number)},
            {QStringLiteral("bms_serial"), pack.bms_serial},
            {QStringLiteral("first_seen"), utc_text(pack.first_seen)},
            {QStringLiteral("last_seen"), utc_text(pack.last_seen)},
            {QStringLiteral("visits"), pack.visits},
            {QStringLiteral("last_verdict"), optional_text(pack.last_verdict)},
            {QStringLiteral("last_firmware"), optional_number(pack.last_firmware)}};
}

QJsonObject state_json(const PackState &state)
{
    QJsonArray cells;
    QJsonArray balancing;
    for (int i = 0; i < CELL_COUNT; ++i) {
        cells.append(state.cells_mv[static_cast<size_t>(i)]);
        if (state.balancing & (1u << i))
            balancing.append(i + 1);
    }
    return {{QStringLiteral("voltage_mv"), state.voltage_mv},
            {QStringLiteral("current_ma"), state.current_ma},
            {QStringLiteral("soc_percent"), state.soc_percent},
            {QStringLiteral("remaining_mah"), state.remaining_mah},
            {QStringLiteral("temperatures_c"),
             QJsonArray{state.temperatures_c[0], state.temperatures_c[1]}},
            {QStringLiteral("cells_mv"), cells},
            {QStringLiteral("balancing"), balancing},
            {QStringLiteral("charging"), state.charging},
            {QStringLiteral("recuperation_enabled"), state.recuperation_enabled},
            {QStringLiteral("overheat"), state.overheat},
            {QStringLiteral("charging_enabled"), state.charging_enabled},
            {QStringLiteral("discharging_enabled"), state.discharging_enabled}};
}

QJsonObject entry_json(const TimelineEntry &entry)
{
    QJsonObject object = entry.details;
    object.insert(QStringLiteral("time"), utc_text(entry.time));
    object.insert(QStringLiteral("program"), entry.program);
    object.insert(QStringLiteral("command"), entry.command);
    object.insert(QStringLiteral("bench"), entry.bench);
    object.insert(QStringLiteral("bms_serial"), entry.bms_serial);
    object.insert(QStringLiteral("firmware"), entry.firmware);
    object.insert(QStringLiteral("pack"), state_json(entry.state));
    object.insert(QStringLiteral("done"), entry.done);
    return object;
}

QString json_text(const QJsonArray &array)
{
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
}

QString volts(int mv)
{
    return QString::number(mv / 1000.0, 'f', 2) + QLatin1String(" V");
}

QString amps(int ma)
{
    return QString::number(ma / 1000.0, 'f', 2) + QLatin1String(" A");
}

// CSV: the entry's own keys; the pack's state as its three headline figures.
const QStringList CSV_COLUMNS = {QStringLiteral("time"),        QStringLiteral("program"),
                                 QStringLiteral("command"),     QStringLiteral("bench"),
                                 QStringLiteral("bms_serial"),  QStringLiteral("firmware"),
                                 QStringLiteral("voltage_mv"),  QStringLiteral("current_ma"),
                                 QStringLiteral("soc_percent"), QStringLiteral("done")};

QString csv_field(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QByteArray timeline_csv(const QVector<TimelineEntry> &entries)
{
    QString out = CSV_COLUMNS.join(QLatin1Char(',')) + QLatin1Char('\n');
    for (const TimelineEntry &e : entries) {
        const QStringList row = {utc_text(e.time),
                                 e.program,
                                 e.command,
                                 e.bench,
                                 e.bms_serial,
                                 QString::number(e.firmware),
                                 QString::number(e.state.voltage_mv),
                                 QString::number(e.state.current_ma),
                                 QString::number(e.state.soc_percent),
                                 e.done};
        QStringList fields;
        for (const QString &field : row)
            fields << csv_field(field);
        out += fields.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return out.toUtf8();
}

QString packs_text(const QVector<PackSummary> &packs)
{
    QVector<QStringList> rows{{QStringLiteral("SERIAL NUMBER"), QStringLiteral("BMS SERIAL"),
                               QStringLiteral("FIRST SEEN"), QStringLiteral("LAST SEEN"),
                               QStringLiteral("VISITS"), QStringLiteral("LAST VERDICT"),
                               QStringLiteral("FIRMWARE")}};
    for (const PackSummary &pack : packs) {
        rows << QStringList{
            pack.serial_number.isEmpty() ? QStringLiteral("(none)") : pack.serial_number,
            pack.bms_serial,
            local_text(pack.first_seen),
            local_text(pack.last_seen),
            QString::number(pack.visits),
            pack.last_verdict.isEmpty() ? QStringLiteral("-") : pack.last_verdict,
            pack.last_firmware < 0 ? QStringLiteral("-") : QString::number(pack.last_firmware)};
    }
    return table(rows);
}

QString timeline_text(const PackSummary &pack, const QVector<TimelineEntry> &entries)
{
    QString out =
        QStringLiteral("Pack %1, BMS %2, firmware %3: %4 visit(s), first seen %5, "
                       "last seen %6\n")
            .arg(pack.serial_number.isEmpty() ? QStringLiteral("(no serial number)")
                                              : pack.serial_number,
                 pack.bms_serial,
                 pack.last_firmware < 0 ? QStringLiteral("-") : QString::number(pack.last_firmware))
            .arg(pack.visits)
            .arg(local_text(pack.first_seen), local_text(pack.last_seen));
    if (!pack.last_verdict.isEmpty())
        out += QStringLiteral("Last report: %1\n").arg(pack.last_verdict);
    out += QLatin1Char('\n');
    QVector<QStringList> rows{{QStringLiteral("TIME"), QStringLiteral("PROGRAM"),
                               QStringLiteral("COMMAND"), QStringLiteral("BENCH"),
                               QStringLiteral("FW"), QStringLiteral("PACK"),
                               QStringLiteral("DONE")}};
    for (const TimelineEntry &e : entries) {
        rows << QStringList{local_text(e.time),
                            e.program,
                            e.command,
                            e.bench,
                            QString::number(e.firmware),
                            QStringLiteral("%1 %2 %3 %")
                                .arg(volts(e.state.voltage_mv), amps(e.state.current_ma))
                                .arg(e.state.soc_percent),
                            e.done};
    }
    return out + table(rows);
}

} // namespace

std::optional<HistoryQuery> parse_history_query(const QStringList &arguments, QString *error)
{
    HistoryQuery query;
    QString since;
    bool since_given = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        // "--since DATE" and "--since=DATE" alike.
        auto value = [&](const QString &name, QString *out) {
            if (arg == name) {
                if (i + 1 >= arguments.size()) {
                    *error = QStringLiteral("%1 needs a value").arg(name);
                    return false;
                }
                *out = arguments.at(++i);
                return true;
            }
            *out = arg.mid(name.size() + 1);
            return true;
        };
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            query.help = true;
        } else if (arg == QLatin1String("--json")) {
            query.json = true;
        } else if (arg == QLatin1String("--since") || arg.startsWith(QLatin1String("--since="))) {
            if (!value(QStringLiteral("--since"), &since))
                return std::nullopt;
            since_given = true;
        } else if (arg == QLatin1String("--export") || arg.startsWith(QLatin1String("--export="))) {
            if (!value(QStringLiteral("--export"), &query.export_path))
                return std::nullopt;
            if (query.export_path.isEmpty()) {
                *error = QStringLiteral("--export needs a file name");
                return std::nullopt;
            }
        } else if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            *error = QStringLiteral("history: unknown option %1").arg(arg);
            return std::nullopt;
        } else if (query.serial.isEmpty() && !arg.isEmpty()) {
            query.serial = arg;
        } else {
            *error = QStringLiteral("history takes one serial number, not also \"%1\"").arg(arg);
            return std::nullopt;
        }
    }
    if (since_given) {
        const QDate date = QDate::fromString(since, QStringLiteral("yyyy-MM-dd"));
        if (!date.isValid()) {
            *error = QStringLiteral("--since %1 is not a date: give YYYY-MM-DD").arg(since);
            return std::nullopt;
        }
        query.since = QDateTime(date, QTime(0, 0), Qt::LocalTime);
    }
    if (!query.export_path.isEmpty() && query.serial.isEmpty()) {
        *error = QStringLiteral("--export writes one pack's timeline: give its serial number");
        return std::nullopt;
    }
    return query;
}

int run_history_query(const QString &database, const HistoryQuery &query)
{
    QString error;
    const auto location = parse_history_url(history_url(database), &error);
    if (!location)
        return refuse(error);
    // Refused before anything is read: a file that cannot be written changes nothing.
    QSaveFile csv(query.export_path);
    if (!query.export_path.isEmpty() && !csv.open(QIODevice::WriteOnly)) {
        return refuse(
            QStringLiteral("cannot write %1: %2").arg(query.export_path, csv.errorString()));
    }
    HistoryStore store(*location);
    const HistoryStore::Opened opened = store.open(HistoryStore::Mode::Read, 5000);
    if (opened == HistoryStore::Opened::NewerSchema || opened == HistoryStore::Opened::Failed) {
        complain(QStringLiteral("cannot read the service history: %1").arg(store.error()));
        return exit_code::FAILED;
    }
    auto cannot_read = [&]() {
        complain(QStringLiteral("cannot read the service history at %1: %2")
                     .arg(location->display(), store.error()));
        return exit_code::FAILED;
    };
    if (query.serial.isEmpty()) {
        const auto packs = store.packs(query.since);
        if (!packs)
            return cannot_read();
        if (query.json) {
            QJsonArray array;
            for (const PackSummary &pack : *packs)
                array.append(pack_json(pack));
            print(json_text(array));
        } else if (packs->isEmpty()) {
            complain(QStringLiteral("no pack in the service history at %1 yet")
                         .arg(location->display()));
        } else {
            print(packs_text(*packs));
        }
        return exit_code::OK;
    }
    const auto pack = store.findPack(query.serial);
    if (!pack)
        return cannot_read();
    if (*pack < 0) {
        return refuse(
            QStringLiteral("no pack with the serial number or BMS serial \"%1\" in the service "
                           "history at %2")
                .arg(query.serial, location->display()));
    }
    const auto summary = store.pack(*pack);
    const auto entries = summary ? store.timeline(*pack, query.since) : std::nullopt;
    if (!entries)
        return cannot_read();
    if (!query.export_path.isEmpty()) {
        csv.write(timeline_csv(*entries));
        if (!csv.commit()) {
            complain(
                QStringLiteral("cannot write %1: %2").arg(query.export_path, csv.errorString()));
            return exit_code::FAILED;
        }
        complain(
            QStringLiteral("%1 entries written to %2").arg(entries->size()).arg(query.export_path));
        return exit_code::OK;
    }
    if (query.json) {
        QJsonArray array;
        for (const TimelineEntry &entry : *entries)
            array.append(entry_json(entry));
        print(json_text(array));
    } else {
        print(timeline_text(*summary, *entries));
    }
    return exit_code::OK;
}

int run_history_command(const QString &database, const QStringList &arguments)
{
    QString error;
    const auto query = parse_history_query(arguments, &error);
    if (!query)
        return refuse(error);
    if (query->help) {
        print(QStringLiteral("Usage: bmsctl [--database URL] %1\n\n%2")
                  .arg(QLatin1String(HISTORY_USAGE), QLatin1String(HISTORY_HELP)));
        return exit_code::OK;
    }
    return run_history_query(database, *query);
}
