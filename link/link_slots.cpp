#include "app/mydialogwindow.h"
#include "app/program_state.h"
#include "link/serial_send.h"

#include <QSerialPort>

void send_frame(const QByteArray &frame)
{
    serial_port->write(frame);
    serial_port->waitForBytesWritten(1000);
}

void MyDialogWindow::bms_registers_request_send_timer_overflow() {}

void MyDialogWindow::comport_received() {}

void MyDialogWindow::disconnect_timer_overflow() {}
