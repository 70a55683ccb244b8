#include "flash_command.h"

#include "arguments.h"
#include "bms_link.h"
#include "command_history.h"
#include "monitor/display.h"
#include "output.h"
#include "settings/settings_file.h"
#include "terminal.h"
#include "test_timing.h"
#include "upgrade/firmware_file.h"
#include "upgrade_engine.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

namespace
{

QString line_list(const QVector<int> &lines)
{
    QStringList shown;
    for (int i = 0; i < lines.size() && i < 5; ++i)
        shown << QString::number(lines[i]);
    return shown.join(QStringLiteral(", ")) +
           (lines.size() > 5 ? QStringLiteral(" and %1 more").arg(lines.size() - 5) : QString());
}

QString wrong_checksums(const QVector<int> &lines)
{
    return QStringLiteral("the record checksum is wrong on line%1 %2")
        .arg(lines.size() > 1 ? "s" : "")
        .arg(line_list(lines));
}

QString base_text(quint32 base)
{
    return QStringLiteral("0x%1").arg(base, 8, 16, QLatin1Char('0'));
}

// The file is proven whole first: the final CRC check compares the BMS's flash with
// an image built from this same file, so it cannot catch a corrupt byte. And it
// must map cleanly onto the flash, or the image is a mix that "succeeds".
QString refusal_text(const QString &path, const FirmwareVerdict &v)
{
    const QString line = QStringLiteral("%1: line %2").arg(path).arg(v.line);
    switch (v.fault) {
    case FirmwareFault::None:
        break;
    case FirmwareFault::Empty:
        return QStringLiteral("%1 is empty").arg(path);
    case FirmwareFault::NotARecord:
        switch (v.line_fault) {
        case LineFault::None:
        case LineFault::NotHex:
            return line + QStringLiteral(" is not an Intel HEX record");
        case LineFault::WrongLength:
            return line + QStringLiteral(" is %1 bytes long, its byte count says %2")
                              .arg(v.bytes)
                              .arg(v.expected_bytes);
        case LineFault::UnknownType:
            return line + QStringLiteral(" has the record type %1, none of 00 to 05")
                              .arg(v.record_type, 2, 16, QLatin1Char('0'));
        case LineFault::AddressRecord:
            return line + QStringLiteral(" is an extended address record without its two "
                                         "address bytes");
        case LineFault::AfterEndRecord:
            return line + QStringLiteral(" comes after the end-of-file record");
        }
        break;
    case FirmwareFault::BadChecksums:
        return QStringLiteral("%1: %2: the file is damaged, and a damaged byte would be flashed "
                              "as it is (--ignore-checksums flashes it anyway)")
            .arg(path, wrong_checksums(v.bad_checksums));
    case FirmwareFault::NoEndRecord:
        return QStringLiteral("%1 has no end-of-file record: it may have been cut short").arg(path);
    case FirmwareFault::LineTooLong:
        return line + QStringLiteral(" holds %1 data bytes, at most %2 fit in one command")
                          .arg(v.record.byte_count)
                          .arg(MAX_LINE_DATA_BYTES);
    case FirmwareFault::OutsideFlash:
        return line + QStringLiteral(" writes %1 bytes at address 0x%2, beyond the flash end "
                                     "0x37FF: the file is for another flash layout")
                          .arg(v.record.byte_count)
                          .arg(v.record.address, 4, 16, QLatin1Char('0'));
    case FirmwareFault::SeveralBases:
        return line + QStringLiteral(" holds data under the extended address %1 (set on line %2), "
                                     "line %3 under %4: data under two bases cannot both land on "
                                     "the one flash")
                          .arg(base_text(v.base))
                          .arg(v.base_line)
                          .arg(v.earlier_line)
                          .arg(base_text(v.earlier_base));
    case FirmwareFault::MoreThanFlash:
        return line + QStringLiteral(" brings the data past the %1 bytes the flash holds (%2 "
                                     "bytes in all): the file is for another flash layout")
                          .arg(FIRMWARE_IMAGE_SIZE)
                          .arg(v.data_bytes);
    case FirmwareFault::Overlap:
        return line + QStringLiteral(" writes flash byte 0x%1, which line %2 writes already: "
                                     "the image would be a mix of both")
                          .arg(v.overlap_address, 4, 16, QLatin1Char('0'))
                          .arg(v.earlier_line);
    case FirmwareFault::NoDataRecords:
        return QStringLiteral("%1 holds no data records").arg(path);
    }
    return path;
}

} // namespace

CommandInfo FlashCommand::info()
{
    using O = QCommandLineOption;
    return {
        "flash",
        "flash FILE.hex [--yes] [--no-backup] [--backup-dir DIR] [--ignore-checksums]",
        "replace the BMS firmware, settings saved first",
        "Replaces the BMS firmware with the window's upgrade: erase, every data record in file\n"
        "order, CRC check, each command confirmed through the loader's status. The file is\n"
        "checked whole first (record checksums, lengths, the end record) and must map onto\n"
        "the 14 KB flash one to one (one extended-address base, no two records on the same\n"
        "bytes, nothing past its end);\n"
        "the BMS's settings are saved to DIR (default ~/.local/share/bmsctl/backups), then\n"
        "on a terminal it asks, unless --yes. The first Ctrl-C only warns; a second within\n"
        "5 s stops after the command in flight (exit 1). Exit 0 only once the BMS confirmed\n"
        "the CRC; the firmware version it then reports is printed.",
        "bmsctl --port /dev/ttyUSB0 flash firmware-19.hex --yes --backup-dir backups/",
        {O(QStringLiteral("yes"), QStringLiteral("flash without asking")),
         O(QStringLiteral("no-backup"), QStringLiteral("do not save the settings first")),
         O(QStringLiteral("backup-dir"), QStringLiteral("save the settings in DIR"),
           QStringLiteral("DIR")),
         O(QStringLiteral("ignore-checksums"),
           QStringLiteral("flash records whose checksum is wrong, with a warning"))},
        true};
}

bool FlashCommand::parse(const QCommandLineParser &p, const QStringList &arguments)
{
    if (arguments.size() != 1)
        return fail(QStringLiteral("flash: one FILE.hex is expected, %1 given (bmsctl flash "
                                   "--help)")
                        .arg(arguments.size()));
    options_.firmware_path = arguments.first();
    options_.yes = p.isSet(QStringLiteral("yes"));
    options_.no_backup = p.isSet(QStringLiteral("no-backup"));
    options_.backup_dir = p.value(QStringLiteral("backup-dir"));
    options_.ignore_checksums = p.isSet(QStringLiteral("ignore-checksums"));
    if (p.isSet(QStringLiteral("backup-dir")) &&
        (options_.backup_dir.isEmpty() || options_.no_backup))
        return fail(QStringLiteral("flash: --backup-dir needs a folder, and no --no-backup"));
    return true;
}

int FlashCommand::prepare()
{
    const QString &path = options_.firmware_path;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("flash: cannot read %1: %2").arg(path, file.errorString()));
    const FirmwareVerdict verdict =
        load_firmware_file(file, FirmwareRules{true, !options_.ignore_checksums}, firmware_);
    if (!verdict.accepted())
        return refuse(QStringLiteral("flash: %1").arg(refusal_text(path, verdict)));
    if (!verdict.bad_checksums.isEmpty())
        warn(QStringLiteral("warning: %1: %2; flashed anyway (--ignore-checksums)")
                 .arg(path, wrong_checksums(verdict.bad_checksums)));

    if (!options_.yes && !stdin_is_terminal())
        return refuse(QStringLiteral("flash: refused: no terminal to confirm on; add --yes to "
                                     "flash without asking"));
    if (!options_.no_backup) {
        if (options_.backup_dir.isEmpty())
            options_.backup_dir =
                QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                QStringLiteral("/bmsctl/backups");
        if (!QDir().mkpath(options_.backup_dir))
            return refuse(QStringLiteral("flash: cannot create the backup folder %1 (--backup-dir "
                                         "names another, --no-backup skips the backup)")
                              .arg(options_.backup_dir));
    }
    return -1;
}

void FlashCommand::run(BmsLink *link)
{
    link_ = link;
    firmware_before_ = decode_identity(link_->image()).firmware;
    auto *interrupt = new InterruptWatch(this);
    connect(interrupt, &InterruptWatch::interrupted, this, &FlashCommand::interrupted);
    if (!options_.no_backup && !saveBackup()) {
        finish(exit_code::FAILED);
        return;
    }
    if (options_.yes) {
        startUpgrade();
        return;
    }
    const PackIdentity id = decode_identity(link_->image());
    state_ = State::Confirming;
    ask(this,
        QStringLiteral("BMS:       %1, BMS serial %2, firmware %3\n"
                       "File:      %4\n"
                       "           %5 data lines, image CRC 0x%6\n"
                       "Expected:  about %7; the BMS has no working firmware until "
                       "the upgrade ends\n"
                       "Flash this file? [y/N] ")
            .arg(id.serial_number, id.bms_serial)
            .arg(id.firmware)
            .arg(QDir::toNativeSeparators(QFileInfo(options_.firmware_path).absoluteFilePath()))
            .arg(firmware_.records().size())
            .arg(crc32_words(0xFFFFFFFFu, firmware_.image().data(), FIRMWARE_IMAGE_SIZE), 8, 16,
                 QLatin1Char('0'))
            .arg(duration_text(expectedSeconds())),
        [this](bool yes) { confirmed(yes); });
}

bool FlashCommand::saveBackup()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const PackIdentity id = decode_identity(link_->image());
    backup_path_ = QDir(options_.backup_dir)
                       .filePath(QStringLiteral("%1-%2.json")
                                     .arg(id.bms_serial,
                                          now.toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"))));
    QSaveFile file(backup_path_);
    const QByteArray text = settings_file_text(link_->image(), now);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) < 0 || !file.commit()) {
        warn(QStringLiteral("flash: cannot save the settings to %1: %2; nothing was flashed")
                 .arg(backup_path_, file.errorString()));
        return false;
    }
    record_backup(*this, QFileInfo(backup_path_).absoluteFilePath(), text);
    warn(QStringLiteral("settings saved to %1").arg(backup_path_));
    return true;
}

void FlashCommand::confirmed(bool yes)
{
    if (state_ != State::Confirming)
        return;
    if (!yes) {
        warn(QStringLiteral("flash: not confirmed; nothing was sent"));
        finish(exit_code::FAILED);
        return;
    }
    startUpgrade();
}

void FlashCommand::startUpgrade()
{
    state_ = State::Flashing;
    upgrade_ = new UpgradeEngine(link_, BmsLink::Wiring::Internal, this);
    UpgradeTiming timing;
    timing.erase_delay_ms = test_delay(timing.erase_delay_ms);
    timing.write_delay_ms = test_delay(timing.write_delay_ms);
    timing.crc_delay_ms = test_delay(timing.crc_delay_ms);
    upgrade_->setTiming(timing);
    connect(upgrade_, &UpgradeEngine::transmitting, this, &FlashCommand::transmitting);
    connect(upgrade_, &UpgradeEngine::finished, this, &FlashCommand::upgradeFinished);
    clock_.start();
    upgrade_->start(firmware_);
}

void FlashCommand::interrupted()
{
    switch (state_) {
    case State::Loaded:
    case State::Confirming:
        keep_progress();
        warn(QStringLiteral("flash: stopped; nothing was sent"));
        finish(exit_code::FAILED);
        return;
    case State::Flashing:
        break;
    case State::Restarting:
        keep_progress();
        recordFlash(QStringLiteral("succeeded"), true, -1);
        warn(QStringLiteral("flash: the CRC was confirmed; stopped waiting for the BMS"));
        finish(exit_code::OK);
        return;
    case State::Done:
        return;
    }
    keep_progress();
    if (since_interrupt_.isValid() && since_interrupt_.elapsed() <= SECOND_INTERRUPT_MS) {
        warn(QStringLiteral("flash: stopping after the command in flight"));
        upgrade_->requestStop();
        return;
    }
    since_interrupt_.start();
    warn(QStringLiteral("warning: stopping now leaves the BMS without a working firmware, so "
                        "the upgrade goes on; Ctrl-C again within %1 s stops it after the "
                        "command in flight")
             .arg(SECOND_INTERRUPT_MS / 1000));
}

void FlashCommand::portLost()
{
    keep_progress();
    const QString gone = QStringLiteral("flash: the port is gone (adapter unplugged?)");
    switch (state_) {
    case State::Loaded:
    case State::Confirming:
        warn(gone + QStringLiteral(" before the upgrade started; nothing was flashed"));
        finish(exit_code::PORT);
        return;
    case State::Flashing:
        upgrade_->requestStop();
        warn(gone +
             QStringLiteral(" at %1; the BMS has no working firmware until it is flashed "
                            "again%2")
                 .arg(where(), backup_path_.isEmpty()
                                   ? QString()
                                   : QStringLiteral("; settings saved in %1").arg(backup_path_)));
        finish(exit_code::FAILED);
        return;
    case State::Restarting:
        // The CRC was confirmed: the board is flashed, only its answer is missing.
        warn(gone + QStringLiteral(" after the CRC was confirmed; the new firmware's version is "
                                   "not known"));
        finish(exit_code::OK);
        return;
    case State::Done:
        return;
    }
}

double FlashCommand::expectedSeconds() const
{
    // Each line costs its 50 ms delay and a status round trip; erase and CRC check
    // wait 500 ms each.
    return firmware_.records().size() * (WRITE_DELAY_MS + 10) / 1000.0 +
           (ERASE_DELAY_MS + CRC_DELAY_MS) / 1000.0;
}

void FlashCommand::transmitting(UpgradePhase phase, quint16 line, quint16 total, int attempt)
{
    Q_UNUSED(attempt)
    const bool terminal = stderr_is_terminal();
    const double elapsed = clock_.elapsed() / 1000.0;
    QString text;
    switch (phase) {
    case UpgradePhase::Erasing:
        text = QStringLiteral("erasing the flash");
        break;
    case UpgradePhase::SendingLines: {
        const double left =
            line > 1 ? elapsed / (line - 1) * (total - line + 1) + 0.5 : expectedSeconds();
        text = QStringLiteral("line %1 of %2 (%3 %)")
                   .arg(line)
                   .arg(total)
                   .arg(100 * line / qMax<int>(1, total));
        if (terminal)
            text += QStringLiteral(", %1 retransmitted, %2 elapsed, about %3 left")
                        .arg(upgrade_->retransmissions())
                        .arg(duration_text(elapsed), duration_text(left));
        break;
    }
    case UpgradePhase::CheckingCrc:
        text = QStringLiteral("checking the CRC");
        break;
    case UpgradePhase::Idle:
        return;
    }
    if (terminal) {
        progress(text);
        return;
    }
    // Without a terminal: a line at each phase and at every tenth of the lines.
    const int tenth = phase == UpgradePhase::SendingLines ? 10 * line / qMax<int>(1, total) : -1;
    if (phase != last_phase_ || tenth != last_reported_tenth_)
        progress_note(text + QStringLiteral(", %1 retransmitted, %2 elapsed")
                                 .arg(upgrade_->retransmissions())
                                 .arg(duration_text(elapsed)));
    last_phase_ = phase;
    last_reported_tenth_ = tenth;
}

QString FlashCommand::where() const
{
    // While it runs (the port went away mid-upgrade), where it is; after, where it ended.
    const UpgradePhase phase =
        upgrade_->phase() != UpgradePhase::Idle ? upgrade_->phase() : upgrade_->endedIn();
    switch (phase) {
    case UpgradePhase::Erasing:
        return QStringLiteral("the erase");
    case UpgradePhase::SendingLines:
        return QStringLiteral("line %1 of %2")
            .arg(upgrade_->lineNumber())
            .arg(upgrade_->linesTotal());
    case UpgradePhase::CheckingCrc:
        return QStringLiteral("the CRC check");
    case UpgradePhase::Idle:
        break;
    }
    return QString();
}

void FlashCommand::upgradeFinished(UpgradeOutcome outcome)
{
    keep_progress();
    const QString backup = backup_path_.isEmpty()
                               ? QString()
                               : QStringLiteral("; settings saved in %1").arg(backup_path_);
    switch (outcome) {
    case UpgradeOutcome::Failed:
        recordFlash(QStringLiteral("failed at %1: no answer").arg(where()), false, -1);
        warn(QStringLiteral("flash failed at %1: its tenth transmission went unanswered; the "
                            "BMS may have no working firmware until it is flashed again%2")
                 .arg(where(), backup));
        finish(exit_code::FAILED);
        return;
    case UpgradeOutcome::Stopped:
        recordFlash(QStringLiteral("stopped at %1 on request").arg(where()), false, -1);
        warn(QStringLiteral("flash stopped after %1 at your request; the BMS has no working "
                            "firmware until it is flashed again%2")
                 .arg(where(), backup));
        finish(exit_code::FAILED);
        return;
    case UpgradeOutcome::Succeeded:
        break;
    }
    warn(QStringLiteral("CRC confirmed after %1 with %2 retransmitted; waiting for the BMS "
                        "to answer")
             .arg(duration_text(clock_.elapsed() / 1000.0))
             .arg(upgrade_->retransmissions()));
    state_ = State::Restarting;
    clock_.restart();
    connect(link_, &BmsLink::readDone, this, [this] {
        if (state_ != State::Restarting)
            return;
        const int firmware = decode_identity(link_->image()).firmware;
        recordFlash(QStringLiteral("succeeded"), true, firmware);
        say(QStringLiteral("flashed %1; the BMS reports firmware %2\n")
                .arg(options_.firmware_path)
                .arg(firmware));
        finish(exit_code::OK);
    });
    connect(link_, &BmsLink::readFailed, this, [this] {
        if (state_ != State::Restarting)
            return;
        if (clock_.elapsed() < RESTART_WAIT_MS) {
            askFirmware();
            return;
        }
        recordFlash(QStringLiteral("succeeded"), true, -1);
        say(QStringLiteral("flashed %1; the BMS did not answer within %2 s, so its firmware "
                           "version is not known\n")
                .arg(options_.firmware_path)
                .arg(RESTART_WAIT_MS / 1000));
        finish(exit_code::OK);
    });
    askFirmware();
}

// Once per flash that sent anything: the firmware before is the session's first
// read, kept in the image until the BMS answers after its restart.
void FlashCommand::recordFlash(const QString &result, bool succeeded, int firmware_after)
{
    FlashRecord record;
    record.file_name = QFileInfo(options_.firmware_path).fileName();
    record.size = QFileInfo(options_.firmware_path).size();
    record.image_crc = crc32_words(0xFFFFFFFFu, firmware_.image().data(), FIRMWARE_IMAGE_SIZE);
    record.firmware_before = firmware_before_;
    record.firmware_after = firmware_after;
    record.result = result;
    record.succeeded = succeeded;
    if (!succeeded && upgrade_->endedIn() == UpgradePhase::SendingLines)
        record.failed_line = upgrade_->lineNumber();
    noteHistory(history().flash(record));
}

void FlashCommand::askFirmware()
{
    link_->readRegisters({{REG_BMS_FIRMWARE, 1}});
}

void FlashCommand::finish(int code)
{
    if (state_ == State::Done)
        return;
    state_ = State::Done;
    emit finished(code);
}
