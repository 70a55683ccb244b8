#ifndef CLI_BATCH_FLASH_H
#define CLI_BATCH_FLASH_H

// flash on several boards: the file checked once, each board's settings saved,
// one confirmation for all, then every upgrade at once, each with its own engine,
// pacing and retries. A board that fails leaves the others going; the summary at
// the end says what became of each.

#include "batch_jobs.h"
#include "terminal.h"

#include <QElapsedTimer>

class FlashCommand;
class QTimer;
class UpgradeEngine;
enum class UpgradeOutcome;
enum class UpgradePhase : quint8;

class BatchFlash : public BatchJob
{
public:
    explicit BatchFlash(FlashCommand *command);

    int prepare() override;

protected:
    void run() override;

private:
    struct Unit {
        Board *board = nullptr;
        QString bms_serial;
        int before = 0;
        QString after; // the firmware reported after the restart; "?" when it did not answer
        QString backup;
        UpgradeEngine *upgrade = nullptr;
        QElapsedTimer clock;
        qint64 ms = -1; // of the upgrade, once it has ended
        QString phase;  // as the progress line shows it
        int tenth = -1;
        bool restarting = false;
    };
    enum class State { Checking, Confirming, Flashing, Done };

    bool saveBackup(Unit &unit);
    void confirm();
    void startAll();
    void interrupted();
    void transmitting(Unit &unit, UpgradePhase phase, quint16 line, quint16 total);
    void upgradeFinished(Unit &unit, UpgradeOutcome outcome);
    void restarted(Unit &unit, bool answered);
    void unitDone(Unit &unit, int code, const QString &result);
    void drawProgress();
    void summary();
    QString where(const Unit &unit) const;

    FlashCommand *command_;
    State state_ = State::Checking;
    QVector<Unit> units_;
    bool terminal_ = false;
    InPlaceBlock block_;
    QTimer *redraw_ = nullptr;
    bool dirty_ = false;
    QElapsedTimer since_interrupt_;
};

#endif // CLI_BATCH_FLASH_H
