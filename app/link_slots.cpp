#include "mydialogwindow.h"

#include "appearance.h"
#include "bms_link.h"
#include "ui_mydialogwindow.h"

namespace
{

// A reply arrives ten times a second, and a new style sheet restyles the label:
// only a change of state touches it.
void show_link_state(QLabel *label, bool alive)
{
    const QString text = QCoreApplication::translate(
        "MyDialogWindow", alive ? "BMS IS CONNECTED" : "BMS IS DISCONNECTED");
    if (label->text() == text)
        return;
    label->setText(text);
    label->setStyleSheet(alive ? QStringLiteral("color: rgb(30, 150, 30)")
                               : QStringLiteral("color: rgb(150, 20, 20)"));
    fit_tooltip(label);
}

} // namespace

void MyDialogWindow::bms_registers_request_send_timer_overflow()
{
    link->pollTick();
}

void MyDialogWindow::comport_received()
{
    // One read may complete several frames, each taken in the order it came.
    const QVector<ReceptionResult> results = link->receive();
    for (const ReceptionResult &result : results) {
        if (!result.valid)
            continue;
        show_link_state(ui->label_connection_state, true);
        if (result.read_reply)
            registers_read(result.first_register, (result.length - 2) / 2);
        if (result.status_reply)
            process_last_received_update_command();
    }
}

void MyDialogWindow::disconnect_timer_overflow()
{
    show_link_state(ui->label_connection_state, false);
}
