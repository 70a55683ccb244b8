#include "app/mydialogwindow.h"
#include "app/program_state.h"
#include "link/serial_send.h"
#include "ui_mydialogwindow.h"
#include "upgrade/hex_file.h"
#include "upgrade/upgrade_commands.h"

#include <QCoreApplication>
#include <QDebug>
#include <QPlainTextEdit>
#include <QTimer>

// The upgrade is a chain of commands, each confirmed through the loader's status
// registers: erase, one write per data line in file order, CRC check. Each command
// is sent, its status polled after the command's delay, and the command sent again
// when no confirming status arrives within the reply window, up to
// UPGRADE_MAX_ATTEMPTS transmissions.

namespace
{

void send_upgrade_command(const QByteArray &frame)
{
    upgrade_frame = frame;
    send_frame(upgrade_frame);
    upgrade_command_check_timer->start(command_delay_ms(upgrade_frame));
}

// The next data line of firmware_file, passing over every other record. False
// once the file is at its end (or closed).
bool read_next_data_line(HexRecord *record)
{
    while (!firmware_file.atEnd()) {
        const QString line = hex_line_text(firmware_file.readLine());
        if (is_data_line(line)) {
            *record = parse_data_line(line);
            qDebug() << "size" << record->byte_count << "address" << record->address;
            return true;
        }
    }
    return false;
}

// The line that announces each transmission of the outstanding command, first or
// repeated.
void log_attempt(QPlainTextEdit *log)
{
    const auto text = [](const char *source) {
        return QCoreApplication::translate("MyDialogWindow", source);
    };
    switch (static_cast<UpgradeState>(upgrade_state)) {
    case UPGRADE_ERASING:
        log->appendPlainText(text("Trying to erase flash. Attempt %1 of %2")
                                 .arg(upgrade_attempt)
                                 .arg(UPGRADE_MAX_ATTEMPTS));
        break;
    case UPGRADE_SENDING_LINES:
        log->appendPlainText(text("Sending hex line %1 of %2. Attempt %3 of %4")
                                 .arg(hex_line_number)
                                 .arg(hex_lines_total)
                                 .arg(upgrade_attempt)
                                 .arg(UPGRADE_MAX_ATTEMPTS));
        break;
    case UPGRADE_CHECKING_CRC:
        log->appendPlainText(text("Checking new firmware CRC. Attempt %1 of %2")
                                 .arg(upgrade_attempt)
                                 .arg(UPGRADE_MAX_ATTEMPTS));
        break;
    case UPGRADE_IDLE:
        break;
    }
}

void end_upgrade()
{
    upgrade_command_retry_timer->stop();
    upgrade_command_check_timer->stop();
    upgrade_state = UPGRADE_IDLE;
    firmware_file.close();
    bms_registers_request_send_timer->start(bms_request_period_ms);
}

} // namespace

void MyDialogWindow::firmware_upgrade()
{
    // A click during an upgrade starts over: the file in use is dropped for the
    // name in the field.
    if (firmware_file.isOpen())
        firmware_file.close();
    firmware_file.setFileName(ui->lineEdit_set_firmware_path->text());
    if (!firmware_file.exists() || !firmware_file.open(QIODevice::ReadOnly)) {
        ui->plainTextEdit->appendPlainText(tr("Firmware load error. File does not exist"));
        return;
    }

    FirmwareLoader loader;
    while (!firmware_file.atEnd()) {
        HexRecord record;
        if (loader.add_line(hex_line_text(firmware_file.readLine()), &record))
            qDebug() << "size" << record.byte_count << "address" << record.address;
    }
    firmware_file.close();

    // A refused file leaves everything as a missing one does: polling goes on and
    // the image keeps what it held.
    const HexRecord bad = loader.problem_record();
    switch (loader.problem()) {
    case LoadProblem::LineTooLong:
        ui->plainTextEdit->appendPlainText(
            tr("Firmware load error. Line %1 holds %2 data bytes, at most %3 can be sent")
                .arg(loader.problem_line())
                .arg(bad.byte_count)
                .arg(MAX_LINE_DATA_BYTES));
        return;
    case LoadProblem::OutsideImage:
        ui->plainTextEdit->appendPlainText(
            tr("Firmware load error. Line %1 writes %2 bytes at address 0x%3, beyond the "
               "flash end 0x%4")
                .arg(loader.problem_line())
                .arg(bad.byte_count)
                .arg(QString::number(bad.address, 16).toUpper().rightJustified(4, QLatin1Char('0')))
                .arg(QString::number(FIRMWARE_IMAGE_SIZE - 1, 16).toUpper()));
        return;
    case LoadProblem::None:
        break;
    }

    bms_registers_request_send_timer->stop();
    firmware_image = loader.image();
    hex_lines_total = loader.data_lines();
    ui->plainTextEdit->appendPlainText(
        tr("Firmware has been loaded: total %1 hex lines").arg(hex_lines_total));
    firmware_file.open(QIODevice::ReadOnly);

    // A reply window left over from an interrupted run must not count against the
    // fresh erase.
    upgrade_command_retry_timer->stop();
    upgrade_state = UPGRADE_ERASING;
    upgrade_attempt = 1;
    log_attempt(ui->plainTextEdit);
    send_upgrade_command(build_erase_command());
}

void MyDialogWindow::upgrade_command_check_last_executed_command_timer_overflow()
{
    upgrade_command_check_timer->stop();
    build_read_request(tx_frame, REG_LAST_PROCESSED_COMMAND, UPGRADE_STATUS_BYTES);
    send_frame(tx_frame);
    upgrade_command_retry_timer->start(STATUS_REPLY_WINDOW_MS);
}

void MyDialogWindow::process_last_received_update_command()
{
    const quint8 *status = bms_registers.data() + 2 * REG_LAST_PROCESSED_COMMAND;
    qDebug() << "Last processed by MCU" << unsigned(status[0]) << unsigned(status[1])
             << unsigned(status[2]) << unsigned(status[3]);
    qDebug() << "Last sent from the app" << unsigned(frame_byte(upgrade_frame, 4))
             << unsigned(frame_byte(upgrade_frame, 5)) << unsigned(frame_byte(upgrade_frame, 6))
             << unsigned(frame_byte(upgrade_frame, 7));
    if (!status_accepted(status, upgrade_frame, upgrade_state))
        return; // the reply window is still open and decides
    upgrade_command_retry_timer->stop();
    firmware_upgrade_next_step();
}

void MyDialogWindow::firmware_upgrade_next_step()
{
    const auto log = [this](const QString &text) { ui->plainTextEdit->appendPlainText(text); };
    const auto begin_crc_phase = [&] {
        upgrade_state = UPGRADE_CHECKING_CRC;
        firmware_file.close();
        upgrade_attempt = 1;
        log(tr("New firmware has been successfully sent."));
        log_attempt(ui->plainTextEdit);
        firmware_crc = crc32_words(0xFFFFFFFFu, firmware_image.data(), FIRMWARE_IMAGE_SIZE);
        send_upgrade_command(build_crc_command(firmware_crc));
    };

    HexRecord record;
    switch (static_cast<UpgradeState>(upgrade_state)) {
    case UPGRADE_ERASING:
        log(tr("Flash has been successfully erased"));
        upgrade_state = UPGRADE_SENDING_LINES;
        if (!read_next_data_line(&record)) {
            begin_crc_phase();
            break;
        }
        send_upgrade_command(build_write_command(record));
        hex_line_number = 1;
        upgrade_attempt = 1;
        log_attempt(ui->plainTextEdit);
        break;
    case UPGRADE_SENDING_LINES:
        if (!read_next_data_line(&record)) {
            begin_crc_phase();
            break;
        }
        send_upgrade_command(build_write_command(record));
        ++hex_line_number;
        upgrade_attempt = 1;
        log_attempt(ui->plainTextEdit);
        // The last line's status is never awaited: the CRC check confirms it.
        if (firmware_file.atEnd())
            begin_crc_phase();
        break;
    case UPGRADE_CHECKING_CRC:
        log(tr("New firmware checksum is OK\r\nNew firmware has been successfully flashed."));
        end_upgrade();
        break;
    case UPGRADE_IDLE:
        break;
    }
}

void MyDialogWindow::upgrade_command_retry_timer_overflow()
{
    upgrade_command_retry_timer->stop();
    upgrade_command_check_timer->stop();
    if (upgrade_state == UPGRADE_IDLE)
        return;

    if (upgrade_attempt >= UPGRADE_MAX_ATTEMPTS) {
        end_upgrade();
        ui->plainTextEdit->appendPlainText(tr("Firmware update failed"));
        return;
    }

    ++upgrade_attempt;
    send_frame(upgrade_frame);
    log_attempt(ui->plainTextEdit);
    upgrade_command_check_timer->start(command_delay_ms(upgrade_frame));
}
