#include "mydialogwindow.h"

#include "appearance.h"
#include "bms_link.h"
#include "monitor/display.h"
#include "ui_mydialogwindow.h"

#include <QTimer>

namespace
{

// Most fields keep their text from one refresh to the next, and QLineEdit lays
// out and repaints even an equal text: twice a second for some seventy fields.
void show_text(QLineEdit *field, const QString &text)
{
    if (field->text() != text)
        field->setText(text);
}

void show_text(QLabel *label, const QString &text)
{
    if (label->text() == text)
        return;
    label->setText(text);
    fit_tooltip(label);
}

} // namespace

void MyDialogWindow::refresh_values()
{
    if (registers_shown == registers_read_now && image_shown == link->image())
        return;
    registers_shown = registers_read_now;
    image_shown = link->image();
    const DisplayTexts t = display_texts(link->image());
    // A field stays empty until a reply of this connection has covered its
    // registers: the image may still hold another pack's values, or none at all.
    const auto known = [this](int first, int count, const QString &text) {
        return read_now(first, count) ? text : QString();
    };
    QLineEdit *const curve[] = {
        ui->lineEdit_dsg_curve1,  ui->lineEdit_dsg_curve2,  ui->lineEdit_dsg_curve3,
        ui->lineEdit_dsg_curve4,  ui->lineEdit_dsg_curve5,  ui->lineEdit_dsg_curve6,
        ui->lineEdit_dsg_curve7,  ui->lineEdit_dsg_curve8,  ui->lineEdit_dsg_curve9,
        ui->lineEdit_dsg_curve10, ui->lineEdit_dsg_curve11,
    };
    for (size_t k = 0; k < t.dsg_curve.size(); ++k)
        show_text(curve[k], known(REG_DSG_CURVE + int(k), 1, t.dsg_curve[k]));
    show_text(ui->lineEdit_serial_number,
              known(REG_SERIAL_NUMBER, SERIAL_NUMBER_BYTES / 2, t.serial_number));
    show_text(ui->lineEdit_bms_firmware, known(REG_BMS_FIRMWARE, 1, t.firmware));
    show_text(ui->lineEdit_battery_capacity, known(REG_BATTERY_CAPACITY, 1, t.capacity));
    show_text(ui->lineEdit_date_of_production,
              known(REG_DATE_OF_PRODUCTION, 1, t.date_of_production));
    show_text(ui->lineEdit_charging_state, known(REG_STATUS_FLAGS, 1, t.charging));
    show_text(ui->lineEdit_recuperation_enabled,
              known(REG_STATUS_FLAGS, 1, t.recuperation_enabled));
    show_text(ui->lineEdit_overheat_detected, known(REG_STATUS_FLAGS, 1, t.overheat));
    show_text(ui->lineEdit_remain_battery_capacity_mah,
              known(REG_REMAIN_BATTERY_CAPACITY_MAH, 1, t.remaining_mah));
    show_text(ui->lineEdit_remain_battery_capacity_percents,
              known(REG_REMAIN_BATTERY_CAPACITY_PERCENTS, 1, t.remaining_percent));
    show_text(ui->lineEdit_battery_current, known(REG_BATTERY_CURRENT, 1, t.current_ma));
    show_text(ui->lineEdit_battery_voltage, known(REG_BATTERY_VOLTAGE, 1, t.voltage_mv));
    show_text(ui->lineEdit_t1, known(REG_TEMPERATURES, 1, t.t1));
    show_text(ui->lineEdit_t2, known(REG_TEMPERATURES, 1, t.t2));

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
    const bool balancing_read = read_now(REG_BALANCING_CELLS, 1);
    for (size_t k = 0; k < t.cells.size(); ++k) {
        show_text(cells[k], known(REG_CELL_VOLTAGES + int(k), 1, t.cells[k]));
        show_text(balancing[k], balancing_read ? t.balancing[k] : QStringLiteral("-"));
    }

    // The rows of the advanced settings, by the setting each shows.
    const auto show_setting = [&t, &known](Setting s, QLineEdit *field) {
        const SettingDef &def = setting_def(s);
        show_text(field, known(def.reg, def.words, t.settings[static_cast<size_t>(s)]));
    };
    using S = Setting;
    show_setting(S::ChargeOvercurrent, ui->lineEdit_undercurrent_current);
    show_setting(S::ChargeOvercurrentDelay, ui->lineEdit_undercurrent_delay);
    show_setting(S::ChargeOvercurrentCooldown, ui->lineEdit_undercurrent_holding_time);
    show_setting(S::DischargeOvercurrent, ui->lineEdit_overcurrent_current);
    show_setting(S::DischargeOvercurrentDelay, ui->lineEdit_overcurrent_delay);
    show_setting(S::DischargeOvercurrentCooldown, ui->lineEdit_overcurrent_holding_time);
    show_setting(S::ShortCircuitCurrent, ui->lineEdit_short_circuit_current);
    show_setting(S::ShortCircuitDelay, ui->lineEdit_short_circuit_delay);
    show_setting(S::ShortCircuitCooldown, ui->lineEdit_short_circuit_cooldown);
    show_setting(S::Overvoltage, ui->lineEdit_overvoltage);
    show_setting(S::OvervoltageHysteresis, ui->lineEdit_overvoltage_hysteresis);
    show_setting(S::OvervoltageDelay, ui->lineEdit_overvoltage_delay);
    show_setting(S::Undervoltage, ui->lineEdit_undervoltage);
    show_setting(S::UndervoltageHysteresis, ui->lineEdit_undervoltage_hysteresis);
    show_setting(S::UndervoltageDelay, ui->lineEdit_undervoltage_delay);
    show_setting(S::BalanceMode, ui->lineEdit_balance_mode);
    show_setting(S::ShutdownVoltage, ui->lineEdit_shutdown_voltage);
    show_setting(S::LowestVoltageToBalance, ui->lineEdit_lowest_voltage_to_balance);
    show_setting(S::CellDisbalanceThreshold, ui->lineEdit_disbalance_thr);
    show_setting(S::RecuperationDisableVoltage, ui->lineEdit_recuperation_disable_voltage);
    show_setting(S::CriticalTemperature, ui->lineEdit_critical_int_temp);
    show_setting(S::CriticalTemperatureDelay, ui->lineEdit_critical_temp_delay);
    show_setting(S::CriticalTemperatureHysteresis, ui->lineEdit_critical_temp_hysteresis);
    show_setting(S::AdcGain, ui->lineEdit_adc_gain);
    show_setting(S::AdcOffset, ui->lineEdit_adc_offset);

    show_text(ui->lineEdit_charging_enabled, known(REG_CHARGING_ENABLED, 1, t.charging_enabled));
    show_text(ui->lineEdit_discharging_enabled,
              known(REG_DISCHARGING_ENABLED, 1, t.discharging_enabled));
    show_text(ui->lineEdit_bms_serial, known(REG_BMS_SERIAL, BMS_SERIAL_BYTES / 2, t.bms_serial));
}

void MyDialogWindow::values_refresh_timer_overflow()
{
    refresh_values();
    values_refresh_timer->start(values_refresh_period_ms);
}
