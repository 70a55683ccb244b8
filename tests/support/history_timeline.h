#ifndef TESTS_HISTORY_TIMELINE_H
#define TESTS_HISTORY_TIMELINE_H

// The service history as the recording tests read it back: bmsctl run on a
// history of the test's own, and the simulator's pack's timeline in it.

#include "bmsctl_run.h"
#include "history_location.h"
#include "history_store.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>

// A history in a SQLite file named `name` in the test's folder, as a location.
inline QString sqlite_location(const QTemporaryDir &dir, const char *name)
{
    return QStringLiteral("sqlite:") + dir.filePath(QLatin1String(name));
}

inline QProcessEnvironment with_database(const QString &database,
                                         QProcessEnvironment env = fast_environment())
{
    env.insert(QStringLiteral("BMSCTL_DATABASE"), database);
    return env;
}

inline Result bmsctl(const QString &database, const QString &port, const QStringList &args,
                     const QProcessEnvironment &env = fast_environment())
{
    return bmsctl(QStringList{QStringLiteral("--port"), port} + args, with_database(database, env));
}

// The timeline of the simulator's pack, oldest first.
inline QVector<TimelineEntry> timeline(const QString &database)
{
    QString error;
    const auto location = parse_history_url(database, &error);
    HistoryStore store(*location);
    if (store.open(HistoryStore::Mode::Read, 5000) != HistoryStore::Opened::Ok)
        return {};
    const auto pack = store.findPack(QStringLiteral("SIM10S-0000042"));
    if (!pack || *pack < 0)
        return {};
    QVector<TimelineEntry> entries =
        store.timeline(*pack, QDateTime()).value_or(QVector<TimelineEntry>());
    std::reverse(entries.begin(), entries.end());
    return entries;
}

inline QStringList commands_of(const QVector<TimelineEntry> &entries)
{
    QStringList commands;
    for (const TimelineEntry &e : entries)
        commands << e.program + QLatin1Char(' ') + e.command;
    return commands;
}

inline QJsonObject only(const TimelineEntry &entry, const char *key)
{
    const QJsonArray list = entry.details.value(QLatin1String(key)).toArray();
    return list.size() == 1 ? list.first().toObject() : QJsonObject();
}

#endif // TESTS_HISTORY_TIMELINE_H
