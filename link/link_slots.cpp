#include "app/mydialogwindow.h"
#include "app/program_state.h"
#include "link/reception.h"
#include "link/serial_send.h"
#include "ui_mydialogwindow.h"

#include <QDebug>
#include <QSerialPort>
#include <QTimer>

void send_frame(const QByteArray &frame)
{
    serial_port->write(frame);
    serial_port->waitForBytesWritten(1000);
}

void MyDialogWindow::bms_registers_request_send_timer_overflow()
{
    // Requests are not paired with replies: whatever comes back is stored at the
    // register it names, so a lost reply simply waits for the next cycle.
    const PollRequest request = next_poll_request(register_request_offset);
    build_read_request(tx_frame, request.first_register,
                       static_cast<quint8>(2 * request.register_count));
    send_frame(tx_frame);
    register_request_offset = request.next_offset;
}

void MyDialogWindow::comport_received()
{
    const auto available = static_cast<quint8>(serial_port->bytesAvailable());
    rx_buffer = serial_port->readAll();
    const ReceptionResult result = receive_batch(available, rx_buffer, reply_buffer, bms_registers);
    serial_port->flush();
    if (!result.valid)
        return;

    // Any well-formed frame proves the link; only a read reply carries data.
    ui->label_connection_state->setText(tr("BMS IS CONNECTED"));
    ui->label_connection_state->setStyleSheet(QStringLiteral("color: rgb(30, 150, 30)"));
    disconnect_timer->start(disconnect_period_ms);
    if (!result.read_reply)
        return;

    qDebug() << "Correct reply received, copied to the bms registers array";
    if (result.status_reply)
        process_last_received_update_command();
}

void MyDialogWindow::disconnect_timer_overflow()
{
    ui->label_connection_state->setText(tr("BMS IS DISCONNECTED"));
    ui->label_connection_state->setStyleSheet(QStringLiteral("color: rgb(150, 20, 20)"));
}
