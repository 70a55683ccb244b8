#include "app/mydialogwindow.h"
#include "app/program_state.h"
#include "link/frame.h"
#include "link/serial_send.h"
#include "settings/discharge_curve.h"
#include "settings/identity.h"
#include "settings/parameter_rules.h"
#include "ui_mydialogwindow.h"

#include <QTimer>

namespace
{

// Every write restarts the polling countdown, so the next read request leaves no
// sooner than one period after the write (and polling resumes if it was stopped).
void write_registers(quint8 first_register, const QByteArray &data)
{
    bms_registers_request_send_timer->start(bms_request_period_ms);
    build_write_frame(tx_frame, first_register, data);
    send_frame(tx_frame);
}

void write_parameter(Parameter parameter, const QString &text, int index)
{
    const ParameterRule &rule = parameter_rule(parameter);
    // A refused value must leave the polling timer's phase alone, so nothing
    // happens before the value is known to be good.
    const std::optional<quint16> value = encode_parameter(rule, text, index);
    if (!value)
        return;
    write_registers(rule.reg, register_words({*value}));
}

void write_parameter(Parameter parameter, const QComboBox *box)
{
    write_parameter(parameter, box->currentText(), box->currentIndex());
}

void write_parameter(Parameter parameter, const QLineEdit *edit)
{
    write_parameter(parameter, edit->text(), -1);
}

} // namespace

void MyDialogWindow::set_parameter_serial_number()
{
    write_registers(REG_SERIAL_NUMBER,
                    encode_serial_number(ui->lineEdit_set_serial_number->text()));
}

void MyDialogWindow::set_parameter_capacity()
{
    const std::optional<quint16> mah = encode_capacity(ui->lineEdit_set_capacity->text());
    if (!mah)
        return;
    write_registers(REG_BATTERY_CAPACITY, register_words({*mah}));
}

void MyDialogWindow::set_parameter_date_of_production()
{
    const quint16 date =
        encode_production_date(ui->comboBox_set_day_of_production->currentIndex(),
                               ui->comboBox_set_month_of_production->currentIndex(),
                               ui->comboBox_set_year_of_production->currentIndex());
    write_registers(REG_DATE_OF_PRODUCTION, register_words({date}));
}

void MyDialogWindow::set_parameter_charge_overcurrent()
{
    write_parameter(Parameter::ChargeOvercurrent, ui->comboBox_set_undercurrent_current);
}

void MyDialogWindow::set_parameter_charge_overcurrent_delay()
{
    write_parameter(Parameter::ChargeOvercurrentDelay, ui->comboBox_set_undercurrent_delay);
}

void MyDialogWindow::set_parameter_charge_overcurrent_cooldown()
{
    write_parameter(Parameter::ChargeOvercurrentCooldown,
                    ui->comboBox_set_undercurrent_holding_time);
}

void MyDialogWindow::set_parameter_discharge_overcurrent()
{
    write_parameter(Parameter::DischargeOvercurrent, ui->comboBox_set_overcurrent_current);
}

void MyDialogWindow::set_parameter_discharge_overcurrent_delay()
{
    write_parameter(Parameter::DischargeOvercurrentDelay, ui->comboBox_set_overcurrent_delay);
}

void MyDialogWindow::set_parameter_discharge_overcurrent_cooldown()
{
    write_parameter(Parameter::DischargeOvercurrentCooldown,
                    ui->comboBox_set_overcurrent_holding_time);
}

void MyDialogWindow::set_parameter_short_circuit_current()
{
    write_parameter(Parameter::ShortCircuitCurrent, ui->comboBox_set_short_circuit_current);
}

void MyDialogWindow::set_parameter_short_circuit_delay()
{
    write_parameter(Parameter::ShortCircuitDelay, ui->comboBox_set_short_circuit_delay);
}

void MyDialogWindow::set_parameter_short_circuit_cooldown()
{
    write_parameter(Parameter::ShortCircuitCooldown, ui->comboBox_set_short_circuit_cooldown);
}

void MyDialogWindow::set_parameter_overvoltage_voltage()
{
    write_parameter(Parameter::OvervoltageVoltage, ui->lineEdit_set_overvoltage_voltage);
}

void MyDialogWindow::set_parameter_overvoltage_hysteresis()
{
    write_parameter(Parameter::OvervoltageHysteresis, ui->lineEdit_set_overvoltage_hysteresis);
}

void MyDialogWindow::set_parameter_overvoltage_delay()
{
    write_parameter(Parameter::OvervoltageDelay, ui->comboBox_set_overvoltage_delay);
}

void MyDialogWindow::set_parameter_undervoltage_voltage()
{
    write_parameter(Parameter::UndervoltageVoltage, ui->lineEdit_set_undervoltage_voltage);
}

void MyDialogWindow::set_parameter_undervoltage_hysteresis()
{
    write_parameter(Parameter::UndervoltageHysteresis, ui->lineEdit_set_undervoltage_hysteresis);
}

void MyDialogWindow::set_parameter_undervoltage_delay()
{
    write_parameter(Parameter::UndervoltageDelay, ui->comboBox_set_undervoltage_delay);
}

void MyDialogWindow::set_parameter_balance_mode()
{
    write_parameter(Parameter::BalanceMode, ui->comboBox_set_balance_mode);
}

void MyDialogWindow::set_parameter_shutdown_voltage()
{
    write_parameter(Parameter::ShutdownVoltage, ui->lineEdit_set_shutdown_voltage);
}

void MyDialogWindow::set_parameter_lowest_voltage_to_balance()
{
    write_parameter(Parameter::LowestVoltageToBalance, ui->lineEdit_set_lowest_voltage_to_balance);
}

void MyDialogWindow::set_parameter_cell_disbalance_threshold()
{
    write_parameter(Parameter::CellDisbalanceThreshold, ui->lineEdit_set_disbalance_threshold);
}

void MyDialogWindow::set_parameter_recuperation_disable_voltage()
{
    write_parameter(Parameter::RecuperationDisableVoltage,
                    ui->lineEdit_set_recuperation_disable_voltage);
}

void MyDialogWindow::set_parameter_critical_int_temp()
{
    write_parameter(Parameter::CriticalIntTemp, ui->comboBox_set_critical_int_temp);
}

void MyDialogWindow::set_parameter_critical_temp_delay()
{
    write_parameter(Parameter::CriticalTempDelay, ui->comboBox_set_critical_temp_delay);
}

void MyDialogWindow::set_parameter_critical_temp_hysteresis()
{
    write_parameter(Parameter::CriticalTempHysteresis, ui->comboBox_set_critical_temp_hysteresis);
}

void MyDialogWindow::set_parameter_dsg_curve_manual()
{
    const QLineEdit *const entry_fields[DSG_CURVE_POINTS] = {
        ui->lineEdit_set_dsg_curve1,  ui->lineEdit_set_dsg_curve2,  ui->lineEdit_set_dsg_curve3,
        ui->lineEdit_set_dsg_curve4,  ui->lineEdit_set_dsg_curve5,  ui->lineEdit_set_dsg_curve6,
        ui->lineEdit_set_dsg_curve7,  ui->lineEdit_set_dsg_curve8,  ui->lineEdit_set_dsg_curve9,
        ui->lineEdit_set_dsg_curve10, ui->lineEdit_set_dsg_curve11,
    };
    // The displayed curve is the last one read from the BMS: it fills the gaps.
    const QLineEdit *const display_fields[DSG_CURVE_POINTS] = {
        ui->lineEdit_dsg_curve1,  ui->lineEdit_dsg_curve2,  ui->lineEdit_dsg_curve3,
        ui->lineEdit_dsg_curve4,  ui->lineEdit_dsg_curve5,  ui->lineEdit_dsg_curve6,
        ui->lineEdit_dsg_curve7,  ui->lineEdit_dsg_curve8,  ui->lineEdit_dsg_curve9,
        ui->lineEdit_dsg_curve10, ui->lineEdit_dsg_curve11,
    };
    CurveTexts entered;
    CurveTexts displayed;
    for (int k = 0; k < DSG_CURVE_POINTS; ++k) {
        entered[k] = entry_fields[k]->text();
        displayed[k] = display_fields[k]->text();
    }
    const std::optional<DischargeCurve> curve = merge_discharge_curve(entered, displayed);
    if (!curve)
        return;
    write_registers(REG_DSG_CURVE, discharge_curve_data(*curve));
}

void MyDialogWindow::set_parameter_adc_gain()
{
    write_parameter(Parameter::AdcGain, ui->comboBox_set_adc_gain);
}

void MyDialogWindow::set_parameter_adc_offset()
{
    write_parameter(Parameter::AdcOffset, ui->lineEdit_set_adc_offset);
}
