#include "mydialogwindow.h"

#include "appearance.h"
#include "bms_link.h"
#include "monitor/display.h"
#include "ui_mydialogwindow.h"

#include <QTimer>

#include <iterator>

namespace
{

// A changed register may still give the same text (a status bit another field
// shows), and QLineEdit lays out and repaints even an equal one.
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

void MyDialogWindow::list_value_fields()
{
    const auto add = [this](QLineEdit *edit, int first, int count,
                            std::function<QString(const DisplayTexts &)> text) {
        value_fields.push_back({edit, nullptr, first, count, std::move(text)});
    };
    QLineEdit *const curve[] = {
        ui->lineEdit_dsg_curve1,  ui->lineEdit_dsg_curve2,  ui->lineEdit_dsg_curve3,
        ui->lineEdit_dsg_curve4,  ui->lineEdit_dsg_curve5,  ui->lineEdit_dsg_curve6,
        ui->lineEdit_dsg_curve7,  ui->lineEdit_dsg_curve8,  ui->lineEdit_dsg_curve9,
        ui->lineEdit_dsg_curve10, ui->lineEdit_dsg_curve11,
    };
    static_assert(std::size(curve) == DSG_CURVE_POINTS, "a field per point");
    for (size_t k = 0; k < DSG_CURVE_POINTS; ++k)
        add(curve[k], REG_DSG_CURVE + int(k), 1,
            [k](const DisplayTexts &t) { return t.dsg_curve[k]; });
    add(ui->lineEdit_serial_number, REG_SERIAL_NUMBER, SERIAL_NUMBER_BYTES / 2,
        [](const DisplayTexts &t) { return t.serial_number; });
    add(ui->lineEdit_bms_firmware, REG_BMS_FIRMWARE, 1,
        [](const DisplayTexts &t) { return t.firmware; });
    add(ui->lineEdit_battery_capacity, REG_BATTERY_CAPACITY, 1,
        [](const DisplayTexts &t) { return t.capacity; });
    add(ui->lineEdit_date_of_production, REG_DATE_OF_PRODUCTION, 1,
        [](const DisplayTexts &t) { return t.date_of_production; });
    add(ui->lineEdit_charging_state, REG_STATUS_FLAGS, 1,
        [](const DisplayTexts &t) { return t.charging; });
    add(ui->lineEdit_recuperation_enabled, REG_STATUS_FLAGS, 1,
        [](const DisplayTexts &t) { return t.recuperation_enabled; });
    add(ui->lineEdit_overheat_detected, REG_STATUS_FLAGS, 1,
        [](const DisplayTexts &t) { return t.overheat; });
    add(ui->lineEdit_remain_battery_capacity_mah, REG_REMAIN_BATTERY_CAPACITY_MAH, 1,
        [](const DisplayTexts &t) { return t.remaining_mah; });
    add(ui->lineEdit_remain_battery_capacity_percents, REG_REMAIN_BATTERY_CAPACITY_PERCENTS, 1,
        [](const DisplayTexts &t) { return t.remaining_percent; });
    add(ui->lineEdit_battery_current, REG_BATTERY_CURRENT, 1,
        [](const DisplayTexts &t) { return t.current_ma; });
    add(ui->lineEdit_battery_voltage, REG_BATTERY_VOLTAGE, 1,
        [](const DisplayTexts &t) { return t.voltage_mv; });
    add(ui->lineEdit_t1, REG_TEMPERATURES, 1, [](const DisplayTexts &t) { return t.t1; });
    add(ui->lineEdit_t2, REG_TEMPERATURES, 1, [](const DisplayTexts &t) { return t.t2; });

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
    static_assert(std::size(cells) == CELL_COUNT && std::size(balancing) == CELL_COUNT,
                  "a field and a label per cell");
    for (size_t k = 0; k < CELL_COUNT; ++k) {
        add(cells[k], REG_CELL_VOLTAGES + int(k), 1,
            [k](const DisplayTexts &t) { return t.cells[k]; });
        value_fields.push_back({nullptr, balancing[k], REG_BALANCING_CELLS, 1,
                                [k](const DisplayTexts &t) { return t.balancing[k]; }});
    }

    // The rows of the advanced settings, by the setting each shows.
    const auto add_setting = [&add](Setting s, QLineEdit *field) {
        const SettingDef &def = setting_def(s);
        add(field, def.reg, def.words,
            [s](const DisplayTexts &t) { return t.settings[static_cast<size_t>(s)]; });
    };
    using S = Setting;
    add_setting(S::ChargeOvercurrent, ui->lineEdit_undercurrent_current);
    add_setting(S::ChargeOvercurrentDelay, ui->lineEdit_undercurrent_delay);
    add_setting(S::ChargeOvercurrentCooldown, ui->lineEdit_undercurrent_holding_time);
    add_setting(S::DischargeOvercurrent, ui->lineEdit_overcurrent_current);
    add_setting(S::DischargeOvercurrentDelay, ui->lineEdit_overcurrent_delay);
    add_setting(S::DischargeOvercurrentCooldown, ui->lineEdit_overcurrent_holding_time);
    add_setting(S::ShortCircuitCurrent, ui->lineEdit_short_circuit_current);
    add_setting(S::ShortCircuitDelay, ui->lineEdit_short_circuit_delay);
    add_setting(S::ShortCircuitCooldown, ui->lineEdit_short_circuit_cooldown);
    add_setting(S::Overvoltage, ui->lineEdit_overvoltage);
    add_setting(S::OvervoltageHysteresis, ui->lineEdit_overvoltage_hysteresis);
    add_setting(S::OvervoltageDelay, ui->lineEdit_overvoltage_delay);
    add_setting(S::Undervoltage, ui->lineEdit_undervoltage);
    add_setting(S::UndervoltageHysteresis, ui->lineEdit_undervoltage_hysteresis);
    add_setting(S::UndervoltageDelay, ui->lineEdit_undervoltage_delay);
    add_setting(S::BalanceMode, ui->lineEdit_balance_mode);
    add_setting(S::ShutdownVoltage, ui->lineEdit_shutdown_voltage);
    add_setting(S::LowestVoltageToBalance, ui->lineEdit_lowest_voltage_to_balance);
    add_setting(S::CellDisbalanceThreshold, ui->lineEdit_disbalance_thr);
    add_setting(S::RecuperationDisableVoltage, ui->lineEdit_recuperation_disable_voltage);
    add_setting(S::CriticalTemperature, ui->lineEdit_critical_int_temp);
    add_setting(S::CriticalTemperatureDelay, ui->lineEdit_critical_temp_delay);
    add_setting(S::CriticalTemperatureHysteresis, ui->lineEdit_critical_temp_hysteresis);
    add_setting(S::AdcGain, ui->lineEdit_adc_gain);
    add_setting(S::AdcOffset, ui->lineEdit_adc_offset);

    add(ui->lineEdit_charging_enabled, REG_CHARGING_ENABLED, 1,
        [](const DisplayTexts &t) { return t.charging_enabled; });
    add(ui->lineEdit_discharging_enabled, REG_DISCHARGING_ENABLED, 1,
        [](const DisplayTexts &t) { return t.discharging_enabled; });
    add(ui->lineEdit_bms_serial, REG_BMS_SERIAL, BMS_SERIAL_BYTES / 2,
        [](const DisplayTexts &t) { return t.bms_serial; });
}

void MyDialogWindow::refresh_values()
{
    const RegisterImage &image = link->image();
    if (registers_shown == registers_read_now && image_shown == image)
        return;
    // Only the fields whose registers changed, or became known, are looked at: each
    // costs a visit to a widget that has been out of the caches since the last
    // refresh, and most of a moving pack's seventy fields stay as they are.
    std::bitset<128> changed = registers_shown ^ registers_read_now;
    for (size_t r = 0; r < changed.size(); ++r)
        if (image[2 * r] != image_shown[2 * r] || image[2 * r + 1] != image_shown[2 * r + 1])
            changed.set(r);
    registers_shown = registers_read_now;
    image_shown = image;
    const DisplayTexts t = display_texts(image);
    for (const ValueField &v : qAsConst(value_fields)) {
        bool touched = false;
        for (int r = v.first; r < v.first + v.count; ++r)
            touched = touched || changed.test(size_t(r));
        if (!touched)
            continue;
        // A field stays empty until a reply of this connection has covered its
        // registers: the image may still hold another pack's values, or none at all.
        const bool known = read_now(v.first, v.count);
        if (v.edit)
            show_text(v.edit, known ? v.text(t) : QString());
        else
            show_text(v.label, known ? v.text(t) : QStringLiteral("-"));
    }
}

void MyDialogWindow::values_refresh_timer_overflow()
{
    refresh_values();
    values_refresh_timer->start(values_refresh_period_ms);
}
