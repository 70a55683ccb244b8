// What the technician reads: the register image decoded into field texts.

#include "dialog_access.h"

#include "app/program_state.h"
#include "monitor/display.h"
#include "monitor/register_map.h"

#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QtTest>

namespace
{

void put(RegisterImage &image, int reg, quint16 value)
{
    image[static_cast<size_t>(2 * reg)] = static_cast<quint8>(value & 0xFF);
    image[static_cast<size_t>(2 * reg + 1)] = static_cast<quint8>(value >> 8);
}

QString field(const RegisterImage &image, const QString &name)
{
    const QVector<FieldText> fields = decode_registers(image);
    for (const FieldText &f : fields)
        if (f.widget == name)
            return f.text;
    qFatal("no field %s", qPrintable(name));
    return {};
}

QString field_with(int reg, quint16 value, const char *name)
{
    RegisterImage image{};
    put(image, reg, value);
    return field(image, QLatin1String(name));
}

} // namespace

class TestDisplay : public QObject
{
    Q_OBJECT

private slots:
    void empty_image()
    {
        const RegisterImage image{};
        const QVector<FieldText> fields = decode_registers(image);
        QCOMPARE(fields.size(), 72); // every display field of the window, each once
        QStringList numeric;
        for (int k = 1; k <= 11; ++k)
            numeric << QStringLiteral("lineEdit_dsg_curve%1").arg(k);
        for (int k = 1; k <= 10; ++k)
            numeric << QStringLiteral("lineEdit_cell%1").arg(k);
        numeric << "lineEdit_battery_voltage"
                << "lineEdit_battery_current"
                << "lineEdit_remain_battery_capacity_mah"
                << "lineEdit_bms_firmware"
                << "lineEdit_short_circuit_cooldown"
                << "lineEdit_undercurrent_current"
                << "lineEdit_adc_offset"
                << "lineEdit_critical_temp_delay";
        for (const QString &name : numeric)
            QCOMPARE(field(image, name), QStringLiteral("0"));
        QCOMPARE(field(image, "lineEdit_t1"), QStringLiteral("-20"));
        QCOMPARE(field(image, "lineEdit_t2"), QStringLiteral("-20"));
        QCOMPARE(field(image, "lineEdit_date_of_production"), QStringLiteral("0.0.2000"));
        QCOMPARE(field(image, "lineEdit_bms_serial"), QString(24, QLatin1Char('0')));
        QCOMPARE(field(image, "lineEdit_balance_mode"), QStringLiteral("Charging&Overvoltage"));
        QCOMPARE(field(image, "lineEdit_recuperation_enabled"), QStringLiteral("Yes"));
        for (const char *flag : {"lineEdit_charging_state", "lineEdit_overheat_detected",
                                 "lineEdit_charging_enabled", "lineEdit_discharging_enabled"})
            QCOMPARE(field(image, flag), QStringLiteral("No"));
        for (int k = 1; k <= 10; ++k)
            QCOMPARE(field(image, QStringLiteral("label_cell_balancing%1").arg(k)), QString());
        QCOMPARE(field(image, "lineEdit_overvoltage_delay"), QStringLiteral("1"));
        QCOMPARE(field(image, "lineEdit_undervoltage_delay"), QStringLiteral("1"));
        QCOMPARE(field(image, "lineEdit_short_circuit_delay"), QStringLiteral("70"));
        QCOMPARE(field(image, "lineEdit_short_circuit_current"), QStringLiteral("44"));
        QCOMPARE(field(image, "lineEdit_overcurrent_delay"), QStringLiteral("8"));
        QCOMPARE(field(image, "lineEdit_overcurrent_current"), QStringLiteral("17"));
    }

    void numbers_signs_and_units()
    {
        QCOMPARE(field_with(REG_BATTERY_CURRENT, 0xFFF6, "lineEdit_battery_current"), "-100");
        QCOMPARE(field_with(REG_BATTERY_CURRENT, 0x7FFF, "lineEdit_battery_current"), "327670");
        QCOMPARE(field_with(REG_BATTERY_VOLTAGE, 0xFFFF, "lineEdit_battery_voltage"), "655350");
        QCOMPARE(field_with(REG_ADC_OFFSET, 0xFFFF, "lineEdit_adc_offset"), "-1");
        QCOMPARE(field_with(REG_ADC_GAIN, 0xFFFF, "lineEdit_adc_gain"), "65535");
        QCOMPARE(field_with(REG_SHORT_CIRCUIT_COOLDOWN, 999, "lineEdit_short_circuit_cooldown"),
                 "0");
        QCOMPARE(field_with(REG_DISCHARGE_OVERCURRENT_COOLDOWN, 65535,
                            "lineEdit_overcurrent_holding_time"),
                 "65");
        QCOMPARE(
            field_with(REG_CHARGE_OVERCURRENT_COOLDOWN, 1999, "lineEdit_undercurrent_holding_time"),
            "1");
        QCOMPARE(field_with(REG_CHARGE_OVERCURRENT, 5999, "lineEdit_undercurrent_current"), "5");
        QCOMPARE(field_with(REG_CHARGE_OVERCURRENT_DELAY, 1500, "lineEdit_undercurrent_delay"),
                 "1500");
        QCOMPARE(field_with(REG_CRITICAL_TEMP_DELAY, 4999, "lineEdit_critical_temp_delay"), "4");
        QCOMPARE(field_with(REG_REMAIN_BATTERY_CAPACITY_PERCENTS, 0x0164,
                            "lineEdit_remain_battery_capacity_percents"),
                 "100");
        QCOMPARE(field_with(REG_BMS_FIRMWARE, 0x0312, "lineEdit_bms_firmware"), "18");
        QCOMPARE(field_with(REG_TEMPERATURES, 0x2D00, "lineEdit_t1"), "-20");
        QCOMPARE(field_with(REG_TEMPERATURES, 0x2D00, "lineEdit_t2"), "25");
        QCOMPARE(field_with(REG_TEMPERATURES, 0x00FF, "lineEdit_t1"), "235");
        QCOMPARE(field_with(REG_DATE_OF_PRODUCTION, 0x2865, "lineEdit_date_of_production"),
                 "5.3.2020");
        QCOMPARE(field_with(REG_DATE_OF_PRODUCTION, 0xFFFF, "lineEdit_date_of_production"),
                 "31.15.2031");
        QCOMPARE(field_with(REG_DSG_CURVE + 10, 4150, "lineEdit_dsg_curve11"), "4150");
        QCOMPARE(field_with(REG_CELL_VOLTAGES + 9, 3987, "lineEdit_cell10"), "3987");
    }

    void coded_settings()
    {
        QCOMPARE(field_with(REG_DISCHARGE_OVERCURRENT, 15, "lineEdit_overcurrent_current"), "100");
        QCOMPARE(field_with(REG_SHORT_CIRCUIT_CURRENT, 7, "lineEdit_short_circuit_current"), "200");
        QCOMPARE(field_with(REG_DISCHARGE_OVERCURRENT_DELAY, 7, "lineEdit_overcurrent_delay"),
                 "1280");
        QCOMPARE(field_with(REG_UNDERVOLTAGE_DELAY, 3, "lineEdit_undervoltage_delay"), "16");
        // A code past its table shows nothing rather than a number in the wrong unit.
        QCOMPARE(field_with(REG_OVERVOLTAGE_DELAY, 4, "lineEdit_overvoltage_delay"), QString());
        QCOMPARE(field_with(REG_SHORT_CIRCUIT_DELAY, 0xFFFF, "lineEdit_short_circuit_delay"),
                 QString());
        QCOMPARE(field_with(REG_SHORT_CIRCUIT_CURRENT, 8, "lineEdit_short_circuit_current"),
                 QString());
        QCOMPARE(field_with(REG_DISCHARGE_OVERCURRENT, 16, "lineEdit_overcurrent_current"),
                 QString());

        QCOMPARE(field_with(REG_BALANCE_MODE, 1, "lineEdit_balance_mode"), "Always");
        QCOMPARE(field_with(REG_BALANCE_MODE, 2, "lineEdit_balance_mode"), "Never");
        QCOMPARE(field_with(REG_BALANCE_MODE, 3, "lineEdit_balance_mode"), "WTF????");
        QCOMPARE(field_with(REG_BALANCE_MODE, 0x0100, "lineEdit_balance_mode"), "WTF????");
    }

    void flags_and_balancing()
    {
        QCOMPARE(field_with(REG_STATUS_FLAGS, 0x0200, "lineEdit_recuperation_enabled"), "No");
        RegisterImage image{};
        put(image, REG_STATUS_FLAGS, 0x0640);
        QCOMPARE(field(image, "lineEdit_charging_state"), "Yes");
        QCOMPARE(field(image, "lineEdit_recuperation_enabled"), "No");
        QCOMPARE(field(image, "lineEdit_overheat_detected"), "Yes");
        put(image, REG_STATUS_FLAGS, 0xF9BF); // every bit but the three that mean something
        QCOMPARE(field(image, "lineEdit_charging_state"), "No");
        QCOMPARE(field(image, "lineEdit_recuperation_enabled"), "Yes");
        QCOMPARE(field(image, "lineEdit_overheat_detected"), "No");
        QCOMPARE(field_with(REG_CHARGING_ENABLED, 0x0100, "lineEdit_charging_enabled"), "Yes");
        QCOMPARE(field_with(REG_DISCHARGING_ENABLED, 0x8000, "lineEdit_discharging_enabled"),
                 "Yes");

        put(image, REG_BALANCING_CELLS, 0x0201);
        for (int k = 1; k <= 10; ++k)
            QCOMPARE(field(image, QStringLiteral("label_cell_balancing%1").arg(k)),
                     k == 1 || k == 10 ? QStringLiteral("Balancing") : QString());
        put(image, REG_BALANCING_CELLS, 0xFC00);
        for (int k = 1; k <= 10; ++k)
            QCOMPARE(field(image, QStringLiteral("label_cell_balancing%1").arg(k)), QString());
    }

    void identity_texts()
    {
        RegisterImage image{};
        const quint8 id[12] = {0x0A, 0xFF, 0x00, 0x10, 0x01, 0xAB, 0, 0, 0, 0, 0, 0x9C};
        std::copy(std::begin(id), std::end(id), image.begin() + 2 * REG_BMS_SERIAL);
        QCOMPARE(field(image, "lineEdit_bms_serial"), QStringLiteral("0AFF001001AB00000000009C"));

        const char serial[] = "AB\0CD";
        std::copy(serial, serial + 5, image.begin() + 2 * REG_SERIAL_NUMBER);
        image[2 * REG_SERIAL_NUMBER + 13] = 0xE9; // Latin-1
        const QString text = field(image, "lineEdit_serial_number");
        QCOMPARE(text.size(), 14);
        QCOMPARE(text.left(5), QString::fromLatin1("AB\0CD", 5));
        QCOMPARE(text.at(13), QChar(0xE9));
        // The firmware byte right after the serial number does not leak into it.
        put(image, REG_BMS_FIRMWARE, 0x4141);
        QCOMPARE(field(image, "lineEdit_serial_number"), text);
    }

    void refresh_writes_every_widget()
    {
        reset_program_state();
        MyDialogWindow dialog;
        put(bms_registers, REG_TEMPERATURES, 0x2D00);
        put(bms_registers, REG_BALANCING_CELLS, 0x0200);
        put(bms_registers, REG_BATTERY_VOLTAGE, 3912);
        QVERIFY(run_slot(&dialog, "values_refresh_timer_overflow"));
        QCOMPARE(widget<QLineEdit>(&dialog, "lineEdit_t2")->text(), QStringLiteral("25"));
        QCOMPARE(widget<QLineEdit>(&dialog, "lineEdit_battery_voltage")->text(), "39120");
        QCOMPARE(widget<QLabel>(&dialog, "label_cell_balancing10")->text(), "Balancing");
        QCOMPARE(widget<QLabel>(&dialog, "label_cell_balancing9")->text(), QString());
        for (const FieldText &f : decode_registers(bms_registers)) {
            auto *w = dialog.findChild<QWidget *>(f.widget);
            QVERIFY2(w, qPrintable(f.widget));
        }
        QVERIFY(values_refresh_timer->isActive());
        QCOMPARE(values_refresh_timer->interval(), 500);
        values_refresh_timer->stop();
        reset_program_state();
    }
};

QTEST_MAIN(TestDisplay)
#include "test_display.moc"
