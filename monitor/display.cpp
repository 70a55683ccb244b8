#include "monitor/display.h"

#include "monitor/register_map.h"

#include <QCoreApplication>

namespace
{

QString number(qint64 value)
{
    return QString::number(value);
}

// The window's fixed words go through the translation function like every other
// text of the window.
QString text(const char *source)
{
    return QCoreApplication::translate("MyDialogWindow", source);
}

QString yes_no(bool yes)
{
    return yes ? text("Yes") : text("No");
}

// A code the table does not know shows an empty field rather than the bare code:
// a raw "9" in a field labelled in seconds or amperes would be read as 9 s or 9 A,
// while an empty field tells the technician there is nothing trustworthy to read.
template <size_t N> QString table_entry(const std::array<quint16, N> &table, quint16 code)
{
    return code < N ? number(table[code]) : QString();
}

QString balance_mode_text(quint16 mode)
{
    switch (mode) {
    case 0:
        return text("Charging&Overvoltage");
    case 1:
        return text("Always");
    case 2:
        return text("Never");
    default:
        return text("WTF????");
    }
}

} // namespace

quint16 register_value(const RegisterImage &image, int reg)
{
    const auto low = static_cast<size_t>(2 * reg);
    return static_cast<quint16>(image[low] | (image[low + 1] << 8));
}

QVector<FieldText> decode_registers(const RegisterImage &image)
{
    QVector<FieldText> f;
    f.reserve(80);
    const auto reg = [&image](int r) { return register_value(image, r); };
    const auto low_byte = [&image](int r) { return image[static_cast<size_t>(2 * r)]; };
    const auto high_byte = [&image](int r) { return image[static_cast<size_t>(2 * r + 1)]; };
    const auto add = [&f](const QString &name, const QString &text) { f.append({name, text}); };

    for (int k = 1; k <= DSG_CURVE_POINTS; ++k)
        add(QStringLiteral("lineEdit_dsg_curve%1").arg(k), number(reg(REG_DSG_CURVE + k - 1)));

    // Zero bytes stay in: the field always holds the 14 characters the BMS keeps.
    const auto *serial = reinterpret_cast<const char *>(&image[2 * REG_SERIAL_NUMBER]);
    add(QStringLiteral("lineEdit_serial_number"), QString::fromLatin1(serial, SERIAL_NUMBER_BYTES));
    add(QStringLiteral("lineEdit_bms_firmware"), number(low_byte(REG_BMS_FIRMWARE)));
    add(QStringLiteral("lineEdit_battery_capacity"), number(reg(REG_BATTERY_CAPACITY)));

    const quint16 date = reg(REG_DATE_OF_PRODUCTION);
    add(QStringLiteral("lineEdit_date_of_production"), QStringLiteral("%1.%2.%3")
                                                           .arg(date & 0x1F)
                                                           .arg((date >> 5) & 0x0F)
                                                           .arg(((date >> 9) & 0x1F) + 2000));

    const quint16 status = reg(REG_STATUS_FLAGS);
    add(QStringLiteral("lineEdit_charging_state"), yes_no(status & STATUS_CHARGING));
    add(QStringLiteral("lineEdit_recuperation_enabled"),
        yes_no(!(status & STATUS_RECUPERATION_DISABLED)));
    add(QStringLiteral("lineEdit_overheat_detected"), yes_no(status & STATUS_OVERHEAT));

    add(QStringLiteral("lineEdit_remain_battery_capacity_mah"),
        number(reg(REG_REMAIN_BATTERY_CAPACITY_MAH)));
    add(QStringLiteral("lineEdit_remain_battery_capacity_percents"),
        number(low_byte(REG_REMAIN_BATTERY_CAPACITY_PERCENTS)));
    add(QStringLiteral("lineEdit_battery_current"),
        number(static_cast<qint16>(reg(REG_BATTERY_CURRENT)) * 10));
    add(QStringLiteral("lineEdit_battery_voltage"), number(reg(REG_BATTERY_VOLTAGE) * 10));
    add(QStringLiteral("lineEdit_t1"), number(low_byte(REG_TEMPERATURES) - 20));
    add(QStringLiteral("lineEdit_t2"), number(high_byte(REG_TEMPERATURES) - 20));

    for (int k = 1; k <= CELL_COUNT; ++k)
        add(QStringLiteral("lineEdit_cell%1").arg(k), number(reg(REG_CELL_VOLTAGES + k - 1)));

    add(QStringLiteral("lineEdit_short_circuit_current"),
        table_entry(SHORT_CIRCUIT_CURRENT_A, reg(REG_SHORT_CIRCUIT_CURRENT)));
    add(QStringLiteral("lineEdit_short_circuit_delay"),
        table_entry(SHORT_CIRCUIT_DELAY_US, reg(REG_SHORT_CIRCUIT_DELAY)));
    add(QStringLiteral("lineEdit_short_circuit_cooldown"),
        number(reg(REG_SHORT_CIRCUIT_COOLDOWN) / 1000));
    add(QStringLiteral("lineEdit_overcurrent_current"),
        table_entry(DISCHARGE_OVERCURRENT_A, reg(REG_DISCHARGE_OVERCURRENT)));
    add(QStringLiteral("lineEdit_overcurrent_delay"),
        table_entry(DISCHARGE_OVERCURRENT_DELAY_MS, reg(REG_DISCHARGE_OVERCURRENT_DELAY)));
    add(QStringLiteral("lineEdit_overcurrent_holding_time"),
        number(reg(REG_DISCHARGE_OVERCURRENT_COOLDOWN) / 1000));
    add(QStringLiteral("lineEdit_undercurrent_current"),
        number(reg(REG_CHARGE_OVERCURRENT) / 1000));
    add(QStringLiteral("lineEdit_undercurrent_delay"), number(reg(REG_CHARGE_OVERCURRENT_DELAY)));
    add(QStringLiteral("lineEdit_undercurrent_holding_time"),
        number(reg(REG_CHARGE_OVERCURRENT_COOLDOWN) / 1000));
    add(QStringLiteral("lineEdit_overvoltage"), number(reg(REG_OVERVOLTAGE_VOLTAGE)));
    add(QStringLiteral("lineEdit_overvoltage_delay"),
        table_entry(OVERVOLTAGE_DELAY_S, reg(REG_OVERVOLTAGE_DELAY)));
    add(QStringLiteral("lineEdit_overvoltage_hysteresis"), number(reg(REG_OVERVOLTAGE_HYSTERESIS)));
    add(QStringLiteral("lineEdit_undervoltage"), number(reg(REG_UNDERVOLTAGE_VOLTAGE)));
    add(QStringLiteral("lineEdit_undervoltage_delay"),
        table_entry(UNDERVOLTAGE_DELAY_S, reg(REG_UNDERVOLTAGE_DELAY)));
    add(QStringLiteral("lineEdit_undervoltage_hysteresis"),
        number(reg(REG_UNDERVOLTAGE_HYSTERESIS)));
    add(QStringLiteral("lineEdit_lowest_voltage_to_balance"),
        number(reg(REG_LOWEST_VOLTAGE_TO_BALANCE)));
    add(QStringLiteral("lineEdit_disbalance_thr"), number(reg(REG_CELL_DISBALANCE_THRESHOLD)));
    add(QStringLiteral("lineEdit_shutdown_voltage"), number(reg(REG_SHUTDOWN_VOLTAGE)));
    add(QStringLiteral("lineEdit_critical_int_temp"), number(reg(REG_CRITICAL_INT_TEMP)));
    add(QStringLiteral("lineEdit_critical_temp_delay"),
        number(reg(REG_CRITICAL_TEMP_DELAY) / 1000));
    add(QStringLiteral("lineEdit_critical_temp_hysteresis"),
        number(reg(REG_CRITICAL_TEMP_HYSTERESIS)));
    add(QStringLiteral("lineEdit_recuperation_disable_voltage"),
        number(reg(REG_RECUPERATION_DISABLE_VOLTAGE)));

    const quint16 balancing = reg(REG_BALANCING_CELLS);
    for (int k = 1; k <= CELL_COUNT; ++k)
        add(QStringLiteral("label_cell_balancing%1").arg(k),
            balancing & (1u << (k - 1)) ? text("Balancing") : QString());

    add(QStringLiteral("lineEdit_adc_gain"), number(reg(REG_ADC_GAIN)));
    add(QStringLiteral("lineEdit_adc_offset"), number(static_cast<qint16>(reg(REG_ADC_OFFSET))));
    add(QStringLiteral("lineEdit_balance_mode"), balance_mode_text(reg(REG_BALANCE_MODE)));
    add(QStringLiteral("lineEdit_charging_enabled"), yes_no(reg(REG_CHARGING_ENABLED) != 0));
    add(QStringLiteral("lineEdit_discharging_enabled"), yes_no(reg(REG_DISCHARGING_ENABLED) != 0));

    QString identifier;
    for (int i = 0; i < BMS_SERIAL_BYTES; ++i)
        identifier +=
            QStringLiteral("%1")
                .arg(image[static_cast<size_t>(2 * REG_BMS_SERIAL + i)], 2, 16, QLatin1Char('0'))
                .toUpper();
    add(QStringLiteral("lineEdit_bms_serial"), identifier);
    return f;
}
