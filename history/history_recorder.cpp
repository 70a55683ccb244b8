#include "history_recorder.h"

#include "history_store.h"

#include <QSysInfo>

HistoryRecorder::HistoryRecorder(const QString &database, const QString &program, bool enabled,
                                 int budget_ms)
    : database_(database), program_(program), bench_(QSysInfo::machineHostName()),
      enabled_(enabled), budget_ms_(budget_ms)
{
}

HistoryRecorder::~HistoryRecorder() = default;

QString HistoryRecorder::failure(const QString &why)
{
    failed_ = true;
    store_.reset();
    return QStringLiteral("service history not recorded: %1").arg(why);
}

bool HistoryRecorder::ensureOpen(QString *why)
{
    if (store_)
        return true;
    QString error;
    const auto location = parse_history_url(history_url(database_), &error);
    if (!location) {
        *why = error;
        return false;
    }
    auto store = std::make_unique<HistoryStore>(*location);
    const int left = int(qMax<qint64>(budget_ms_ - spent_ms_, 1));
    if (store->open(HistoryStore::Mode::Write, left) != HistoryStore::Opened::Ok) {
        *why = QStringLiteral("%1 (%2)").arg(store->error(), location->display());
        return false;
    }
    store_ = std::move(store);
    return true;
}

// Runs one piece of work within what is left of the budget. `work` returns false
// with the reason in the store's error().
template <typename Work> QString HistoryRecorder::attempt(Work work)
{
    if (!enabled_ || failed_)
        return QString();
    QElapsedTimer clock;
    clock.start();
    QString why;
    bool ok = ensureOpen(&why);
    if (ok) {
        const qint64 left = budget_ms_ - spent_ms_ - clock.elapsed();
        if (left <= 0) {
            why = QStringLiteral("the database took longer than %1 ms (%2)")
                      .arg(budget_ms_)
                      .arg(store_->location().display());
            ok = false;
        } else if (!store_->setTimeout(int(left)) || !work(*store_)) {
            why = QStringLiteral("%1 (%2)").arg(store_->error(), store_->location().display());
            ok = false;
        }
    }
    spent_ms_ += clock.elapsed();
    return ok ? QString() : failure(why);
}

QString HistoryRecorder::visit(const QString &command, const PackIdentity &identity,
                               const PackState &state)
{
    visit_ = -1;
    return attempt([&](HistoryStore &store) {
        VisitRecord record;
        record.time = QDateTime::currentDateTimeUtc();
        record.program = program_;
        record.command = command;
        record.identity = identity;
        record.state = state;
        visit_ = store.recordVisit(record, bench_);
        return visit_ >= 0;
    });
}

QString HistoryRecorder::settingsWrite(const SettingsWriteRecord &write)
{
    if (visit_ < 0)
        return QString();
    return attempt([&](HistoryStore &store) { return store.recordSettingsWrite(visit_, write); });
}

QString HistoryRecorder::backup(const BackupRecord &backup)
{
    if (visit_ < 0)
        return QString();
    return attempt([&](HistoryStore &store) { return store.recordBackup(visit_, backup); });
}

QString HistoryRecorder::flash(const FlashRecord &flash)
{
    if (visit_ < 0)
        return QString();
    return attempt([&](HistoryStore &store) { return store.recordFlash(visit_, flash); });
}

QString HistoryRecorder::report(const ReportRecord &report)
{
    if (visit_ < 0)
        return QString();
    return attempt([&](HistoryStore &store) { return store.recordReport(visit_, report); });
}

std::optional<PreviousReport> HistoryRecorder::previousReport(const PackIdentity &identity,
                                                              QString *warning)
{
    std::optional<PreviousReport> found;
    const QString why = attempt([&](HistoryStore &store) {
        const auto pack = store.findPack(identity);
        return pack && (*pack < 0 || store.previousReport(*pack, &found));
    });
    if (warning)
        *warning = why;
    return found;
}

std::optional<RecordedSettings> HistoryRecorder::lastSettings(const PackIdentity &identity,
                                                              QString *warning)
{
    std::optional<RecordedSettings> found;
    const QString why = attempt([&](HistoryStore &store) {
        const auto pack = store.findPack(identity);
        return pack && (*pack < 0 || store.lastSettings(*pack, &found));
    });
    if (warning)
        *warning = why;
    return found;
}
