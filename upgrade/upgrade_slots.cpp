#include "app/mydialogwindow.h"
#include "app/program_state.h"

void MyDialogWindow::firmware_upgrade() {}

void MyDialogWindow::upgrade_command_check_last_executed_command_timer_overflow() {}

void MyDialogWindow::upgrade_command_retry_timer_overflow() {}

void MyDialogWindow::firmware_upgrade_next_step() {}

void MyDialogWindow::process_last_received_update_command() {}
