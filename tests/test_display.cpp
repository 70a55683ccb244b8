// What the technician reads: the register image decoded into field texts.

#include "dialog_access.h"

#include "app/program_state.h"
#include "monitor/display.h"
#include "monitor/register_map.h"

#include <QLabel>
#include <QLineEdit>
#include <QTimer>

namespace
{

QString field(const RegisterImage &image, const QString &name)
{
    for (const FieldText &f : decode_registers(image))
        if (f.widget == name)
            return f.text;
    qFatal("no field %s", qPrintable(name));
    return {};
}

// One mark per cell: B for "Balancing", - for nothing shown.
QString balancing(const RegisterImage &image)
{
    QString marks;
    for (int k = 1; k <= 10; ++k) {
        const QString text = field(image, QStringLiteral("label_cell_balancing%1").arg(k));
        marks += text.isEmpty() ? '-' : text == "Balancing" ? 'B' : '?';
    }
    return marks;
}

} // namespace

class TestDisplay : public QObject
{
    Q_OBJECT

private slots:
    void one_register_at_a_time()
    {
        // Each row: this value in this register, all else zero, shows this text.
        const struct {
            int reg;
            quint16 value;
            const char *field, *text;
        } rows[] = {
            {REG_BATTERY_VOLTAGE, 0xFFFF, "lineEdit_battery_voltage", "655350"},
            {REG_BATTERY_CURRENT, 0xFFF6, "lineEdit_battery_current", "-100"},
            {REG_BATTERY_CURRENT, 0x7FFF, "lineEdit_battery_current", "327670"},
            {REG_ADC_OFFSET, 0xFFFF, "lineEdit_adc_offset", "-1"},
            {REG_SHORT_CIRCUIT_COOLDOWN, 999, "lineEdit_short_circuit_cooldown", "0"},
            {REG_DISCHARGE_OVERCURRENT_COOLDOWN, 65535, "lineEdit_overcurrent_holding_time", "65"},
            {REG_CHARGE_OVERCURRENT, 5999, "lineEdit_undercurrent_current", "5"},
            {REG_CRITICAL_TEMP_DELAY, 4999, "lineEdit_critical_temp_delay", "4"},
            {REG_REMAIN_BATTERY_CAPACITY_PERCENTS, 0x0164,
             "lineEdit_remain_battery_capacity_percents", "100"},
            {REG_BMS_FIRMWARE, 0x0312, "lineEdit_bms_firmware", "18"},
            {REG_TEMPERATURES, 0x2D00, "lineEdit_t1", "-20"},
            {REG_TEMPERATURES, 0x2D00, "lineEdit_t2", "25"},
            {REG_TEMPERATURES, 0x00FF, "lineEdit_t1", "235"},
            {REG_DATE_OF_PRODUCTION, 0x2865, "lineEdit_date_of_production", "5.3.2020"},
            {REG_DATE_OF_PRODUCTION, 0xFFFF, "lineEdit_date_of_production", "31.15.2031"},
            {REG_CELL_VOLTAGES + 9, 3987, "lineEdit_cell10", "3987"},
            // Coded settings; a code past its table shows nothing rather than a
            // number in the wrong unit.
            {REG_DISCHARGE_OVERCURRENT, 15, "lineEdit_overcurrent_current", "100"},
            {REG_DISCHARGE_OVERCURRENT, 16, "lineEdit_overcurrent_current", ""},
            {REG_SHORT_CIRCUIT_CURRENT, 7, "lineEdit_short_circuit_current", "200"},
            {REG_SHORT_CIRCUIT_CURRENT, 8, "lineEdit_short_circuit_current", ""},
            {REG_SHORT_CIRCUIT_DELAY, 0xFFFF, "lineEdit_short_circuit_delay", ""},
            {REG_DISCHARGE_OVERCURRENT_DELAY, 7, "lineEdit_overcurrent_delay", "1280"},
            {REG_OVERVOLTAGE_DELAY, 4, "lineEdit_overvoltage_delay", ""},
            {REG_BALANCE_MODE, 0, "lineEdit_balance_mode", "Charging&Overvoltage"},
            {REG_BALANCE_MODE, 3, "lineEdit_balance_mode", "WTF????"},
            {REG_BALANCE_MODE, 0x0100, "lineEdit_balance_mode", "WTF????"},
            // Flags: only their own bit counts.
            {REG_STATUS_FLAGS, 0, "lineEdit_recuperation_enabled", "Yes"},
            {REG_STATUS_FLAGS, 0x0640, "lineEdit_recuperation_enabled", "No"},
            {REG_STATUS_FLAGS, 0x0640, "lineEdit_charging_state", "Yes"},
            {REG_STATUS_FLAGS, 0xF9BF, "lineEdit_recuperation_enabled", "Yes"},
            {REG_STATUS_FLAGS, 0xF9BF, "lineEdit_charging_state", "No"},
            {REG_CHARGING_ENABLED, 0x0100, "lineEdit_charging_enabled", "Yes"},
            {REG_DISCHARGING_ENABLED, 0x8000, "lineEdit_discharging_enabled", "Yes"},
        };
        for (const auto &row : rows) {
            RegisterImage image{};
            put_register(image, row.reg, row.value);
            QCOMPARE(decode_registers(image).size(), 72); // every display field, each once
            QVERIFY2(field(image, row.field) == row.text,
                     qPrintable(QString("%1 = %2").arg(row.field).arg(row.value, 0, 16)));
        }
    }

    void balancing_and_identity()
    {
        RegisterImage image{};
        QCOMPARE(balancing(image), QString("----------"));
        put_register(image, REG_BALANCING_CELLS, 0x0201);
        QCOMPARE(balancing(image), QString("B--------B"));
        put_register(image, REG_BALANCING_CELLS, 0xFC00);
        QCOMPARE(balancing(image), QString("----------"));

        QCOMPARE(field(image, "lineEdit_bms_serial"), QString(24, '0'));
        const quint8 id[12] = {0x0A, 0xFF, 0x00, 0x10, 0x01, 0xAB, 0, 0, 0, 0, 0, 0x9C};
        std::copy(std::begin(id), std::end(id), image.begin() + 2 * REG_BMS_SERIAL);
        QCOMPARE(field(image, "lineEdit_bms_serial"), QString("0AFF001001AB00000000009C"));

        const char serial[] = "AB\0CD";
        std::copy(serial, serial + 5, image.begin() + 2 * REG_SERIAL_NUMBER);
        image[2 * REG_SERIAL_NUMBER + 13] = 0xE9; // Latin-1
        // The firmware byte right after the serial number does not leak into it.
        put_register(image, REG_BMS_FIRMWARE, 0x4141);
        QCOMPARE(field(image, "lineEdit_serial_number"),
                 QString::fromLatin1("AB\0CD", 5) + QString(8, '\0') + QChar(0xE9));
    }

    void refresh_writes_every_widget()
    {
        reset_program_state();
        MyDialogWindow dialog;
        put_register(bms_registers, REG_TEMPERATURES, 0x2D00);
        put_register(bms_registers, REG_BALANCING_CELLS, 0x0200);
        QVERIFY(run_slot(&dialog, "values_refresh_timer_overflow"));
        QCOMPARE(text_of(&dialog, "lineEdit_t2"), QString("25"));
        QCOMPARE(widget<QLabel>(&dialog, "label_cell_balancing10")->text(), "Balancing");
        for (const FieldText &f : decode_registers(bms_registers))
            QVERIFY2(dialog.findChild<QWidget *>(f.widget), qPrintable(f.widget));
        values_refresh_timer->stop();
    }
};

QTEST_MAIN(TestDisplay)
#include "test_display.moc"
