#ifndef ENGINE_UPGRADE_ENGINE_H
#define ENGINE_UPGRADE_ENGINE_H

// Drives the BMS's firmware loader through erase, one write per data record in
// file order, and the CRC check. Each command is confirmed through the loader's
// status registers: sent, its status polled after the command's delay, and sent
// again when no confirming status arrives within the reply window, up to
// UPGRADE_MAX_ATTEMPTS transmissions. Progress is reported by signals; what a
// front end makes of it (log lines, a progress bar) is its own business.

#include "bms_link.h"
#include "upgrade/hex_file.h"
#include "upgrade/upgrade_commands.h"

#include <QObject>

class QTimer;

enum class UpgradeOutcome { Succeeded, Failed, Stopped };

// The loader's pace: how long after each command its status is polled, how long a
// status reply is waited for, and how many transmissions a command gets. The
// defaults are what the BMS's loader needs; tests run on shorter ones.
struct UpgradeTiming {
    int erase_delay_ms = ERASE_DELAY_MS;
    int write_delay_ms = WRITE_DELAY_MS;
    int crc_delay_ms = CRC_DELAY_MS;
    int reply_window_ms = STATUS_REPLY_WINDOW_MS;
    int max_attempts = UPGRADE_MAX_ATTEMPTS;
};

class UpgradeEngine : public QObject
{
    Q_OBJECT

public:
    // With Wiring::External the front end connects checkTimer() to statusPollDue(),
    // retryTimer() to replyWindowClosed(), and passes every status reply of the link
    // to acceptStatus(), calling advance() when it returns true.
    UpgradeEngine(BmsLink *link, BmsLink::Wiring wiring = BmsLink::Wiring::Internal,
                  QObject *parent = nullptr);

    void setTiming(const UpgradeTiming &timing) { timing_ = timing; }
    const UpgradeTiming &timing() const { return timing_; }

    QTimer *checkTimer() const { return check_timer_; }
    QTimer *retryTimer() const { return retry_timer_; }

    // Whether the link's register polling is paused by start() and resumed at the
    // end, success or failure (the window polls; other front ends read on demand).
    void setPausesPolling(bool pauses) { pauses_polling_ = pauses; }

    // Starts over from the erase with the records and image of one load; a running
    // upgrade is dropped.
    void start(const FirmwareLoader &firmware);
    // Lets the outstanding command finish, then ends with UpgradeOutcome::Stopped
    // instead of sending the next one.
    void requestStop() { stop_requested_ = true; }

    UpgradePhase phase() const { return phase_; }
    // The phase the last upgrade ended in; lineNumber() keeps its line.
    UpgradePhase endedIn() const { return ended_in_; }
    quint16 lineNumber() const { return line_number_; }
    quint16 linesTotal() const { return lines_total_; }
    int attempt() const { return attempt_; }
    int retransmissions() const { return retransmissions_; }
    quint32 crc() const { return crc_; }

    void statusPollDue();
    bool acceptStatus();
    void advance();
    void replyWindowClosed();

signals:
    // Each transmission of the outstanding command, first or repeated.
    void transmitting(UpgradePhase phase, quint16 line, quint16 total, int attempt);
    void erased();
    void allLinesSent();
    void finished(UpgradeOutcome outcome);

private:
    void sendCommand(const QByteArray &frame);
    void sendNextLine();
    void beginCrcPhase();
    void end(UpgradeOutcome outcome);
    void announce() { emit transmitting(phase_, line_number_, lines_total_, attempt_); }
    int delayAfter(const QByteArray &frame) const;

    BmsLink *link_;
    QTimer *check_timer_;
    QTimer *retry_timer_;
    UpgradeTiming timing_;
    bool pauses_polling_ = false;
    bool stop_requested_ = false;
    UpgradePhase phase_ = UpgradePhase::Idle;
    UpgradePhase ended_in_ = UpgradePhase::Idle;
    QVector<HexRecord> records_;
    bool last_line_is_data_ = false;
    FirmwareImage image_{};
    int next_record_ = 0;
    quint16 lines_total_ = 0;
    quint16 line_number_ = 0;
    int attempt_ = 0;
    int retransmissions_ = 0;
    quint32 crc_ = 0;
    QByteArray frame_; // the outstanding command, sent again unchanged on retry
};

#endif // ENGINE_UPGRADE_ENGINE_H
