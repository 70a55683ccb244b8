#include "batch_flash.h"

#include "bms_link.h"
#include "flash_command.h"
#include "monitor/display.h"
#include "monitor/register_map.h"
#include "output.h"
#include "settings/settings_file.h"
#include "test_timing.h"
#include "upgrade_engine.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QTimer>

namespace
{

QString clock_text(qint64 ms)
{
    const qint64 s = (ms + 500) / 1000;
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

BatchFlash::BatchFlash(FlashCommand *command) : BatchJob(QStringLiteral("flash")), command_(command)
{
}

int BatchFlash::prepare()
{
    // The file is checked once for every board, with the single board's checks.
    return command_->prepare();
}

void BatchFlash::run()
{
    terminal_ = stdout_is_terminal();
    auto *interrupt = new InterruptWatch(this);
    connect(interrupt, &InterruptWatch::interrupted, this, &BatchFlash::interrupted);

    QHash<QString, QString> serials; // BMS serial: the port it is on
    for (Board *board : qAsConst(boards_)) {
        Unit unit;
        unit.board = board;
        if (board->ready()) {
            const PackIdentity id = decode_identity(board->link->image());
            unit.bms_serial = id.bms_serial;
            unit.before = id.firmware;
        }
        units_.append(unit);
    }
    for (Unit &unit : units_) {
        if (!unit.board->ready())
            continue;
        // Two boards that answer with one identity cannot be told apart in the
        // backups or the summary: the second is left alone.
        if (serials.contains(unit.bms_serial)) {
            warn(QStringLiteral("flash: %1: BMS serial %2 is also %3's; this board is not flashed")
                     .arg(unit.board->port.label, unit.bms_serial, serials.value(unit.bms_serial)));
            unitDone(unit, exit_code::FAILED, QStringLiteral("not flashed: BMS serial twice"));
            continue;
        }
        serials.insert(unit.bms_serial, unit.board->port.label);
        if (!command_->options_.no_backup && !saveBackup(unit))
            unitDone(unit, exit_code::FAILED, QStringLiteral("not flashed: backup failed"));
    }
    if (std::none_of(units_.begin(), units_.end(),
                     [](const Unit &u) { return u.board->ready(); })) {
        summary();
        return;
    }
    if (command_->options_.yes) {
        startAll();
        return;
    }
    confirm();
}

bool BatchFlash::saveBackup(Unit &unit)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    unit.backup = QDir(command_->options_.backup_dir)
                      .filePath(QStringLiteral("%1-%2.json")
                                    .arg(unit.bms_serial,
                                         now.toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"))));
    QSaveFile file(unit.backup);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(settings_file_text(unit.board->link->image(), now)) < 0 || !file.commit()) {
        warn(QStringLiteral("flash: %1: cannot save the settings to %2: %3; this board is not "
                            "flashed")
                 .arg(unit.board->port.label, unit.backup, file.errorString()));
        unit.backup.clear();
        return false;
    }
    warn(QStringLiteral("%1: settings saved to %2").arg(unit.board->port.label, unit.backup));
    return true;
}

void BatchFlash::confirm()
{
    state_ = State::Confirming;
    const FirmwareLoader &firmware = command_->firmware_;
    QVector<QStringList> rows;
    int count = 0;
    for (const Unit &unit : qAsConst(units_)) {
        if (!unit.board->ready())
            continue;
        const PackIdentity id = decode_identity(unit.board->link->image());
        rows.append({QStringLiteral("  ") + unit.board->port.label,
                     QStringLiteral("pack %1").arg(id.serial_number),
                     QStringLiteral("BMS serial %1").arg(id.bms_serial),
                     QStringLiteral("firmware %1").arg(id.firmware)});
        ++count;
    }
    ask(this,
        QStringLiteral("Boards:\n%1"
                       "File:      %2\n"
                       "           %3 data lines, image CRC 0x%4\n"
                       "Expected:  about %5, all boards at once; a board has no working "
                       "firmware until its upgrade ends\n"
                       "Flash these %6 boards? [y/N] ")
            .arg(table(rows))
            .arg(QDir::toNativeSeparators(
                QFileInfo(command_->options_.firmware_path).absoluteFilePath()))
            .arg(firmware.records().size())
            .arg(crc32_words(0xFFFFFFFFu, firmware.image().data(), FIRMWARE_IMAGE_SIZE), 8, 16,
                 QLatin1Char('0'))
            .arg(clock_text(static_cast<qint64>(command_->expectedSeconds() * 1000)))
            .arg(count),
        [this](bool yes) {
            if (state_ != State::Confirming)
                return;
            if (yes) {
                startAll();
                return;
            }
            warn(QStringLiteral("flash: not confirmed; nothing was sent"));
            for (Unit &unit : units_)
                if (unit.board->ready())
                    unitDone(unit, exit_code::FAILED, QStringLiteral("not confirmed"));
            summary();
        });
}

void BatchFlash::startAll()
{
    state_ = State::Flashing;
    UpgradeTiming timing;
    timing.erase_delay_ms = test_delay(timing.erase_delay_ms);
    timing.write_delay_ms = test_delay(timing.write_delay_ms);
    timing.crc_delay_ms = test_delay(timing.crc_delay_ms);
    if (terminal_) {
        // A line per board, redrawn a few times a second rather than at each
        // board's every line.
        redraw_ = new QTimer(this);
        connect(redraw_, &QTimer::timeout, this, [this] {
            if (dirty_)
                drawProgress();
        });
        redraw_->start(100);
    }
    for (int i = 0; i < units_.size(); ++i) {
        Unit &unit = units_[i];
        if (!unit.board->ready())
            continue;
        unit.upgrade = new UpgradeEngine(unit.board->link, BmsLink::Wiring::Internal, this);
        unit.upgrade->setTiming(timing);
        connect(unit.upgrade, &UpgradeEngine::transmitting, this,
                [this, i](UpgradePhase phase, quint16 line, quint16 total, int) {
                    transmitting(units_[i], phase, line, total);
                });
        connect(unit.upgrade, &UpgradeEngine::finished, this,
                [this, i](UpgradeOutcome outcome) { upgradeFinished(units_[i], outcome); });
    }
    for (Unit &unit : units_)
        if (unit.upgrade) {
            unit.clock.start();
            unit.upgrade->start(command_->firmware_);
        }
}

void BatchFlash::interrupted()
{
    switch (state_) {
    case State::Checking:
    case State::Confirming:
        clear_echo();
        warn(QStringLiteral("flash: stopped; nothing was sent"));
        for (Unit &unit : units_)
            if (unit.board->ready())
                unitDone(unit, exit_code::FAILED, QStringLiteral("not flashed: stopped"));
        summary();
        return;
    case State::Done:
        return;
    case State::Flashing:
        break;
    }
    clear_echo();
    block_.detach();
    if (since_interrupt_.isValid() &&
        since_interrupt_.elapsed() <= FlashCommand::SECOND_INTERRUPT_MS) {
        warn(QStringLiteral("flash: stopping every board after its command in flight"));
        for (Unit &unit : units_) {
            if (!unit.board->ready())
                continue;
            if (unit.restarting) {
                unit.after = QStringLiteral("?");
                unitDone(unit, exit_code::OK,
                         QStringLiteral("flashed; stopped waiting for the BMS"));
            } else {
                unit.upgrade->requestStop();
            }
        }
        return;
    }
    since_interrupt_.start();
    warn(QStringLiteral("warning: stopping now leaves the boards without a working firmware, so "
                        "the upgrades go on; Ctrl-C again within %1 s stops each after its "
                        "command in flight")
             .arg(FlashCommand::SECOND_INTERRUPT_MS / 1000));
}

void BatchFlash::transmitting(Unit &unit, UpgradePhase phase, quint16 line, quint16 total)
{
    const int percent = 100 * line / qMax<int>(1, total);
    switch (phase) {
    case UpgradePhase::Erasing:
        unit.phase = QStringLiteral("erasing the flash");
        break;
    case UpgradePhase::SendingLines:
        unit.phase = QStringLiteral("line %1 of %2 (%3 %)").arg(line).arg(total).arg(percent);
        break;
    case UpgradePhase::CheckingCrc:
        unit.phase = QStringLiteral("checking the CRC");
        break;
    case UpgradePhase::Idle:
        return;
    }
    if (terminal_) {
        dirty_ = true;
        return;
    }
    // Without a terminal: a line at each phase and at every tenth of the lines.
    const int tenth = phase == UpgradePhase::SendingLines ? 10 * line / qMax<int>(1, total)
                                                          : -1 - static_cast<int>(phase);
    if (tenth == unit.tenth)
        return;
    unit.tenth = tenth;
    progress_note(QStringLiteral("%1: %2, %3 retransmitted, %4 elapsed")
                      .arg(unit.board->port.label, unit.phase)
                      .arg(unit.upgrade->retransmissions())
                      .arg(clock_text(unit.clock.elapsed())));
}

QString BatchFlash::where(const Unit &unit) const
{
    switch (unit.upgrade->endedIn()) {
    case UpgradePhase::Erasing:
        return QStringLiteral("the erase");
    case UpgradePhase::SendingLines:
        return QStringLiteral("line %1 of %2")
            .arg(unit.upgrade->lineNumber())
            .arg(unit.upgrade->linesTotal());
    case UpgradePhase::CheckingCrc:
        return QStringLiteral("the CRC check");
    case UpgradePhase::Idle:
        break;
    }
    return QString();
}

void BatchFlash::upgradeFinished(Unit &unit, UpgradeOutcome outcome)
{
    unit.ms = unit.clock.elapsed();
    const QString backup = unit.backup.isEmpty()
                               ? QString()
                               : QStringLiteral("; settings saved in %1").arg(unit.backup);
    switch (outcome) {
    case UpgradeOutcome::Failed:
        warn(QStringLiteral("%1: flash failed at %2: its tenth transmission went unanswered; "
                            "the BMS may have no working firmware until it is flashed again%3")
                 .arg(unit.board->port.label, where(unit), backup));
        block_.detach();
        unitDone(unit, exit_code::FAILED, QStringLiteral("failed at ") + where(unit));
        return;
    case UpgradeOutcome::Stopped:
        warn(QStringLiteral("%1: flash stopped after %2 at your request; the BMS has no working "
                            "firmware until it is flashed again%3")
                 .arg(unit.board->port.label, where(unit), backup));
        block_.detach();
        unitDone(unit, exit_code::FAILED, QStringLiteral("stopped after ") + where(unit));
        return;
    case UpgradeOutcome::Succeeded:
        break;
    }
    unit.phase = QStringLiteral("CRC confirmed; waiting for the BMS");
    dirty_ = true;
    if (!terminal_)
        progress_note(QStringLiteral("%1: CRC confirmed after %2 with %3 retransmitted; waiting "
                                     "for the BMS to answer")
                          .arg(unit.board->port.label, clock_text(unit.ms))
                          .arg(unit.upgrade->retransmissions()));
    unit.restarting = true;
    QElapsedTimer since;
    since.start();
    const int i = static_cast<int>(&unit - units_.data());
    BmsLink *link = unit.board->link;
    connect(link, &BmsLink::readDone, this, [this, i] { restarted(units_[i], true); });
    connect(link, &BmsLink::readFailed, this, [this, i, since, link] {
        if (since.elapsed() < FlashCommand::RESTART_WAIT_MS && units_[i].restarting)
            link->readRegisters({{REG_BMS_FIRMWARE, 1}});
        else
            restarted(units_[i], false);
    });
    link->readRegisters({{REG_BMS_FIRMWARE, 1}});
}

void BatchFlash::restarted(Unit &unit, bool answered)
{
    if (!unit.restarting)
        return;
    unit.after = answered ? QString::number(decode_identity(unit.board->link->image()).firmware)
                          : QStringLiteral("?");
    unitDone(unit, exit_code::OK,
             answered ? QStringLiteral("flashed")
                      : QStringLiteral("flashed; no answer within %1 s")
                            .arg(FlashCommand::RESTART_WAIT_MS / 1000));
}

void BatchFlash::unitDone(Unit &unit, int code, const QString &result)
{
    unit.restarting = false;
    unit.board->code = code;
    unit.board->result = result;
    unit.phase = result;
    dirty_ = true;
    if (state_ == State::Flashing &&
        std::none_of(units_.begin(), units_.end(), [](const Unit &u) { return u.board->ready(); }))
        summary();
}

void BatchFlash::drawProgress()
{
    dirty_ = false;
    QVector<QStringList> rows;
    for (const Unit &unit : qAsConst(units_))
        if (unit.upgrade)
            rows.append({unit.board->port.label, unit.bms_serial, unit.phase});
    block_.draw(table(rows));
}

void BatchFlash::summary()
{
    if (state_ == State::Done)
        return;
    state_ = State::Done;
    if (redraw_) {
        redraw_->stop();
        drawProgress();
    }
    {
        QVector<QStringList> rows{{QStringLiteral("PORT"), QStringLiteral("BMS SERIAL"),
                                   QStringLiteral("BEFORE"), QStringLiteral("AFTER"),
                                   QStringLiteral("RESULT"), QStringLiteral("TIME")}};
        const QString dash = QStringLiteral("-");
        for (const Unit &unit : qAsConst(units_))
            rows.append({unit.board->port.label, unit.bms_serial.isEmpty() ? dash : unit.bms_serial,
                         unit.bms_serial.isEmpty() ? dash : QString::number(unit.before),
                         unit.after.isEmpty() ? dash : unit.after, unit.board->result,
                         unit.ms < 0 ? dash : clock_text(unit.ms)});
        say(QStringLiteral("\n") + table(rows));
    }
    finish();
}
