#include "upgrade_engine.h"

#include "monitor/register_map.h"

#include <QLoggingCategory>
#include <QTimer>

namespace
{
// Every status poll and line of an upgrade: off unless asked for (see README).
Q_LOGGING_CATEGORY(status_log, "bms.upgrade.status", QtInfoMsg)
Q_LOGGING_CATEGORY(line_log, "bms.upgrade.line", QtInfoMsg)
} // namespace

UpgradeEngine::UpgradeEngine(BmsLink *link, BmsLink::Wiring wiring, QObject *parent)
    : QObject(parent), link_(link), check_timer_(new QTimer(this)), retry_timer_(new QTimer(this))
{
    check_timer_->setObjectName(QStringLiteral("upgrade_command_check_timer"));
    retry_timer_->setObjectName(QStringLiteral("upgrade_command_retry_timer"));
    if (wiring == BmsLink::Wiring::Internal) {
        connect(check_timer_, &QTimer::timeout, this, &UpgradeEngine::statusPollDue);
        connect(retry_timer_, &QTimer::timeout, this, &UpgradeEngine::replyWindowClosed);
        connect(link_, &BmsLink::statusReply, this, [this] {
            if (acceptStatus())
                advance();
        });
    }
}

void UpgradeEngine::start(const FirmwareLoader &firmware)
{
    if (pauses_polling_)
        link_->stopPolling();
    records_ = firmware.records();
    last_line_is_data_ = firmware.last_line_is_data();
    image_ = firmware.image();
    lines_total_ = firmware.data_lines();
    next_record_ = 0;
    line_number_ = 0;
    retransmissions_ = 0;
    stop_requested_ = false;
    // A reply window left over from an interrupted run must not count against the
    // fresh erase.
    retry_timer_->stop();
    phase_ = UpgradePhase::Erasing;
    attempt_ = 1;
    announce();
    sendCommand(build_erase_command());
}

void UpgradeEngine::sendCommand(const QByteArray &frame)
{
    frame_ = frame;
    link_->send(frame_);
    check_timer_->start(delayAfter(frame_));
}

int UpgradeEngine::delayAfter(const QByteArray &frame) const
{
    switch (frame_byte(frame, 4)) {
    case CMD_FLASH_WRITE:
        return timing_.write_delay_ms;
    case CMD_FLASH_CHECK_CRC:
        return timing_.crc_delay_ms;
    default:
        return timing_.erase_delay_ms;
    }
}

void UpgradeEngine::statusPollDue()
{
    check_timer_->stop();
    link_->send(build_read_request(REG_LAST_PROCESSED_COMMAND, UPGRADE_STATUS_BYTES));
    retry_timer_->start(timing_.reply_window_ms);
}

bool UpgradeEngine::acceptStatus()
{
    const quint8 *status = link_->image().data() + 2 * REG_LAST_PROCESSED_COMMAND;
    qCDebug(status_log) << "Last processed by MCU" << unsigned(status[0]) << unsigned(status[1])
                        << unsigned(status[2]) << unsigned(status[3]);
    qCDebug(status_log) << "Last sent from the app" << unsigned(frame_byte(frame_, 4))
                        << unsigned(frame_byte(frame_, 5)) << unsigned(frame_byte(frame_, 6))
                        << unsigned(frame_byte(frame_, 7));
    if (!status_accepted(status, frame_, phase_))
        return false; // the reply window is still open and decides
    retry_timer_->stop();
    return true;
}

void UpgradeEngine::sendNextLine()
{
    const HexRecord &record = records_.at(next_record_++);
    qCDebug(line_log) << "size" << record.byte_count << "address" << record.address;
    sendCommand(build_write_command(record));
    ++line_number_;
    attempt_ = 1;
    announce();
}

void UpgradeEngine::advance()
{
    if (phase_ != UpgradePhase::Idle && stop_requested_) {
        end(UpgradeOutcome::Stopped);
        return;
    }
    switch (phase_) {
    case UpgradePhase::Erasing:
        emit erased();
        phase_ = UpgradePhase::SendingLines;
        if (next_record_ < records_.size())
            sendNextLine();
        else
            beginCrcPhase();
        break;
    case UpgradePhase::SendingLines:
        if (next_record_ >= records_.size()) {
            beginCrcPhase();
            break;
        }
        sendNextLine();
        // A file that ends with a data line goes to its CRC check at once: the last
        // line's status is never awaited, the CRC check confirms it.
        if (next_record_ == records_.size() && last_line_is_data_)
            beginCrcPhase();
        break;
    case UpgradePhase::CheckingCrc:
        end(UpgradeOutcome::Succeeded);
        break;
    case UpgradePhase::Idle:
        break;
    }
}

void UpgradeEngine::beginCrcPhase()
{
    phase_ = UpgradePhase::CheckingCrc;
    attempt_ = 1;
    emit allLinesSent();
    announce();
    crc_ = crc32_words(0xFFFFFFFFu, image_.data(), FIRMWARE_IMAGE_SIZE);
    sendCommand(build_crc_command(crc_));
}

void UpgradeEngine::replyWindowClosed()
{
    retry_timer_->stop();
    check_timer_->stop();
    if (phase_ == UpgradePhase::Idle)
        return;
    if (attempt_ >= timing_.max_attempts) {
        end(UpgradeOutcome::Failed);
        return;
    }
    ++attempt_;
    ++retransmissions_;
    link_->send(frame_);
    announce();
    check_timer_->start(delayAfter(frame_));
}

void UpgradeEngine::end(UpgradeOutcome outcome)
{
    retry_timer_->stop();
    check_timer_->stop();
    ended_in_ = phase_;
    phase_ = UpgradePhase::Idle;
    if (pauses_polling_)
        link_->startPolling();
    emit finished(outcome);
}
