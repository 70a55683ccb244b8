#ifndef TESTS_SET_BUTTONS_H
#define TESTS_SET_BUTTONS_H

// The 29 "Set" buttons in the order of their slots, the register each writes and,
// where the value is typed, the line edit and a value inside its range. The charge
// overcurrent rows carry "undercurrent" names and the discharge rows "overcurrent".
struct SetButton {
    const char *button;
    int reg;
    const char *line_edit = nullptr;
    const char *text = nullptr;
};

inline const SetButton set_buttons[29] = {
    {"pushButton_set_serial_number", 0x10},
    {"pushButton_set_capacity", 0x18, "lineEdit_set_capacity", "1000"},
    {"pushButton_set_date_of_production", 0x20},
    {"pushButton_set_undercurrent_current", 0x57},
    {"pushButton_set_undercurrent_delay", 0x58},
    {"pushButton_set_undercurrent_holding_time", 0x59},
    {"pushButton_set_overcurrent_current", 0x54},
    {"pushButton_set_overcurrent_delay", 0x55},
    {"pushButton_set_overcurrent_holding_time", 0x56},
    {"pushButton_set_short_circuit_current", 0x51},
    {"pushButton_set_short_circuit_delay", 0x52},
    {"pushButton_set_short_circuit_cooldown", 0x53},
    {"pushButton_set_overvoltage_voltage", 0x5A, "lineEdit_set_overvoltage_voltage", "4100"},
    {"pushButton_set_overvoltage_hysteresis", 0x5C, "lineEdit_set_overvoltage_hysteresis", "100"},
    {"pushButton_set_overvoltage_delay", 0x5B},
    {"pushButton_set_undervoltage_voltage", 0x5D, "lineEdit_set_undervoltage_voltage", "3000"},
    {"pushButton_set_undervoltage_hysteresis", 0x5F, "lineEdit_set_undervoltage_hysteresis", "100"},
    {"pushButton_set_undervoltage_delay", 0x5E},
    {"pushButton_set_balance_mode", 0x6D},
    {"pushButton_set_shutdown_voltage", 0x63, "lineEdit_set_shutdown_voltage", "2500"},
    {"pushButton_set_lowest_voltage_to_balance", 0x61, "lineEdit_set_lowest_voltage_to_balance",
     "3500"},
    {"pushButton_set_cell_disbalance_threshold", 0x62, "lineEdit_set_disbalance_threshold", "50"},
    {"pushButton_set_recuperation_disable_voltage", 0x67,
     "lineEdit_set_recuperation_disable_voltage", "4000"},
    {"pushButton_set_critical_int_temp", 0x64},
    {"pushButton_set_critical_temp_delay", 0x65},
    {"pushButton_set_critical_temp_hysteresis", 0x66},
    {"pushButton_set_dsg_curve_manual", 0x05},
    {"pushButton_set_adc_gain", 0x6B},
    {"pushButton_set_adc_offset", 0x6C, "lineEdit_set_adc_offset", "3"},
};

#endif // TESTS_SET_BUTTONS_H
