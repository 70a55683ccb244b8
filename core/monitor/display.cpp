#include "monitor/display.h"

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

QString bms_serial(const RegisterImage &image)
{
    const QByteArray bytes = QByteArray::fromRawData(
        reinterpret_cast<const char *>(&image[static_cast<size_t>(2 * REG_BMS_SERIAL)]),
        BMS_SERIAL_BYTES);
    return QString::fromLatin1(bytes.toHex().toUpper());
}

quint8 low_byte(const RegisterImage &image, int reg)
{
    return image[static_cast<size_t>(2 * reg)];
}

quint8 high_byte(const RegisterImage &image, int reg)
{
    return image[static_cast<size_t>(2 * reg + 1)];
}

} // namespace

PackState decode_pack_state(const RegisterImage &image)
{
    const auto reg = [&image](int r) { return register_value(image, r); };
    PackState s;
    s.voltage_mv = reg(REG_BATTERY_VOLTAGE) * 10;
    s.current_ma = static_cast<qint16>(reg(REG_BATTERY_CURRENT)) * 10;
    s.soc_percent = low_byte(image, REG_REMAIN_BATTERY_CAPACITY_PERCENTS);
    s.remaining_mah = reg(REG_REMAIN_BATTERY_CAPACITY_MAH);
    s.temperatures_c = {low_byte(image, REG_TEMPERATURES) - 20,
                        high_byte(image, REG_TEMPERATURES) - 20};
    for (int k = 0; k < CELL_COUNT; ++k)
        s.cells_mv[static_cast<size_t>(k)] = reg(REG_CELL_VOLTAGES + k);
    s.balancing = reg(REG_BALANCING_CELLS) & ((1u << CELL_COUNT) - 1);
    const quint16 status = reg(REG_STATUS_FLAGS);
    s.charging = status & STATUS_CHARGING;
    s.recuperation_enabled = !(status & STATUS_RECUPERATION_DISABLED);
    s.overheat = status & STATUS_OVERHEAT;
    s.charging_enabled = reg(REG_CHARGING_ENABLED) != 0;
    s.discharging_enabled = reg(REG_DISCHARGING_ENABLED) != 0;
    return s;
}

PackIdentity decode_identity(const RegisterImage &image)
{
    PackIdentity id;
    id.serial_number = decode_setting(setting_def(Setting::SerialNumber), image).toString();
    id.bms_serial = bms_serial(image);
    id.firmware = low_byte(image, REG_BMS_FIRMWARE);
    id.capacity_mah = register_value(image, REG_BATTERY_CAPACITY);
    id.date_of_production =
        decode_setting(setting_def(Setting::DateOfProduction), image).toString();
    return id;
}

DisplayTexts display_texts(const RegisterImage &image)
{
    const auto reg = [&image](int r) { return register_value(image, r); };
    const PackState pack = decode_pack_state(image);
    DisplayTexts t;
    for (int k = 0; k < DSG_CURVE_POINTS; ++k)
        t.dsg_curve[static_cast<size_t>(k)] = number(reg(REG_DSG_CURVE + k));

    // Zero bytes stay in: the field always holds the 14 characters the BMS keeps.
    t.serial_number = QString::fromLatin1(
        reinterpret_cast<const char *>(&image[2 * REG_SERIAL_NUMBER]), SERIAL_NUMBER_BYTES);
    t.firmware = number(low_byte(image, REG_BMS_FIRMWARE));
    t.capacity = number(reg(REG_BATTERY_CAPACITY));
    const quint16 date = reg(REG_DATE_OF_PRODUCTION);
    t.date_of_production = QStringLiteral("%1.%2.%3")
                               .arg(date & 0x1F)
                               .arg((date >> 5) & 0x0F)
                               .arg(((date >> 9) & 0x1F) + 2000);

    t.charging = yes_no(pack.charging);
    t.recuperation_enabled = yes_no(pack.recuperation_enabled);
    t.overheat = yes_no(pack.overheat);
    t.remaining_mah = number(pack.remaining_mah);
    t.remaining_percent = number(pack.soc_percent);
    t.current_ma = number(pack.current_ma);
    t.voltage_mv = number(pack.voltage_mv);
    t.t1 = number(pack.temperatures_c[0]);
    t.t2 = number(pack.temperatures_c[1]);
    for (int k = 0; k < CELL_COUNT; ++k) {
        t.cells[static_cast<size_t>(k)] = number(pack.cells_mv[static_cast<size_t>(k)]);
        t.balancing[static_cast<size_t>(k)] =
            pack.balancing & (1u << k) ? text("Balancing") : QString();
    }

    for (const SettingDef &def : all_settings()) {
        if (def.form == SettingForm::Text || def.form == SettingForm::Date ||
            def.form == SettingForm::Curve || def.id == Setting::Capacity)
            continue;
        const QJsonValue value = decode_setting(def, image);
        QString &field = t.settings[static_cast<size_t>(def.id)];
        if (value.isString())
            field = text(value.toString().toLatin1().constData());
        else if (value.isDouble())
            field = number(value.toInt());
        // A code the BMS holds without a meaning: an empty field rather than the
        // bare code, since a raw "9" in a field labelled in seconds or amperes would
        // be read as 9 s or 9 A. The mode field has always said so in its own words.
        else if (def.id == Setting::BalanceMode)
            field = text("WTF????");
    }

    t.charging_enabled = yes_no(pack.charging_enabled);
    t.discharging_enabled = yes_no(pack.discharging_enabled);
    t.bms_serial = bms_serial(image);
    return t;
}
