#include "history_schema.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace
{

bool is_postgresql(const QSqlDatabase &db)
{
    return db.driverName() == QLatin1String("QPSQL");
}

// The statements of one step. %ID% is each dialect's self-numbering key.
QStringList step_statements(int version, bool postgresql)
{
    QStringList statements;
    if (version == 1) {
        statements = QStringList{
            QStringLiteral("CREATE TABLE schema_version (version INTEGER NOT NULL)"),
            QStringLiteral("CREATE TABLE packs (id %ID%, serial_number TEXT UNIQUE,"
                           " first_seen TEXT NOT NULL, last_seen TEXT NOT NULL)"),
            QStringLiteral("CREATE TABLE pack_bms (pack_id BIGINT NOT NULL REFERENCES packs(id),"
                           " bms_serial TEXT NOT NULL, first_seen TEXT NOT NULL,"
                           " last_seen TEXT NOT NULL, PRIMARY KEY (pack_id, bms_serial))"),
            QStringLiteral("CREATE INDEX pack_bms_by_serial ON pack_bms (bms_serial, last_seen)"),
            QStringLiteral(
                "CREATE TABLE visits (id %ID%, pack_id BIGINT NOT NULL REFERENCES packs(id),"
                " time TEXT NOT NULL, bench TEXT NOT NULL, program TEXT NOT NULL,"
                " command TEXT NOT NULL, bms_serial TEXT NOT NULL, firmware INTEGER NOT NULL,"
                " voltage_mv INTEGER NOT NULL, current_ma INTEGER NOT NULL,"
                " soc_percent INTEGER NOT NULL, remaining_mah INTEGER NOT NULL,"
                " t1_c INTEGER NOT NULL, t2_c INTEGER NOT NULL, cells_mv TEXT NOT NULL,"
                " balancing INTEGER NOT NULL, flags INTEGER NOT NULL)"),
            QStringLiteral("CREATE INDEX visits_by_pack ON visits (pack_id, time)"),
            QStringLiteral("CREATE TABLE settings_writes (id %ID%,"
                           " visit_id BIGINT NOT NULL REFERENCES visits(id), setting TEXT NOT NULL,"
                           " value_before TEXT NOT NULL, value_after TEXT NOT NULL,"
                           " confirmed INTEGER NOT NULL)"),
            QStringLiteral("CREATE INDEX settings_writes_by_visit ON settings_writes (visit_id)"),
            QStringLiteral("CREATE TABLE backups (id %ID%,"
                           " visit_id BIGINT NOT NULL REFERENCES visits(id), path TEXT NOT NULL,"
                           " settings TEXT NOT NULL)"),
            QStringLiteral("CREATE INDEX backups_by_visit ON backups (visit_id)"),
            QStringLiteral(
                "CREATE TABLE flashes (id %ID%, visit_id BIGINT NOT NULL REFERENCES visits(id),"
                " file_name TEXT NOT NULL, size BIGINT NOT NULL, image_crc BIGINT NOT NULL,"
                " firmware_before INTEGER NOT NULL, firmware_after INTEGER NOT NULL,"
                " result TEXT NOT NULL, succeeded INTEGER NOT NULL,"
                " failed_line INTEGER NOT NULL)"),
            QStringLiteral("CREATE INDEX flashes_by_visit ON flashes (visit_id)"),
            QStringLiteral("CREATE TABLE reports (id %ID%,"
                           " visit_id BIGINT NOT NULL REFERENCES visits(id),"
                           " verdict TEXT NOT NULL, findings TEXT NOT NULL,"
                           " resistance_mohm TEXT NOT NULL)"),
            QStringLiteral("CREATE INDEX reports_by_visit ON reports (visit_id)"),
            QStringLiteral("INSERT INTO schema_version (version) VALUES (1)"),
        };
    } else if (version == 2) {
        // The summary of a pack's latest visit: its BMS, and its firmware unless a
        // flash during it left another.
        const QString latest =
            QStringLiteral("(SELECT v.id FROM visits v WHERE v.pack_id = packs.id"
                           " ORDER BY v.time DESC, v.id DESC LIMIT 1)");
        statements = QStringList{
            QStringLiteral("ALTER TABLE packs ADD COLUMN bms_serial TEXT NOT NULL DEFAULT ''"),
            QStringLiteral("ALTER TABLE packs ADD COLUMN visits INTEGER NOT NULL DEFAULT 0"),
            QStringLiteral("ALTER TABLE packs ADD COLUMN last_verdict TEXT NOT NULL DEFAULT ''"),
            QStringLiteral("ALTER TABLE packs ADD COLUMN last_firmware INTEGER NOT NULL"
                           " DEFAULT -1"),
            QStringLiteral("UPDATE packs SET"
                           " visits = (SELECT COUNT(*) FROM visits v WHERE v.pack_id = packs.id),"
                           " bms_serial = COALESCE((SELECT v.bms_serial FROM visits v"
                           "   WHERE v.id = %1), ''),"
                           " last_firmware = COALESCE((SELECT f.firmware_after FROM flashes f"
                           "   WHERE f.visit_id = %1 AND f.firmware_after >= 0"
                           "   ORDER BY f.id DESC LIMIT 1),"
                           "  (SELECT v.firmware FROM visits v WHERE v.id = %1), -1),"
                           " last_verdict = COALESCE((SELECT r.verdict FROM reports r"
                           "   JOIN visits v ON v.id = r.visit_id WHERE v.pack_id = packs.id"
                           "   ORDER BY v.time DESC, r.id DESC LIMIT 1), '')")
                .arg(latest),
            QStringLiteral("CREATE INDEX packs_by_last_seen ON packs (last_seen)"),
            QStringLiteral("UPDATE schema_version SET version = 2"),
        };
    }
    const QString id = postgresql ? QStringLiteral("BIGSERIAL PRIMARY KEY")
                                  : QStringLiteral("INTEGER PRIMARY KEY");
    for (QString &statement : statements)
        statement.replace(QLatin1String("%ID%"), id);
    return statements;
}

bool has_version_table(QSqlDatabase &db, QString *error)
{
    QSqlQuery query(db);
    const bool ok =
        is_postgresql(db)
            ? query.exec(QStringLiteral("SELECT 1 FROM information_schema.tables WHERE"
                                        " table_schema = current_schema() AND"
                                        " table_name = 'schema_version'"))
            : query.exec(QStringLiteral("SELECT 1 FROM sqlite_master WHERE type = 'table' AND"
                                        " name = 'schema_version'"));
    if (!ok) {
        *error = sql_error_text(query.lastError());
        return false;
    }
    return query.next();
}

bool run(QSqlDatabase &db, const QString &statement, QString *error)
{
    QSqlQuery query(db);
    if (query.exec(statement))
        return true;
    *error = sql_error_text(query.lastError());
    return false;
}

void roll_back(QSqlDatabase &db)
{
    QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
}

} // namespace

QString sql_error_text(const QSqlError &error)
{
    QString text = error.databaseText().trimmed();
    if (text.isEmpty())
        text = error.driverText().trimmed();
    if (text.isEmpty())
        text = QStringLiteral("unknown database error");
    // PostgreSQL's severity prefix says nothing a warning line does not.
    if (text.startsWith(QLatin1String("ERROR:")) || text.startsWith(QLatin1String("FATAL:")))
        text = text.mid(6).trimmed();
    return text.section(QLatin1Char('\n'), 0, 0);
}

int schema_version(QSqlDatabase &db, QString *error)
{
    error->clear();
    const bool exists = has_version_table(db, error);
    if (!error->isEmpty())
        return -1;
    if (!exists)
        return 0;
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT MAX(version) FROM schema_version"))) {
        *error = sql_error_text(query.lastError());
        return -1;
    }
    return query.next() ? query.value(0).toInt() : 0;
}

SchemaState migrate_schema(QSqlDatabase &db, int target, int *found, QString *error)
{
    const bool postgresql = is_postgresql(db);
    // SQLite: a writer's lock from the start, so that two programs creating the
    // tables at once take turns. PostgreSQL: its DDL is transactional, and the
    // advisory lock makes the second program wait and then find the work done.
    if (!run(db, postgresql ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"), error))
        return SchemaState::Failed;
    if (postgresql && !run(db, QStringLiteral("SELECT pg_advisory_xact_lock(4346577)"), error)) {
        roll_back(db);
        return SchemaState::Failed;
    }
    const int version = schema_version(db, error);
    *found = version;
    if (version < 0) {
        roll_back(db);
        return SchemaState::Failed;
    }
    if (version > target) {
        roll_back(db);
        return SchemaState::Newer;
    }
    for (int step = version + 1; step <= target; ++step) {
        for (const QString &statement : step_statements(step, postgresql)) {
            if (!run(db, statement, error)) {
                roll_back(db);
                return SchemaState::Failed;
            }
        }
    }
    if (!run(db, QStringLiteral("COMMIT"), error)) {
        roll_back(db);
        return SchemaState::Failed;
    }
    if (version == target)
        return SchemaState::Current;
    return version == 0 ? SchemaState::Created : SchemaState::Upgraded;
}
