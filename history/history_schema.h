#ifndef HISTORY_HISTORY_SCHEMA_H
#define HISTORY_HISTORY_SCHEMA_H

// The history's tables, one version after another. A database is brought up to
// HISTORY_SCHEMA_VERSION in place; one written by a later program is left alone.
//
//   1  packs (by serial number), the BMS each was seen with, visits with their pack
//      snapshot, settings writes, backups, flashes and reports
//   2  each pack's summary kept on its row (current BMS, visits, last verdict, last
//      firmware), so that the pack list reads one table however many visits there
//      are; filled from version 1's rows on upgrade

#include <QString>

class QSqlDatabase;

constexpr int HISTORY_SCHEMA_VERSION = 2;

enum class SchemaState { Current, Upgraded, Created, Newer, Failed };

// The version the database holds: 0 when it has no history tables yet, -1 (with
// *error) when that cannot be read.
int schema_version(QSqlDatabase &db, QString *error);

// Brings the database to `target` (at most HISTORY_SCHEMA_VERSION) in one
// transaction, serialised against other programs doing the same. *found is the
// version met. Newer when the database is past `target`.
SchemaState migrate_schema(QSqlDatabase &db, int target, int *found, QString *error);

// The first line of a driver's error: the database's own words when it has some.
QString sql_error_text(const class QSqlError &error);

#endif // HISTORY_HISTORY_SCHEMA_H
