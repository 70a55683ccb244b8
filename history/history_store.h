#ifndef HISTORY_HISTORY_STORE_H
#define HISTORY_HISTORY_STORE_H

// One connection to the service history. Every record is one transaction; the
// waits (SQLite's busy file, PostgreSQL's connect and statements) are bounded by
// the timeout given, so a history that cannot be written costs a bounded delay.

#include "history_location.h"
#include "history_records.h"

#include <QString>
#include <QVector>

#include <optional>

class QSqlDatabase;

class HistoryStore
{
public:
    explicit HistoryStore(const HistoryLocation &location);
    ~HistoryStore();
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    enum class Mode {
        Write, // creates the file or the tables when missing
        Read,  // an SQLite file that does not exist is an empty history, left uncreated
    };
    enum class Opened { Ok, Empty, NewerSchema, Failed };
    // Connects within timeout_ms and brings the schema up to date. The reason of
    // anything but Ok is in error().
    Opened open(Mode mode, int timeout_ms);
    QString error() const { return error_; }
    const HistoryLocation &location() const { return location_; }

    // How long the next statements may wait for a lock (or, on PostgreSQL, run).
    bool setTimeout(int timeout_ms);

    // The visit's id, or -1.
    qint64 recordVisit(const VisitRecord &visit, const QString &bench);
    bool recordSettingsWrite(qint64 visit, const SettingsWriteRecord &write);
    bool recordBackup(qint64 visit, const BackupRecord &backup);
    bool recordFlash(qint64 visit, const FlashRecord &flash);
    bool recordReport(qint64 visit, const ReportRecord &report);

    // Reading. A pack is found by its serial number, else by the BMS serial it was
    // last seen with. `since` (invalid: everything) limits to what came after it.
    // Each returns nothing, with error(), when the database cannot be read.
    std::optional<QVector<PackSummary>> packs(const QDateTime &since);
    // -1 for no such pack.
    std::optional<qint64> findPack(const QString &serial);
    std::optional<qint64> findPack(const PackIdentity &identity);
    std::optional<PackSummary> pack(qint64 pack);
    std::optional<QVector<TimelineEntry>> timeline(qint64 pack, const QDateTime &since);
    // The pack's latest report (nullopt in *report when there is none).
    bool previousReport(qint64 pack, std::optional<PreviousReport> *report);
    bool lastSettings(qint64 pack, std::optional<RecordedSettings> *settings);

private:
    QSqlDatabase database() const;
    bool begin();
    bool commit();
    void fail(const class QSqlError &error);
    void fail(const QString &error);

    HistoryLocation location_;
    QString connection_;
    QString error_;
    bool postgresql_ = false;
    bool open_ = false;
};

// Times in the history: UTC, ISO 8601 with milliseconds, so that text order is
// time order.
QString history_time_text(const QDateTime &time);
QDateTime history_time(const QString &text);

#endif // HISTORY_HISTORY_STORE_H
