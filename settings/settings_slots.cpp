#include "app/mydialogwindow.h"
#include "app/program_state.h"

void MyDialogWindow::set_parameter_serial_number() {}

void MyDialogWindow::set_parameter_capacity() {}

void MyDialogWindow::set_parameter_date_of_production() {}

void MyDialogWindow::set_parameter_charge_overcurrent() {}

void MyDialogWindow::set_parameter_charge_overcurrent_delay() {}

void MyDialogWindow::set_parameter_charge_overcurrent_cooldown() {}

void MyDialogWindow::set_parameter_discharge_overcurrent() {}

void MyDialogWindow::set_parameter_discharge_overcurrent_delay() {}

void MyDialogWindow::set_parameter_discharge_overcurrent_cooldown() {}

void MyDialogWindow::set_parameter_short_circuit_current() {}

void MyDialogWindow::set_parameter_short_circuit_delay() {}

void MyDialogWindow::set_parameter_short_circuit_cooldown() {}

void MyDialogWindow::set_parameter_overvoltage_voltage() {}

void MyDialogWindow::set_parameter_overvoltage_hysteresis() {}

void MyDialogWindow::set_parameter_overvoltage_delay() {}

void MyDialogWindow::set_parameter_undervoltage_voltage() {}

void MyDialogWindow::set_parameter_undervoltage_hysteresis() {}

void MyDialogWindow::set_parameter_undervoltage_delay() {}

void MyDialogWindow::set_parameter_balance_mode() {}

void MyDialogWindow::set_parameter_shutdown_voltage() {}

void MyDialogWindow::set_parameter_lowest_voltage_to_balance() {}

void MyDialogWindow::set_parameter_cell_disbalance_threshold() {}

void MyDialogWindow::set_parameter_recuperation_disable_voltage() {}

void MyDialogWindow::set_parameter_critical_int_temp() {}

void MyDialogWindow::set_parameter_critical_temp_delay() {}

void MyDialogWindow::set_parameter_critical_temp_hysteresis() {}

void MyDialogWindow::set_parameter_dsg_curve_manual() {}

void MyDialogWindow::set_parameter_adc_gain() {}

void MyDialogWindow::set_parameter_adc_offset() {}
