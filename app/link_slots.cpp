#include "mydialogwindow.h"

#include "appearance.h"
#include "bms_link.h"
#include "ui_mydialogwindow.h"

void MyDialogWindow::bms_registers_request_send_timer_overflow()
{
    link->pollTick();
}

void MyDialogWindow::comport_received()
{
    const ReceptionResult result = link->receive();
    if (!result.valid)
        return;
    ui->label_connection_state->setText(tr("BMS IS CONNECTED"));
    ui->label_connection_state->setStyleSheet(QStringLiteral("color: rgb(30, 150, 30)"));
    fit_tooltip(ui->label_connection_state);
    if (result.status_reply)
        process_last_received_update_command();
}

void MyDialogWindow::disconnect_timer_overflow()
{
    ui->label_connection_state->setText(tr("BMS IS DISCONNECTED"));
    ui->label_connection_state->setStyleSheet(QStringLiteral("color: rgb(150, 20, 20)"));
    fit_tooltip(ui->label_connection_state);
}
