#ifndef HISTORY_HISTORY_RECORDER_H
#define HISTORY_HISTORY_RECORDER_H

// What a front end calls to keep the service history of one run (a bmsctl
// command) or one connection (the window). The history is never in the way of the
// job: the store is opened at the first record, every wait is bounded so that all
// of it together costs at most `budget_ms`, and the first failure gives one
// warning line and ends recording for this recorder; the job goes on as if
// nothing happened.
//
//   HistoryRecorder history(database_option, QStringLiteral("bmsctl"), !no_history);
//   warn(history.visit(QStringLiteral("set"), identity, state));
//   warn(history.settingsWrite({"overvoltage", 4200, 4250, true}));
//
// where warn() prints a non-empty line as a warning.

#include "history_records.h"

#include <QElapsedTimer>
#include <QString>

#include <memory>
#include <optional>

class HistoryStore;

constexpr int HISTORY_BUDGET_MS = 2000;

class HistoryRecorder
{
public:
    // `database`: the front end's --database, empty for BMSCTL_DATABASE or the
    // default file; `program`: "bmsctl" or "bms_tool"; `enabled` false for
    // --no-history, which makes every call do nothing.
    HistoryRecorder(const QString &database, const QString &program, bool enabled = true,
                    int budget_ms = HISTORY_BUDGET_MS);
    ~HistoryRecorder();
    HistoryRecorder(const HistoryRecorder &) = delete;
    HistoryRecorder &operator=(const HistoryRecorder &) = delete;

    // Each returns the warning line when the history could not be written, once;
    // empty otherwise. The records after visit() belong to that visit; without
    // one they are dropped.
    QString visit(const QString &command, const PackIdentity &identity, const PackState &state);
    QString settingsWrite(const SettingsWriteRecord &write);
    QString backup(const BackupRecord &backup);
    QString flash(const FlashRecord &flash);
    QString report(const ReportRecord &report);

    // For comparing with what a pack held before; nothing when the pack has none
    // or the history cannot be read (the warning then in *warning, if given).
    std::optional<PreviousReport> previousReport(const PackIdentity &identity,
                                                 QString *warning = nullptr);
    std::optional<RecordedSettings> lastSettings(const PackIdentity &identity,
                                                 QString *warning = nullptr);

    bool enabled() const { return enabled_; }
    bool failed() const { return failed_; }
    // Time spent in the history so far.
    qint64 spentMs() const { return spent_ms_; }

private:
    template <typename Work> QString attempt(Work work);
    bool ensureOpen(QString *why);
    QString failure(const QString &why);

    QString database_;
    QString program_;
    QString bench_;
    bool enabled_;
    bool failed_ = false;
    int budget_ms_;
    qint64 spent_ms_ = 0;
    qint64 visit_ = -1;
    std::unique_ptr<HistoryStore> store_;
};

#endif // HISTORY_HISTORY_RECORDER_H
