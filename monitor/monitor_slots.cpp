#include "app/mydialogwindow.h"
#include "app/program_state.h"

void MyDialogWindow::refresh_values() {}

void MyDialogWindow::values_refresh_timer_overflow() {}
