#include "history_command.h"

#include "history_store.h"
#include "output.h"
#include "terminal.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

// Every command's way to the history; here with the one command that only reads it.
void Command::setHistory(const QString &database, bool enabled)
{
    history_database_ = database;
    history_enabled_ = enabled;
    history_.reset();
}

HistoryRecorder &Command::history()
{
    if (!history_) {
        history_ = std::make_unique<HistoryRecorder>(history_database_, QStringLiteral("bmsctl"),
                                                     history_enabled_);
    }
    return *history_;
}

void Command::noteHistory(const QString &warning)
{
    if (!warning.isEmpty())
        warn(QStringLiteral("warning: ") + warning);
}

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

CommandInfo HistoryCommand::info()
{
    using O = QCommandLineOption;
    CommandInfo info{
        "history",
        "history [SERIAL] [--json] [--since YYYY-MM-DD] [--export FILE.csv]",
        "the packs seen, or one pack's timeline: visits, writes, flashes, reports",
        "Reads the service history; no port is opened. Without SERIAL: every pack in the\n"
        "history, the latest seen first, with its serial number, the BMS it was last seen\n"
        "with, first and last seen, the number of visits, the verdict of its last report\n"
        "and its last firmware. With SERIAL (a pack's serial number, or the serial of a BMS\n"
        "it was seen with): that pack's timeline, newest first: each command or window\n"
        "connection that read it, with the pack's state and what was done (settings\n"
        "written, backups, flashes, reports). The history is the one --database names,\n"
        "else $BMSCTL_DATABASE, else ~/.local/share/bmsctl/history.sqlite. An unknown\n"
        "serial: exit 2; a history that cannot be read, or one written by a newer\n"
        "version: exit 1.",
        "bmsctl history SIM10S-0000042 --since 2026-01-01",
        {O(QStringLiteral("json"), QStringLiteral("JSON: a list of packs, or of timeline entries")),
         O(QStringLiteral("since"), QStringLiteral("only what happened from DATE on (local date)"),
           QStringLiteral("YYYY-MM-DD")),
         O(QStringLiteral("export"),
           QStringLiteral("write the timeline to FILE as CSV, one row per entry"),
           QStringLiteral("FILE.csv"))}};
    info.takes_arguments = true;
    return info;
}

bool HistoryCommand::parse(const QCommandLineParser &options, const QStringList &arguments)
{
    if (arguments.size() > 1) {
        warn(QStringLiteral("history takes one serial number, not also \"%1\"")
                 .arg(arguments.at(1)));
        return false;
    }
    query_.serial = arguments.value(0);
    query_.json = options.isSet(QStringLiteral("json"));
    if (options.isSet(QStringLiteral("since"))) {
        const QString since = options.value(QStringLiteral("since"));
        const QDate date = QDate::fromString(since, QStringLiteral("yyyy-MM-dd"));
        if (!date.isValid()) {
            warn(QStringLiteral("--since %1 is not a date: give YYYY-MM-DD").arg(since));
            return false;
        }
        query_.since = QDateTime(date, QTime(0, 0), Qt::LocalTime);
    }
    query_.export_path = options.value(QStringLiteral("export"));
    if (options.isSet(QStringLiteral("export")) && query_.export_path.isEmpty()) {
        warn(QStringLiteral("--export needs a file name"));
        return false;
    }
    if (!query_.export_path.isEmpty() && query_.serial.isEmpty()) {
        warn(QStringLiteral("--export writes one pack's timeline: give its serial number"));
        return false;
    }
    return true;
}

int HistoryCommand::runWithoutPort()
{
    return run_history_query(historyDatabase(), query_);
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
        warn(QStringLiteral("cannot read the service history: %1").arg(store.error()));
        return exit_code::FAILED;
    }
    auto cannot_read = [&]() {
        warn(QStringLiteral("cannot read the service history at %1: %2")
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
            say(json_text(array));
        } else if (packs->isEmpty()) {
            warn(QStringLiteral("no pack in the service history at %1 yet")
                     .arg(location->display()));
        } else {
            say(packs_text(*packs));
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
            warn(QStringLiteral("cannot write %1: %2").arg(query.export_path, csv.errorString()));
            return exit_code::FAILED;
        }
        warn(
            QStringLiteral("%1 entries written to %2").arg(entries->size()).arg(query.export_path));
        return exit_code::OK;
    }
    if (query.json) {
        QJsonArray array;
        for (const TimelineEntry &entry : *entries)
            array.append(entry_json(entry));
        say(json_text(array));
    } else {
        say(timeline_text(*summary, *entries));
    }
    return exit_code::OK;
}
