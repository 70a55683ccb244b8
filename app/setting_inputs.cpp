#include "mydialogwindow.h"

#include "bms_link.h"
#include "ui_mydialogwindow.h"

#include <QRegularExpression>

namespace
{

// The registers an input's value comes from.
void registers_of(const SettingDef &def, int part, int &first, int &count)
{
    first = def.reg;
    count = def.words;
    if (def.form == SettingForm::Curve) {
        first += part;
        count = 1;
    }
}

bool is_value_field(const QLineEdit *field)
{
    return !field->objectName().startsWith(QLatin1String("lineEdit_set_")) &&
           !qobject_cast<const QComboBox *>(field->parentWidget());
}

} // namespace

void MyDialogWindow::track_setting_inputs()
{
    using S = Setting;
    setting_inputs = {
        {ui->lineEdit_set_serial_number, S::SerialNumber, 0},
        {ui->lineEdit_set_capacity, S::Capacity, 0},
        {ui->comboBox_set_day_of_production, S::DateOfProduction, 0},
        {ui->comboBox_set_month_of_production, S::DateOfProduction, 1},
        {ui->comboBox_set_year_of_production, S::DateOfProduction, 2},
        {ui->comboBox_set_undercurrent_current, S::ChargeOvercurrent, 0},
        {ui->comboBox_set_undercurrent_delay, S::ChargeOvercurrentDelay, 0},
        {ui->comboBox_set_undercurrent_holding_time, S::ChargeOvercurrentCooldown, 0},
        {ui->comboBox_set_overcurrent_current, S::DischargeOvercurrent, 0},
        {ui->comboBox_set_overcurrent_delay, S::DischargeOvercurrentDelay, 0},
        {ui->comboBox_set_overcurrent_holding_time, S::DischargeOvercurrentCooldown, 0},
        {ui->comboBox_set_short_circuit_current, S::ShortCircuitCurrent, 0},
        {ui->comboBox_set_short_circuit_delay, S::ShortCircuitDelay, 0},
        {ui->comboBox_set_short_circuit_cooldown, S::ShortCircuitCooldown, 0},
        {ui->lineEdit_set_overvoltage_voltage, S::Overvoltage, 0},
        {ui->lineEdit_set_overvoltage_hysteresis, S::OvervoltageHysteresis, 0},
        {ui->comboBox_set_overvoltage_delay, S::OvervoltageDelay, 0},
        {ui->lineEdit_set_undervoltage_voltage, S::Undervoltage, 0},
        {ui->lineEdit_set_undervoltage_hysteresis, S::UndervoltageHysteresis, 0},
        {ui->comboBox_set_undervoltage_delay, S::UndervoltageDelay, 0},
        {ui->comboBox_set_balance_mode, S::BalanceMode, 0},
        {ui->lineEdit_set_shutdown_voltage, S::ShutdownVoltage, 0},
        {ui->lineEdit_set_lowest_voltage_to_balance, S::LowestVoltageToBalance, 0},
        {ui->lineEdit_set_disbalance_threshold, S::CellDisbalanceThreshold, 0},
        {ui->lineEdit_set_recuperation_disable_voltage, S::RecuperationDisableVoltage, 0},
        {ui->comboBox_set_critical_int_temp, S::CriticalTemperature, 0},
        {ui->comboBox_set_critical_temp_delay, S::CriticalTemperatureDelay, 0},
        {ui->comboBox_set_critical_temp_hysteresis, S::CriticalTemperatureHysteresis, 0},
        {ui->comboBox_set_adc_gain, S::AdcGain, 0},
        {ui->lineEdit_set_adc_offset, S::AdcOffset, 0},
    };
    QLineEdit *const curve[] = {
        ui->lineEdit_set_dsg_curve1,  ui->lineEdit_set_dsg_curve2,  ui->lineEdit_set_dsg_curve3,
        ui->lineEdit_set_dsg_curve4,  ui->lineEdit_set_dsg_curve5,  ui->lineEdit_set_dsg_curve6,
        ui->lineEdit_set_dsg_curve7,  ui->lineEdit_set_dsg_curve8,  ui->lineEdit_set_dsg_curve9,
        ui->lineEdit_set_dsg_curve10, ui->lineEdit_set_dsg_curve11,
    };
    for (int k = 0; k < DSG_CURVE_POINTS; ++k)
        setting_inputs.append({curve[k], Setting::DischargeCurve, k});

    // A combo box starts with nothing chosen: its first item is no value of the BMS.
    // Only the user's own gestures mark an input as changed (not setText() or
    // setCurrentIndex()); the context is the input, like the log's is the link.
    for (const SettingInput &entry : qAsConst(setting_inputs)) {
        QWidget *input = entry.input;
        if (auto *box = qobject_cast<QComboBox *>(input)) {
            box->setCurrentIndex(-1);
            connect(box, QOverload<int>::of(&QComboBox::activated), box,
                    [this, box] { changed_inputs.insert(box); });
        } else if (auto *edit = qobject_cast<QLineEdit *>(input)) {
            connect(edit, &QLineEdit::textEdited, edit,
                    [this, edit] { changed_inputs.insert(edit); });
        }
    }
}

void MyDialogWindow::forget_values()
{
    registers_read_now.reset();
    // Cleared below, as a refresh with nothing read would show them.
    registers_shown.reset();
    image_shown = link->image();
    const auto fields = findChildren<QLineEdit *>();
    for (QLineEdit *field : fields)
        if (is_value_field(field))
            field->clear();
    const auto labels =
        findChildren<QLabel *>(QRegularExpression(QStringLiteral("^label_cell_balancing\\d+$")));
    for (QLabel *label : labels)
        label->setText(QStringLiteral("-"));
    // What the inputs showed of another connection's BMS goes with it; what the user
    // typed or chose stays.
    for (const SettingInput &entry : qAsConst(setting_inputs)) {
        if (changed_inputs.contains(entry.input))
            continue;
        if (auto *box = qobject_cast<QComboBox *>(entry.input))
            box->setCurrentIndex(-1);
        else if (auto *edit = qobject_cast<QLineEdit *>(entry.input))
            edit->clear();
    }
}

bool MyDialogWindow::read_now(int first, int count) const
{
    for (int r = first; r < first + count; ++r)
        if (r >= int(registers_read_now.size()) || !registers_read_now.test(size_t(r)))
            return false;
    return true;
}

void MyDialogWindow::registers_read(int first, int count)
{
    const std::bitset<128> before = registers_read_now;
    for (int r = qMax(first, 0); r < first + count && r < int(registers_read_now.size()); ++r)
        registers_read_now.set(size_t(r));
    if (registers_read_now == before)
        return; // every reply after the first cycle
    for (const SettingInput &entry : qAsConst(setting_inputs)) {
        int from = 0;
        int n = 0;
        registers_of(setting_def(entry.setting), entry.part, from, n);
        if (changed_inputs.contains(entry.input) || !read_now(from, n))
            continue;
        // Only the first read of this connection that covers the input fills it.
        bool read_before = true;
        for (int r = from; r < from + n; ++r)
            read_before = read_before && before.test(size_t(r));
        if (!read_before)
            fill_input(entry);
    }
}

void MyDialogWindow::fill_input(const SettingInput &entry)
{
    const SettingDef &def = setting_def(entry.setting);
    const RegisterImage &image = link->image();
    if (auto *box = qobject_cast<QComboBox *>(entry.input)) {
        int index = -1;
        if (def.form == SettingForm::Date) {
            // The lists start at day 1, January and 2019.
            const quint16 w = register_value(image, def.reg);
            const int values[] = {w & 0x1F, (w >> 5) & 0x0F, ((w >> 9) & 0x1F) + 2000};
            const int firsts[] = {1, 1, 2019};
            const int i = values[entry.part] - firsts[entry.part];
            index = i >= 0 && i < box->count() ? i : -1;
        } else {
            // The item whose Set writes exactly what the BMS holds, if there is one.
            const QByteArray held = setting_bytes(def, image);
            for (int i = 0; i < box->count() && index < 0; ++i)
                if (encode_window_input(def, box->itemText(i), i) == held)
                    index = i;
        }
        box->setCurrentIndex(index);
    } else if (auto *edit = qobject_cast<QLineEdit *>(entry.input)) {
        edit->setText(def.form == SettingForm::Curve
                          ? QString::number(register_value(image, def.reg + entry.part))
                          : setting_value_text(decode_setting(def, image)));
    }
}
