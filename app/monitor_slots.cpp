#include "mydialogwindow.h"

#include "appearance.h"
#include "bms_link.h"
#include "monitor/display.h"
#include "ui_mydialogwindow.h"

#include <QTimer>

void MyDialogWindow::refresh_values()
{
    const DisplayTexts t = display_texts(link->image());
    QLineEdit *const curve[] = {
        ui->lineEdit_dsg_curve1,  ui->lineEdit_dsg_curve2,  ui->lineEdit_dsg_curve3,
        ui->lineEdit_dsg_curve4,  ui->lineEdit_dsg_curve5,  ui->lineEdit_dsg_curve6,
        ui->lineEdit_dsg_curve7,  ui->lineEdit_dsg_curve8,  ui->lineEdit_dsg_curve9,
        ui->lineEdit_dsg_curve10, ui->lineEdit_dsg_curve11,
    };
    for (size_t k = 0; k < t.dsg_curve.size(); ++k)
        curve[k]->setText(t.dsg_curve[k]);
    ui->lineEdit_serial_number->setText(t.serial_number);
    ui->lineEdit_bms_firmware->setText(t.firmware);
    ui->lineEdit_battery_capacity->setText(t.capacity);
    ui->lineEdit_date_of_production->setText(t.date_of_production);
    ui->lineEdit_charging_state->setText(t.charging);
    ui->lineEdit_recuperation_enabled->setText(t.recuperation_enabled);
    ui->lineEdit_overheat_detected->setText(t.overheat);
    ui->lineEdit_remain_battery_capacity_mah->setText(t.remaining_mah);
    ui->lineEdit_remain_battery_capacity_percents->setText(t.remaining_percent);
    ui->lineEdit_battery_current->setText(t.current_ma);
    ui->lineEdit_battery_voltage->setText(t.voltage_mv);
    ui->lineEdit_t1->setText(t.t1);
    ui->lineEdit_t2->setText(t.t2);

    QLineEdit *const cells[] = {
        ui->lineEdit_cell1, ui->lineEdit_cell2,  ui->lineEdit_cell3, ui->lineEdit_cell4,
        ui->lineEdit_cell5, ui->lineEdit_cell6,  ui->lineEdit_cell7, ui->lineEdit_cell8,
        ui->lineEdit_cell9, ui->lineEdit_cell10,
    };
    QLabel *const balancing[] = {
        ui->label_cell_balancing1,  ui->label_cell_balancing2, ui->label_cell_balancing3,
        ui->label_cell_balancing4,  ui->label_cell_balancing5, ui->label_cell_balancing6,
        ui->label_cell_balancing7,  ui->label_cell_balancing8, ui->label_cell_balancing9,
        ui->label_cell_balancing10,
    };
    for (size_t k = 0; k < t.cells.size(); ++k) {
        cells[k]->setText(t.cells[k]);
        balancing[k]->setText(t.balancing[k]);
        fit_tooltip(balancing[k]);
    }

    // The rows of the advanced settings, by the setting each shows.
    const auto show = [&t](Setting s, QLineEdit *field) {
        field->setText(t.settings[static_cast<size_t>(s)]);
    };
    using S = Setting;
    show(S::ChargeOvercurrent, ui->lineEdit_undercurrent_current);
    show(S::ChargeOvercurrentDelay, ui->lineEdit_undercurrent_delay);
    show(S::ChargeOvercurrentCooldown, ui->lineEdit_undercurrent_holding_time);
    show(S::DischargeOvercurrent, ui->lineEdit_overcurrent_current);
    show(S::DischargeOvercurrentDelay, ui->lineEdit_overcurrent_delay);
    show(S::DischargeOvercurrentCooldown, ui->lineEdit_overcurrent_holding_time);
    show(S::ShortCircuitCurrent, ui->lineEdit_short_circuit_current);
    show(S::ShortCircuitDelay, ui->lineEdit_short_circuit_delay);
    show(S::ShortCircuitCooldown, ui->lineEdit_short_circuit_cooldown);
    show(S::Overvoltage, ui->lineEdit_overvoltage);
    show(S::OvervoltageHysteresis, ui->lineEdit_overvoltage_hysteresis);
    show(S::OvervoltageDelay, ui->lineEdit_overvoltage_delay);
    show(S::Undervoltage, ui->lineEdit_undervoltage);
    show(S::UndervoltageHysteresis, ui->lineEdit_undervoltage_hysteresis);
    show(S::UndervoltageDelay, ui->lineEdit_undervoltage_delay);
    show(S::BalanceMode, ui->lineEdit_balance_mode);
    show(S::ShutdownVoltage, ui->lineEdit_shutdown_voltage);
    show(S::LowestVoltageToBalance, ui->lineEdit_lowest_voltage_to_balance);
    show(S::CellDisbalanceThreshold, ui->lineEdit_disbalance_thr);
    show(S::RecuperationDisableVoltage, ui->lineEdit_recuperation_disable_voltage);
    show(S::CriticalTemperature, ui->lineEdit_critical_int_temp);
    show(S::CriticalTemperatureDelay, ui->lineEdit_critical_temp_delay);
    show(S::CriticalTemperatureHysteresis, ui->lineEdit_critical_temp_hysteresis);
    show(S::AdcGain, ui->lineEdit_adc_gain);
    show(S::AdcOffset, ui->lineEdit_adc_offset);

    ui->lineEdit_charging_enabled->setText(t.charging_enabled);
    ui->lineEdit_discharging_enabled->setText(t.discharging_enabled);
    ui->lineEdit_bms_serial->setText(t.bms_serial);
}

void MyDialogWindow::values_refresh_timer_overflow()
{
    refresh_values();
    values_refresh_timer->start(values_refresh_period_ms);
}
