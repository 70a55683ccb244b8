#include "mydialogwindow.h"

#include "ui_mydialogwindow.h"
#include "upgrade/firmware_file.h"
#include "upgrade_engine.h"

#include <QFile>

void MyDialogWindow::firmware_upgrade()
{
    // The new file is loaded and checked completely before anything changes: a
    // missing or refused file leaves a running upgrade running, untouched.
    QFile file(ui->lineEdit_set_firmware_path->text());
    if (!file.exists() || !file.open(QIODevice::ReadOnly)) {
        ui->plainTextEdit->appendPlainText(tr("Firmware load error. File does not exist"));
        return;
    }
    FirmwareLoader loader;
    const FirmwareVerdict verdict = load_firmware_file(file, FirmwareRules{}, loader);
    file.close();

    const HexRecord &bad = verdict.record;
    switch (verdict.fault) {
    case FirmwareFault::LineTooLong:
        ui->plainTextEdit->appendPlainText(
            tr("Firmware load error. Line %1 holds %2 data bytes, at most %3 can be sent")
                .arg(verdict.line)
                .arg(bad.byte_count)
                .arg(MAX_LINE_DATA_BYTES));
        return;
    case FirmwareFault::OutsideFlash:
        ui->plainTextEdit->appendPlainText(
            tr("Firmware load error. Line %1 writes %2 bytes at address 0x%3, beyond the "
               "flash end 0x%4")
                .arg(verdict.line)
                .arg(bad.byte_count)
                .arg(QString::number(bad.address, 16).toUpper().rightJustified(4, QLatin1Char('0')))
                .arg(QString::number(FIRMWARE_IMAGE_SIZE - 1, 16).toUpper()));
        return;
    default: // the window's rules refuse nothing else
        break;
    }

    ui->plainTextEdit->appendPlainText(
        tr("Firmware has been loaded: total %1 hex lines").arg(loader.data_lines()));
    // A click during an upgrade starts over from the erase with the new file.
    upgrade->start(loader);
}

void MyDialogWindow::upgrade_command_check_last_executed_command_timer_overflow()
{
    upgrade->statusPollDue();
}

void MyDialogWindow::process_last_received_update_command()
{
    if (upgrade->acceptStatus())
        firmware_upgrade_next_step();
}

void MyDialogWindow::firmware_upgrade_next_step()
{
    upgrade->advance();
}

void MyDialogWindow::upgrade_command_retry_timer_overflow()
{
    upgrade->replyWindowClosed();
}
