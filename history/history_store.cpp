#include "history_store.h"

#include "history_schema.h"

#include <QAtomicInt>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QTimeZone>
#include <QVariant>

#include <sqlite3.h>

#include <cmath>

namespace
{

QAtomicInt connection_counter;

// Left to itself, SQLite checkpoints the write-ahead log whenever the last
// connection closes, which syncs the file twice and restarts the log with a third
// sync: about 10 ms on every bmsctl command, ten times the recording itself. The
// log is checkpointed all the same once it grows past its limit, by whichever
// command then commits. Only when Qt's driver runs on the same SQLite library as
// this program (Debian's: the system's); otherwise the handle is left alone.
void keep_log_on_close(const QSqlDatabase &db)
{
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return;
    QSqlQuery version(db);
    if (!version.exec(QStringLiteral("SELECT sqlite_version()")) || !version.next() ||
        version.value(0).toString() != QLatin1String(sqlite3_libversion()))
        return;
    sqlite3 *connection = *static_cast<sqlite3 *const *>(handle.constData());
    if (connection)
        sqlite3_db_config(connection, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
}

// Flags of a visit's snapshot, one bit each.
enum : int {
    FLAG_CHARGING = 1,
    FLAG_RECUPERATION_ENABLED = 2,
    FLAG_OVERHEAT = 4,
    FLAG_CHARGING_ENABLED = 8,
    FLAG_DISCHARGING_ENABLED = 16,
};

int state_flags(const PackState &state)
{
    return (state.charging ? FLAG_CHARGING : 0) |
           (state.recuperation_enabled ? FLAG_RECUPERATION_ENABLED : 0) |
           (state.overheat ? FLAG_OVERHEAT : 0) |
           (state.charging_enabled ? FLAG_CHARGING_ENABLED : 0) |
           (state.discharging_enabled ? FLAG_DISCHARGING_ENABLED : 0);
}

QString cells_text(const PackState &state)
{
    QStringList cells;
    for (int mv : state.cells_mv)
        cells << QString::number(mv);
    return cells.join(QLatin1Char(','));
}

// A JSON value as the text of one column, and back.
QString json_text(const QJsonValue &value)
{
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

QJsonValue json_value(const QString &text)
{
    const QJsonDocument doc = QJsonDocument::fromJson('[' + text.toUtf8() + ']');
    return doc.array().isEmpty() ? QJsonValue() : doc.array().first();
}

QString resistance_text(const CellResistances &cells)
{
    QJsonArray array;
    for (const auto &cell : cells)
        array.append(cell && std::isfinite(*cell) ? QJsonValue(*cell) : QJsonValue());
    return json_text(array);
}

CellResistances resistances(const QString &text)
{
    CellResistances cells;
    const QJsonArray array = json_value(text).toArray();
    for (int i = 0; i < CELL_COUNT && i < array.size(); ++i) {
        if (array.at(i).isDouble())
            cells[static_cast<size_t>(i)] = array.at(i).toDouble();
    }
    return cells;
}

// A setting's value as the timeline says it: strings without their quotes.
QString value_words(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (value.isNull() || value.isUndefined())
        return QStringLiteral("(none)");
    return json_text(value);
}

// The one line of what a visit did, from its details.
QString done_text(const QJsonObject &details)
{
    QStringList parts;
    for (const QJsonValue &value : details.value(QLatin1String("settings_writes")).toArray()) {
        const QJsonObject write = value.toObject();
        QString part = QStringLiteral("set %1 %2 -> %3")
                           .arg(write.value(QLatin1String("setting")).toString(),
                                value_words(write.value(QLatin1String("before"))),
                                value_words(write.value(QLatin1String("after"))));
        if (!write.value(QLatin1String("confirmed")).toBool())
            part += QLatin1String(" (not confirmed)");
        parts << part;
    }
    for (const QJsonValue &value : details.value(QLatin1String("backups")).toArray()) {
        const QJsonObject backup = value.toObject();
        parts << QStringLiteral("backup to %1 (%2 settings)")
                     .arg(backup.value(QLatin1String("path")).toString())
                     .arg(backup.value(QLatin1String("settings")).toObject().size());
    }
    for (const QJsonValue &value : details.value(QLatin1String("flashes")).toArray()) {
        const QJsonObject flash = value.toObject();
        const QString file = flash.value(QLatin1String("file_name")).toString();
        if (flash.value(QLatin1String("succeeded")).toBool()) {
            parts << QStringLiteral("flashed %1 (%2 bytes, CRC %3): firmware %4 -> %5")
                         .arg(file)
                         .arg(flash.value(QLatin1String("size")).toDouble())
                         .arg(flash.value(QLatin1String("image_crc")).toString())
                         .arg(flash.value(QLatin1String("firmware_before")).toInt())
                         .arg(flash.value(QLatin1String("firmware_after")).toInt());
        } else {
            parts << QStringLiteral("flash of %1 failed at line %2: %3")
                         .arg(file)
                         .arg(flash.value(QLatin1String("failed_line")).toInt())
                         .arg(flash.value(QLatin1String("result")).toString());
        }
    }
    for (const QJsonValue &value : details.value(QLatin1String("reports")).toArray()) {
        const QJsonObject report = value.toObject();
        QStringList titles;
        for (const QJsonValue &finding : report.value(QLatin1String("findings")).toArray())
            titles << finding.toObject().value(QLatin1String("title")).toString();
        QString part =
            QStringLiteral("report: %1").arg(report.value(QLatin1String("verdict")).toString());
        if (!titles.isEmpty())
            part += QLatin1String(" (") + titles.join(QLatin1String("; ")) + QLatin1Char(')');
        parts << part;
    }
    return parts.isEmpty() ? QStringLiteral("read") : parts.join(QLatin1String("; "));
}

void append_detail(QHash<qint64, QJsonObject> &details, qint64 visit, const char *key,
                   const QJsonObject &item)
{
    QJsonObject &entry = details[visit];
    QJsonArray list = entry.value(QLatin1String(key)).toArray();
    list.append(item);
    entry.insert(QLatin1String(key), list);
}

// WAL: readers never wait for a writer, and two writers take turns on the busy
// timeout instead of failing. The mode stays with the file once set; setting it
// needs the file to itself, and SQLite does not wait for that on its busy timeout,
// so two programs making a new history at once take turns here.
bool use_write_ahead_log(const QSqlDatabase &db, int timeout_ms, QString *error)
{
    QElapsedTimer clock;
    clock.start();
    QSqlQuery pragma(db);
    if (pragma.exec(QStringLiteral("PRAGMA journal_mode")) && pragma.next() &&
        pragma.value(0).toString() == QLatin1String("wal"))
        return true;
    for (;;) {
        if (pragma.exec(QStringLiteral("PRAGMA journal_mode = WAL")) && pragma.next() &&
            pragma.value(0).toString() == QLatin1String("wal"))
            return true;
        *error = pragma.lastError().isValid() ? sql_error_text(pragma.lastError())
                                              : QStringLiteral("cannot use a write-ahead log");
        if (clock.elapsed() + 10 > timeout_ms)
            return false;
        QThread::msleep(10);
    }
}

} // namespace

QString history_time_text(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

QDateTime history_time(const QString &text)
{
    // Stored times are UTC whether or not the text says so.
    const QDateTime read = QDateTime::fromString(text, Qt::ISODateWithMs);
    return QDateTime(read.date(), read.time(), QTimeZone::utc());
}

HistoryStore::HistoryStore(const HistoryLocation &location)
    : location_(location),
      connection_(QStringLiteral("bms_history_%1").arg(connection_counter.fetchAndAddRelaxed(1))),
      postgresql_(location.kind == HistoryLocation::Kind::Postgresql)
{
}

HistoryStore::~HistoryStore()
{
    if (QSqlDatabase::contains(connection_)) {
        {
            QSqlDatabase db = QSqlDatabase::database(connection_, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(connection_);
    }
}

QSqlDatabase HistoryStore::database() const
{
    return QSqlDatabase::database(connection_, false);
}

void HistoryStore::fail(const QSqlError &error)
{
    fail(sql_error_text(error));
}

void HistoryStore::fail(const QString &error)
{
    error_ = without_password(location_, error);
}

HistoryStore::Opened HistoryStore::open(Mode mode, int timeout_ms)
{
    error_.clear();
    const QString driver = postgresql_ ? QStringLiteral("QPSQL") : QStringLiteral("QSQLITE");
    // Asked first: adding a database whose driver is missing prints Qt's own warning.
    if (!QSqlDatabase::isDriverAvailable(driver)) {
        fail(QStringLiteral("the Qt SQL driver %1 is not installed (Debian: libqt%2sql%2-%3)")
                 .arg(driver)
                 .arg(QT_VERSION_MAJOR)
                 .arg(postgresql_ ? QLatin1String("psql") : QLatin1String("sqlite")));
        return Opened::Failed;
    }
    timeout_ms = qMax(timeout_ms, 1);
    {
        QSqlDatabase db = add_history_database(location_, connection_);
        if (postgresql_) {
            // The client library's smallest connect timeout is 2 s. A server that
            // vanishes midway leaves data unacknowledged, which ends the connection
            // after the same time.
            db.setConnectOptions(QStringLiteral("connect_timeout=%1;tcp_user_timeout=%2")
                                     .arg(qMax(2, (timeout_ms + 999) / 1000))
                                     .arg(timeout_ms));
        } else {
            const QFileInfo file(location_.path);
            if (mode == Mode::Read && !file.exists())
                return Opened::Empty;
            if (mode == Mode::Write && !QDir().mkpath(file.absolutePath())) {
                fail(QStringLiteral("cannot create the folder %1").arg(file.absolutePath()));
                return Opened::Failed;
            }
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(timeout_ms));
        }
        if (!db.open()) {
            fail(db.lastError());
            return Opened::Failed;
        }
    }
    open_ = true;
    QSqlDatabase db = database();
    QString why;
    if (postgresql_) {
        if (!setTimeout(timeout_ms))
            return Opened::Failed;
        // Notices (a table that already exists, ...) are not for the bench's user.
        QSqlQuery(db).exec(QStringLiteral("SET client_min_messages = warning"));
    } else {
        QSqlQuery pragma(db);
        if (mode == Mode::Write) {
            if (!use_write_ahead_log(db, timeout_ms, &why)) {
                fail(why);
                return Opened::Failed;
            }
            // Committed transactions survive a crash of the program; a power cut
            // may lose the last ones, never the file.
            pragma.exec(QStringLiteral("PRAGMA synchronous = NORMAL"));
            keep_log_on_close(db);
        }
        pragma.exec(QStringLiteral("PRAGMA foreign_keys = ON"));
    }
    const int version = schema_version(db, &why);
    if (version < 0) {
        fail(why);
        return Opened::Failed;
    }
    if (version == HISTORY_SCHEMA_VERSION)
        return Opened::Ok;
    if (version == 0 && mode == Mode::Read)
        return Opened::Empty;
    int found = version;
    const SchemaState state = version > HISTORY_SCHEMA_VERSION
                                  ? SchemaState::Newer
                                  : migrate_schema(db, HISTORY_SCHEMA_VERSION, &found, &why);
    if (state == SchemaState::Newer) {
        fail(QStringLiteral("the history at %1 has schema version %2, newer than the %3 this "
                            "program knows; use a newer bmsctl and bms_tool with it")
                 .arg(location_.display())
                 .arg(found)
                 .arg(HISTORY_SCHEMA_VERSION));
        return Opened::NewerSchema;
    }
    if (state == SchemaState::Failed) {
        fail(why);
        return Opened::Failed;
    }
    return Opened::Ok;
}

bool HistoryStore::setTimeout(int timeout_ms)
{
    if (!open_)
        return false;
    QSqlQuery query(database());
    const int ms = qMax(timeout_ms, 1);
    const bool ok = postgresql_ ? query.exec(QStringLiteral("SET statement_timeout = %1").arg(ms))
                                : query.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(ms));
    if (!ok)
        fail(query.lastError());
    return ok;
}

bool HistoryStore::begin()
{
    if (!open_) {
        fail(QStringLiteral("the history is not open"));
        return false;
    }
    QSqlQuery query(database());
    // SQLite: the writer's lock at once, waited for on the busy timeout; taken
    // later, a reader turned writer would fail at once instead of waiting.
    if (query.exec(postgresql_ ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE")))
        return true;
    fail(query.lastError());
    return false;
}

bool HistoryStore::commit()
{
    QSqlQuery query(database());
    if (query.exec(QStringLiteral("COMMIT")))
        return true;
    fail(query.lastError());
    QSqlQuery(database()).exec(QStringLiteral("ROLLBACK"));
    return false;
}

namespace
{

// Runs a prepared statement with its values; on failure the transaction is
// rolled back and the error kept.
struct Statement {
    QSqlQuery query;
    explicit Statement(const QSqlDatabase &db) : query(db) {}
    bool run(const QString &sql, const QVariantList &values)
    {
        if (!query.prepare(sql))
            return false;
        for (const QVariant &value : values)
            query.addBindValue(value);
        return query.exec();
    }
};

} // namespace

qint64 HistoryStore::recordVisit(const VisitRecord &visit, const QString &bench)
{
    if (!begin())
        return -1;
    QSqlDatabase db = database();
    const QString time =
        history_time_text(visit.time.isValid() ? visit.time : QDateTime::currentDateTimeUtc());
    const QString &serial = visit.identity.serial_number;
    const QString &bms = visit.identity.bms_serial;
    Statement s(db);
    auto failed = [&]() {
        fail(s.query.lastError());
        s.query.finish();
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        return qint64(-1);
    };
    qint64 pack = -1;
    if (!serial.isEmpty()) {
        if (!s.run(QStringLiteral("INSERT INTO packs (serial_number, first_seen, last_seen)"
                                  " VALUES (?, ?, ?) ON CONFLICT (serial_number) DO NOTHING"),
                   {serial, time, time}))
            return failed();
        if (!s.run(QStringLiteral("SELECT id FROM packs WHERE serial_number = ?"), {serial}) ||
            !s.query.next())
            return failed();
        pack = s.query.value(0).toLongLong();
    } else {
        // A pack without a serial number is known by its BMS alone. On a shared
        // server two benches seeing it at once must not make two packs of it.
        if (postgresql_ &&
            !s.run(QStringLiteral("SELECT pg_advisory_xact_lock(hashtext(?))"), {bms}))
            return failed();
        if (!s.run(QStringLiteral("SELECT pack_id FROM pack_bms WHERE bms_serial = ?"
                                  " ORDER BY last_seen DESC LIMIT 1"),
                   {bms}))
            return failed();
        if (s.query.next()) {
            pack = s.query.value(0).toLongLong();
        } else {
            if (!s.run(QStringLiteral("INSERT INTO packs (serial_number, first_seen, last_seen)"
                                      " VALUES (NULL, ?, ?) RETURNING id"),
                       {time, time}) ||
                !s.query.next())
                return failed();
            pack = s.query.value(0).toLongLong();
        }
    }
    // The summary follows the latest visit, whichever order two benches record in.
    if (!s.run(QStringLiteral(
                   "UPDATE packs SET visits = visits + 1,"
                   " first_seen = CASE WHEN first_seen > ? THEN ? ELSE first_seen END,"
                   " bms_serial = CASE WHEN last_seen <= ? THEN ? ELSE bms_serial END,"
                   " last_firmware = CASE WHEN last_seen <= ? THEN ? ELSE last_firmware END,"
                   " last_seen = CASE WHEN last_seen < ? THEN ? ELSE last_seen END"
                   " WHERE id = ?"),
               {time, time, time, bms, time, visit.identity.firmware, time, time, pack}))
        return failed();
    if (!s.run(QStringLiteral("INSERT INTO pack_bms (pack_id, bms_serial, first_seen, last_seen)"
                              " VALUES (?, ?, ?, ?) ON CONFLICT (pack_id, bms_serial) DO UPDATE SET"
                              " last_seen = CASE WHEN pack_bms.last_seen < excluded.last_seen"
                              " THEN excluded.last_seen ELSE pack_bms.last_seen END"),
               {pack, bms, time, time}))
        return failed();
    const PackState &st = visit.state;
    if (!s.run(QStringLiteral(
                   "INSERT INTO visits (pack_id, time, bench, program, command, bms_serial,"
                   " firmware, voltage_mv, current_ma, soc_percent, remaining_mah, t1_c, t2_c,"
                   " cells_mv, balancing, flags) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?,"
                   " ?, ?, ?) RETURNING id"),
               {pack, time, bench, visit.program, visit.command, bms, visit.identity.firmware,
                st.voltage_mv, st.current_ma, st.soc_percent, st.remaining_mah,
                st.temperatures_c[0], st.temperatures_c[1], cells_text(st), int(st.balancing),
                state_flags(st)}) ||
        !s.query.next())
        return failed();
    const qint64 id = s.query.value(0).toLongLong();
    s.query.finish();
    return commit() ? id : -1;
}

bool HistoryStore::recordSettingsWrite(qint64 visit, const SettingsWriteRecord &write)
{
    if (!begin())
        return false;
    Statement s(database());
    if (!s.run(QStringLiteral("INSERT INTO settings_writes (visit_id, setting, value_before,"
                              " value_after, confirmed) VALUES (?, ?, ?, ?, ?)"),
               {visit, write.setting, json_text(write.before), json_text(write.after),
                write.confirmed ? 1 : 0})) {
        fail(s.query.lastError());
        QSqlQuery(database()).exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    return commit();
}

bool HistoryStore::recordBackup(qint64 visit, const BackupRecord &backup)
{
    if (!begin())
        return false;
    Statement s(database());
    if (!s.run(QStringLiteral("INSERT INTO backups (visit_id, path, settings) VALUES (?, ?, ?)"),
               {visit, backup.path, json_text(backup.settings)})) {
        fail(s.query.lastError());
        QSqlQuery(database()).exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    return commit();
}

bool HistoryStore::recordFlash(qint64 visit, const FlashRecord &flash)
{
    if (!begin())
        return false;
    Statement s(database());
    bool ok =
        s.run(QStringLiteral("INSERT INTO flashes (visit_id, file_name, size, image_crc,"
                             " firmware_before, firmware_after, result, succeeded,"
                             " failed_line) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
              {visit, flash.file_name, flash.size, qint64(flash.image_crc), flash.firmware_before,
               flash.firmware_after, flash.result, flash.succeeded ? 1 : 0, flash.failed_line});
    // The firmware it now runs, if this is the pack's latest visit.
    if (ok && flash.firmware_after >= 0)
        ok = s.run(QStringLiteral("UPDATE packs SET last_firmware = ? WHERE id ="
                                  " (SELECT pack_id FROM visits WHERE id = ?) AND last_seen ="
                                  " (SELECT time FROM visits WHERE id = ?)"),
                   {flash.firmware_after, visit, visit});
    if (!ok) {
        fail(s.query.lastError());
        QSqlQuery(database()).exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    return commit();
}

bool HistoryStore::recordReport(qint64 visit, const ReportRecord &report)
{
    if (!begin())
        return false;
    Statement s(database());
    bool ok = s.run(QStringLiteral("INSERT INTO reports (visit_id, verdict, findings,"
                                   " resistance_mohm) VALUES (?, ?, ?, ?)"),
                    {visit, report.verdict, json_text(report.findings),
                     resistance_text(report.resistance_mohm)});
    if (ok)
        ok = s.run(QStringLiteral("UPDATE packs SET last_verdict = ? WHERE id ="
                                  " (SELECT pack_id FROM visits WHERE id = ?) AND last_seen ="
                                  " (SELECT time FROM visits WHERE id = ?)"),
                   {report.verdict, visit, visit});
    if (!ok) {
        fail(s.query.lastError());
        QSqlQuery(database()).exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    return commit();
}

namespace
{

PackSummary summary_from(const QSqlQuery &q)
{
    PackSummary pack;
    pack.serial_number = q.value(0).toString();
    pack.bms_serial = q.value(1).toString();
    pack.first_seen = history_time(q.value(2).toString());
    pack.last_seen = history_time(q.value(3).toString());
    pack.visits = q.value(4).toInt();
    pack.last_verdict = q.value(5).toString();
    pack.last_firmware = q.value(6).toInt();
    return pack;
}

// The lower bound of a time column: "0" sorts before every time, and unlike an
// empty string it is never bound as NULL.
QString since_text(const QDateTime &since)
{
    return since.isValid() ? history_time_text(since) : QStringLiteral("0");
}

const char PACK_COLUMNS[] =
    "serial_number, bms_serial, first_seen, last_seen, visits, last_verdict, last_firmware";

} // namespace

std::optional<QVector<PackSummary>> HistoryStore::packs(const QDateTime &since)
{
    if (!open_)
        return QVector<PackSummary>();
    Statement s(database());
    if (!s.run(QStringLiteral("SELECT %1 FROM packs WHERE last_seen >= ?"
                              " ORDER BY last_seen DESC, id DESC")
                   .arg(QLatin1String(PACK_COLUMNS)),
               {since_text(since)})) {
        fail(s.query.lastError());
        return std::nullopt;
    }
    QVector<PackSummary> list;
    while (s.query.next())
        list << summary_from(s.query);
    return list;
}

std::optional<qint64> HistoryStore::findPack(const QString &serial)
{
    if (!open_)
        return qint64(-1);
    Statement s(database());
    if (!s.run(QStringLiteral("SELECT id FROM packs WHERE serial_number = ?"), {serial})) {
        fail(s.query.lastError());
        return std::nullopt;
    }
    if (s.query.next())
        return s.query.value(0).toLongLong();
    if (!s.run(QStringLiteral("SELECT pack_id FROM pack_bms WHERE bms_serial = ?"
                              " ORDER BY last_seen DESC LIMIT 1"),
               {serial.toUpper()})) {
        fail(s.query.lastError());
        return std::nullopt;
    }
    return s.query.next() ? s.query.value(0).toLongLong() : qint64(-1);
}

std::optional<qint64> HistoryStore::findPack(const PackIdentity &identity)
{
    if (!identity.serial_number.isEmpty()) {
        const auto pack = findPack(identity.serial_number);
        if (!pack || *pack >= 0)
            return pack;
    }
    return identity.bms_serial.isEmpty() ? qint64(-1) : findPack(identity.bms_serial);
}

std::optional<PackSummary> HistoryStore::pack(qint64 pack)
{
    Statement s(database());
    if (!s.run(QStringLiteral("SELECT %1 FROM packs WHERE id = ?").arg(QLatin1String(PACK_COLUMNS)),
               {pack}) ||
        !s.query.next()) {
        fail(s.query.lastError());
        return std::nullopt;
    }
    return summary_from(s.query);
}

std::optional<QVector<TimelineEntry>> HistoryStore::timeline(qint64 pack, const QDateTime &since)
{
    const QString from = since_text(since);
    const QString visits = QStringLiteral("SELECT id FROM visits WHERE pack_id = ? AND time >= ?");
    Statement s(database());
    auto failed = [&]() {
        fail(s.query.lastError());
        return std::nullopt;
    };
    s.query.setForwardOnly(true);
    // What was done, by visit: each kind in one indexed query over the pack's visits.
    QHash<qint64, QJsonObject> details;
    if (!s.run(QStringLiteral("SELECT visit_id, setting, value_before, value_after, confirmed"
                              " FROM settings_writes WHERE visit_id IN (%1) ORDER BY id")
                   .arg(visits),
               {pack, from}))
        return failed();
    while (s.query.next()) {
        append_detail(details, s.query.value(0).toLongLong(), "settings_writes",
                      {{QStringLiteral("setting"), s.query.value(1).toString()},
                       {QStringLiteral("before"), json_value(s.query.value(2).toString())},
                       {QStringLiteral("after"), json_value(s.query.value(3).toString())},
                       {QStringLiteral("confirmed"), s.query.value(4).toInt() != 0}});
    }
    if (!s.run(QStringLiteral("SELECT visit_id, path, settings FROM backups"
                              " WHERE visit_id IN (%1) ORDER BY id")
                   .arg(visits),
               {pack, from}))
        return failed();
    while (s.query.next()) {
        append_detail(details, s.query.value(0).toLongLong(), "backups",
                      {{QStringLiteral("path"), s.query.value(1).toString()},
                       {QStringLiteral("settings"), json_value(s.query.value(2).toString())}});
    }
    if (!s.run(QStringLiteral("SELECT visit_id, file_name, size, image_crc, firmware_before,"
                              " firmware_after, result, succeeded, failed_line FROM flashes"
                              " WHERE visit_id IN (%1) ORDER BY id")
                   .arg(visits),
               {pack, from}))
        return failed();
    while (s.query.next()) {
        append_detail(details, s.query.value(0).toLongLong(), "flashes",
                      {{QStringLiteral("file_name"), s.query.value(1).toString()},
                       {QStringLiteral("size"), s.query.value(2).toLongLong()},
                       {QStringLiteral("image_crc"),
                        QStringLiteral("0x%1")
                            .arg(s.query.value(3).toLongLong(), 8, 16, QLatin1Char('0'))
                            .toUpper()
                            .replace(QLatin1String("0X"), QLatin1String("0x"))},
                       {QStringLiteral("firmware_before"), s.query.value(4).toInt()},
                       {QStringLiteral("firmware_after"), s.query.value(5).toInt()},
                       {QStringLiteral("result"), s.query.value(6).toString()},
                       {QStringLiteral("succeeded"), s.query.value(7).toInt() != 0},
                       {QStringLiteral("failed_line"), s.query.value(8).toInt()}});
    }
    if (!s.run(QStringLiteral("SELECT visit_id, verdict, findings, resistance_mohm FROM reports"
                              " WHERE visit_id IN (%1) ORDER BY id")
                   .arg(visits),
               {pack, from}))
        return failed();
    while (s.query.next()) {
        append_detail(
            details, s.query.value(0).toLongLong(), "reports",
            {{QStringLiteral("verdict"), s.query.value(1).toString()},
             {QStringLiteral("findings"), json_value(s.query.value(2).toString())},
             {QStringLiteral("resistance_mohm"), json_value(s.query.value(3).toString())}});
    }
    if (!s.run(QStringLiteral("SELECT id, time, program, command, bench, bms_serial, firmware,"
                              " voltage_mv, current_ma, soc_percent, remaining_mah, t1_c, t2_c,"
                              " cells_mv, balancing, flags FROM visits"
                              " WHERE pack_id = ? AND time >= ? ORDER BY time DESC, id DESC"),
               {pack, from}))
        return failed();
    QVector<TimelineEntry> entries;
    while (s.query.next()) {
        const QSqlQuery &q = s.query;
        TimelineEntry entry;
        entry.time = history_time(q.value(1).toString());
        entry.program = q.value(2).toString();
        entry.command = q.value(3).toString();
        entry.bench = q.value(4).toString();
        entry.bms_serial = q.value(5).toString();
        entry.firmware = q.value(6).toInt();
        PackState &st = entry.state;
        st.voltage_mv = q.value(7).toInt();
        st.current_ma = q.value(8).toInt();
        st.soc_percent = q.value(9).toInt();
        st.remaining_mah = q.value(10).toInt();
        st.temperatures_c = {q.value(11).toInt(), q.value(12).toInt()};
        const QStringList cells = q.value(13).toString().split(QLatin1Char(','));
        for (int i = 0; i < CELL_COUNT && i < cells.size(); ++i)
            st.cells_mv[static_cast<size_t>(i)] = cells.at(i).toInt();
        st.balancing = static_cast<quint16>(q.value(14).toInt());
        const int flags = q.value(15).toInt();
        st.charging = flags & FLAG_CHARGING;
        st.recuperation_enabled = flags & FLAG_RECUPERATION_ENABLED;
        st.overheat = flags & FLAG_OVERHEAT;
        st.charging_enabled = flags & FLAG_CHARGING_ENABLED;
        st.discharging_enabled = flags & FLAG_DISCHARGING_ENABLED;
        entry.details = details.value(q.value(0).toLongLong());
        entry.done = done_text(entry.details);
        entries << entry;
    }
    return entries;
}

bool HistoryStore::previousReport(qint64 pack, std::optional<PreviousReport> *report)
{
    report->reset();
    Statement s(database());
    if (!s.run(QStringLiteral("SELECT v.time, r.verdict, r.resistance_mohm FROM reports r"
                              " JOIN visits v ON v.id = r.visit_id WHERE v.pack_id = ?"
                              " ORDER BY v.time DESC, r.id DESC LIMIT 1"),
               {pack})) {
        fail(s.query.lastError());
        return false;
    }
    if (s.query.next()) {
        PreviousReport previous;
        previous.generated_at = history_time(s.query.value(0).toString());
        previous.verdict = s.query.value(1).toString();
        previous.resistance_mohm = resistances(s.query.value(2).toString());
        *report = previous;
    }
    return true;
}

bool HistoryStore::lastSettings(qint64 pack, std::optional<RecordedSettings> *settings)
{
    settings->reset();
    Statement s(database());
    if (!s.run(QStringLiteral("SELECT v.time, b.settings FROM backups b"
                              " JOIN visits v ON v.id = b.visit_id WHERE v.pack_id = ?"
                              " ORDER BY v.time DESC, b.id DESC LIMIT 1"),
               {pack})) {
        fail(s.query.lastError());
        return false;
    }
    RecordedSettings recorded;
    QString from = since_text(QDateTime());
    bool any = false;
    if (s.query.next()) {
        any = true;
        from = s.query.value(0).toString();
        recorded.recorded_at = history_time(from);
        recorded.settings = json_value(s.query.value(1).toString()).toObject();
    }
    // The confirmed writes since, in the order they were made.
    if (!s.run(QStringLiteral("SELECT v.time, w.setting, w.value_after FROM settings_writes w"
                              " JOIN visits v ON v.id = w.visit_id WHERE v.pack_id = ? AND"
                              " w.confirmed = 1 AND v.time >= ? ORDER BY v.time, w.id"),
               {pack, from})) {
        fail(s.query.lastError());
        return false;
    }
    while (s.query.next()) {
        any = true;
        recorded.recorded_at = history_time(s.query.value(0).toString());
        recorded.settings.insert(s.query.value(1).toString(),
                                 json_value(s.query.value(2).toString()));
    }
    if (any)
        *settings = recorded;
    return true;
}
