#include "mydialogwindow.h"

#include "ui_mydialogwindow.h"
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
    load_firmware(file, loader);
    file.close();

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
