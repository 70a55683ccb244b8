#include "mydialogwindow.h"

#include "bms_link.h"
#include "settings/settings.h"
#include "ui_mydialogwindow.h"

namespace
{

// Set writes what the input shows, or nothing. An input that shows no value (a
// combo box with nothing chosen, a line edit left empty) writes nothing, and the
// log pane says so with the row's label and, for a value the list does not offer,
// what the BMS holds.
bool shows_a_value(const QWidget *input)
{
    const auto *box = qobject_cast<const QComboBox *>(input);
    const auto *edit = qobject_cast<const QLineEdit *>(input);
    if (box ? box->currentIndex() >= 0 : !edit->text().trimmed().isEmpty())
        return true;
    // The label and the value field of the input's row: left of it, level with it.
    QString label;
    QString held;
    const int middle = input->geometry().center().y();
    const auto siblings = input->parentWidget()->children();
    for (const QObject *sibling : siblings) {
        const auto *w = qobject_cast<const QWidget *>(sibling);
        if (!w || w->x() >= input->x() || middle < w->y() || middle > w->geometry().bottom())
            continue;
        if (const auto *l = qobject_cast<const QLabel *>(w))
            label = l->text();
        else if (const auto *field = qobject_cast<const QLineEdit *>(w))
            held = field->text();
    }
    const char *why = !box             ? "Nothing written for %1: a value must be entered"
                      : held.isEmpty() ? "Nothing written for %1: a value must be chosen"
                                       : "Nothing written for %1: the BMS holds %2, which is "
                                         "not in the list; a value must be chosen";
    QString line = QCoreApplication::translate("MyDialogWindow", why).arg(label);
    if (box && !held.isEmpty())
        line = line.arg(held);
    if (auto *log = input->window()->findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit")))
        log->appendPlainText(line);
    return false;
}

// A value the window does not accept is dropped before anything happens, so the
// polling timer keeps its phase. A write restarts the polling countdown, so the
// next read request leaves no sooner than one period after it (and polling
// resumes if it was stopped).
void write(BmsLink *link, Setting setting, const std::optional<QByteArray> &bytes)
{
    if (!bytes)
        return;
    link->startPolling();
    link->writeRegisters(setting_def(setting).reg, *bytes);
}

void write(BmsLink *link, Setting setting, const QComboBox *box)
{
    if (!shows_a_value(box))
        return;
    write(link, setting,
          encode_window_input(setting_def(setting), box->currentText(), box->currentIndex()));
}

void write(BmsLink *link, Setting setting, const QLineEdit *edit)
{
    // A serial number of spaces is a value; empty is none.
    if (setting == Setting::SerialNumber ? edit->text().isEmpty() && !shows_a_value(edit)
                                         : !shows_a_value(edit))
        return;
    write(link, setting, encode_window_input(setting_def(setting), edit->text(), -1));
}

} // namespace

void MyDialogWindow::set_parameter_serial_number()
{
    write(link, Setting::SerialNumber, ui->lineEdit_set_serial_number);
}

void MyDialogWindow::set_parameter_capacity()
{
    write(link, Setting::Capacity, ui->lineEdit_set_capacity);
}

void MyDialogWindow::set_parameter_date_of_production()
{
    if (!shows_a_value(ui->comboBox_set_day_of_production) ||
        !shows_a_value(ui->comboBox_set_month_of_production) ||
        !shows_a_value(ui->comboBox_set_year_of_production))
        return;
    write(link, Setting::DateOfProduction,
          encode_window_date(ui->comboBox_set_day_of_production->currentIndex(),
                             ui->comboBox_set_month_of_production->currentIndex(),
                             ui->comboBox_set_year_of_production->currentIndex()));
}

void MyDialogWindow::set_parameter_charge_overcurrent()
{
    write(link, Setting::ChargeOvercurrent, ui->comboBox_set_undercurrent_current);
}

void MyDialogWindow::set_parameter_charge_overcurrent_delay()
{
    write(link, Setting::ChargeOvercurrentDelay, ui->comboBox_set_undercurrent_delay);
}

void MyDialogWindow::set_parameter_charge_overcurrent_cooldown()
{
    write(link, Setting::ChargeOvercurrentCooldown, ui->comboBox_set_undercurrent_holding_time);
}

void MyDialogWindow::set_parameter_discharge_overcurrent()
{
    write(link, Setting::DischargeOvercurrent, ui->comboBox_set_overcurrent_current);
}

void MyDialogWindow::set_parameter_discharge_overcurrent_delay()
{
    write(link, Setting::DischargeOvercurrentDelay, ui->comboBox_set_overcurrent_delay);
}

void MyDialogWindow::set_parameter_discharge_overcurrent_cooldown()
{
    write(link, Setting::DischargeOvercurrentCooldown, ui->comboBox_set_overcurrent_holding_time);
}

void MyDialogWindow::set_parameter_short_circuit_current()
{
    write(link, Setting::ShortCircuitCurrent, ui->comboBox_set_short_circuit_current);
}

void MyDialogWindow::set_parameter_short_circuit_delay()
{
    write(link, Setting::ShortCircuitDelay, ui->comboBox_set_short_circuit_delay);
}

void MyDialogWindow::set_parameter_short_circuit_cooldown()
{
    write(link, Setting::ShortCircuitCooldown, ui->comboBox_set_short_circuit_cooldown);
}

void MyDialogWindow::set_parameter_overvoltage_voltage()
{
    write(link, Setting::Overvoltage, ui->lineEdit_set_overvoltage_voltage);
}

void MyDialogWindow::set_parameter_overvoltage_hysteresis()
{
    write(link, Setting::OvervoltageHysteresis, ui->lineEdit_set_overvoltage_hysteresis);
}

void MyDialogWindow::set_parameter_overvoltage_delay()
{
    write(link, Setting::OvervoltageDelay, ui->comboBox_set_overvoltage_delay);
}

void MyDialogWindow::set_parameter_undervoltage_voltage()
{
    write(link, Setting::Undervoltage, ui->lineEdit_set_undervoltage_voltage);
}

void MyDialogWindow::set_parameter_undervoltage_hysteresis()
{
    write(link, Setting::UndervoltageHysteresis, ui->lineEdit_set_undervoltage_hysteresis);
}

void MyDialogWindow::set_parameter_undervoltage_delay()
{
    write(link, Setting::UndervoltageDelay, ui->comboBox_set_undervoltage_delay);
}

void MyDialogWindow::set_parameter_balance_mode()
{
    write(link, Setting::BalanceMode, ui->comboBox_set_balance_mode);
}

void MyDialogWindow::set_parameter_shutdown_voltage()
{
    write(link, Setting::ShutdownVoltage, ui->lineEdit_set_shutdown_voltage);
}

void MyDialogWindow::set_parameter_lowest_voltage_to_balance()
{
    write(link, Setting::LowestVoltageToBalance, ui->lineEdit_set_lowest_voltage_to_balance);
}

void MyDialogWindow::set_parameter_cell_disbalance_threshold()
{
    write(link, Setting::CellDisbalanceThreshold, ui->lineEdit_set_disbalance_threshold);
}

void MyDialogWindow::set_parameter_recuperation_disable_voltage()
{
    write(link, Setting::RecuperationDisableVoltage, ui->lineEdit_set_recuperation_disable_voltage);
}

void MyDialogWindow::set_parameter_critical_int_temp()
{
    write(link, Setting::CriticalTemperature, ui->comboBox_set_critical_int_temp);
}

void MyDialogWindow::set_parameter_critical_temp_delay()
{
    write(link, Setting::CriticalTemperatureDelay, ui->comboBox_set_critical_temp_delay);
}

void MyDialogWindow::set_parameter_critical_temp_hysteresis()
{
    write(link, Setting::CriticalTemperatureHysteresis, ui->comboBox_set_critical_temp_hysteresis);
}

void MyDialogWindow::set_parameter_dsg_curve_manual()
{
    const QLineEdit *const entry_fields[] = {
        ui->lineEdit_set_dsg_curve1,  ui->lineEdit_set_dsg_curve2,  ui->lineEdit_set_dsg_curve3,
        ui->lineEdit_set_dsg_curve4,  ui->lineEdit_set_dsg_curve5,  ui->lineEdit_set_dsg_curve6,
        ui->lineEdit_set_dsg_curve7,  ui->lineEdit_set_dsg_curve8,  ui->lineEdit_set_dsg_curve9,
        ui->lineEdit_set_dsg_curve10, ui->lineEdit_set_dsg_curve11,
    };
    // The displayed curve is the last one read from the BMS: it fills the gaps.
    const QLineEdit *const display_fields[] = {
        ui->lineEdit_dsg_curve1,  ui->lineEdit_dsg_curve2,  ui->lineEdit_dsg_curve3,
        ui->lineEdit_dsg_curve4,  ui->lineEdit_dsg_curve5,  ui->lineEdit_dsg_curve6,
        ui->lineEdit_dsg_curve7,  ui->lineEdit_dsg_curve8,  ui->lineEdit_dsg_curve9,
        ui->lineEdit_dsg_curve10, ui->lineEdit_dsg_curve11,
    };
    CurveTexts entered;
    CurveTexts displayed;
    for (size_t k = 0; k < entered.size(); ++k) {
        entered[k] = entry_fields[k]->text();
        displayed[k] = display_fields[k]->text();
    }
    write(link, Setting::DischargeCurve, encode_window_curve(entered, displayed));
}

void MyDialogWindow::set_parameter_adc_gain()
{
    write(link, Setting::AdcGain, ui->comboBox_set_adc_gain);
}

void MyDialogWindow::set_parameter_adc_offset()
{
    write(link, Setting::AdcOffset, ui->lineEdit_set_adc_offset);
}
