#include "views.h"

#include "monitor/display.h"
#include "output.h"

#include <QJsonArray>

#include <algorithm>

namespace
{

QJsonArray numbers(const int *values, int count)
{
    QJsonArray out;
    for (int i = 0; i < count; ++i)
        out.append(values[i]);
    return out;
}

QString yes_no(bool yes, const char *what)
{
    return (yes ? QString() : QStringLiteral("not ")) + QLatin1String(what);
}

} // namespace

QString balancing_cells(quint16 mask, const QString &separator)
{
    QStringList cells;
    for (int k = 0; k < CELL_COUNT; ++k)
        if (mask & (1u << k))
            cells << QString::number(k + 1);
    return cells.join(separator);
}

QJsonObject info_json(const RegisterImage &image)
{
    const PackIdentity id = decode_identity(image);
    const PackState s = decode_pack_state(image);
    QJsonArray balancing;
    for (int k = 0; k < CELL_COUNT; ++k)
        balancing.append(bool(s.balancing & (1u << k)));
    const auto [low, high] = std::minmax_element(s.cells_mv.begin(), s.cells_mv.end());
    return QJsonObject{
        {QStringLiteral("serial_number"), id.serial_number},
        {QStringLiteral("capacity_mah"), id.capacity_mah},
        {QStringLiteral("date_of_production"), id.date_of_production},
        {QStringLiteral("bms_serial"), id.bms_serial},
        {QStringLiteral("firmware"), id.firmware},
        {QStringLiteral("voltage_mv"), s.voltage_mv},
        {QStringLiteral("current_ma"), s.current_ma},
        {QStringLiteral("soc_percent"), s.soc_percent},
        {QStringLiteral("remaining_mah"), s.remaining_mah},
        {QStringLiteral("temperatures_c"), numbers(s.temperatures_c.data(), 2)},
        {QStringLiteral("cells_mv"), numbers(s.cells_mv.data(), CELL_COUNT)},
        {QStringLiteral("balancing"), balancing},
        {QStringLiteral("cell_min_mv"), *low},
        {QStringLiteral("cell_max_mv"), *high},
        {QStringLiteral("cell_spread_mv"), *high - *low},
        {QStringLiteral("charging"), s.charging},
        {QStringLiteral("charging_enabled"), s.charging_enabled},
        {QStringLiteral("discharging_enabled"), s.discharging_enabled},
        {QStringLiteral("recuperation_enabled"), s.recuperation_enabled},
        {QStringLiteral("overheat"), s.overheat},
    };
}

QString info_text(const RegisterImage &image)
{
    const PackIdentity id = decode_identity(image);
    const PackState s = decode_pack_state(image);
    const auto low = std::min_element(s.cells_mv.begin(), s.cells_mv.end());
    const auto high = std::max_element(s.cells_mv.begin(), s.cells_mv.end());
    QStringList cells;
    for (int mv : s.cells_mv)
        cells << QString::number(mv);
    const QString balancing = balancing_cells(s.balancing, QStringLiteral(", "));
    const QString deg = QStringLiteral(" \u00b0C");
    const QVector<QStringList> rows{
        {QStringLiteral("Serial number"),
         value_text(setting_def(Setting::SerialNumber), id.serial_number)},
        {QStringLiteral("Capacity"), QStringLiteral("%1 mAh").arg(id.capacity_mah)},
        {QStringLiteral("Date of production"), id.date_of_production},
        {QStringLiteral("BMS serial"), id.bms_serial},
        {QStringLiteral("Firmware"), QString::number(id.firmware)},
        {QStringLiteral("Voltage"), QStringLiteral("%1 mV").arg(s.voltage_mv)},
        {QStringLiteral("Current"),
         QStringLiteral("%1 mA%2")
             .arg(s.current_ma)
             .arg(s.charging ? QStringLiteral(" (charging)") : QString())},
        {QStringLiteral("State of charge"),
         QStringLiteral("%1 %, %2 mAh remaining").arg(s.soc_percent).arg(s.remaining_mah)},
        {QStringLiteral("Temperatures"), QStringLiteral("T1 %1%3, T2 %2%3")
                                             .arg(s.temperatures_c[0])
                                             .arg(s.temperatures_c[1])
                                             .arg(deg)},
        {QStringLiteral("Switches"),
         QStringList{yes_no(s.charging_enabled, "charging enabled"),
                     yes_no(s.discharging_enabled, "discharging enabled"),
                     yes_no(s.recuperation_enabled, "recuperation enabled"),
                     s.overheat ? QStringLiteral("OVERHEAT") : QStringLiteral("no overheat")}
             .join(QStringLiteral(", "))},
        {QStringLiteral("Cells"), cells.join(QLatin1Char(' ')) + QStringLiteral(" mV")},
        {QStringLiteral("Cell spread"),
         QStringLiteral("min %1 mV (cell %2), max %3 mV (cell %4), spread %5 mV")
             .arg(*low)
             .arg(low - s.cells_mv.begin() + 1)
             .arg(*high)
             .arg(high - s.cells_mv.begin() + 1)
             .arg(*high - *low)},
        {QStringLiteral("Balancing"),
         balancing.isEmpty() ? QStringLiteral("none") : QStringLiteral("cells ") + balancing},
    };
    return table(rows);
}

QString held_text(const SettingDef &setting, const RegisterImage &image)
{
    const QJsonValue value = decode_setting(setting, image);
    QString text = value_text(setting, value);
    if (setting.words == 1) {
        const std::optional<QByteArray> again = register_bytes(setting, value);
        if (!again || *again != setting_bytes(setting, image))
            text += QStringLiteral(" (register %1)").arg(register_value(image, setting.reg));
    }
    return text;
}

namespace
{

// Settings whose value in `values` the BMS does not hold, in the window's order.
QVector<const SettingDef *> differing(const SettingValues &values, const RegisterImage &image)
{
    QVector<const SettingDef *> out;
    for (const SettingDef &setting : all_settings()) {
        const QJsonValue &v = values[static_cast<size_t>(setting.id)];
        if (!v.isUndefined() && !setting_holds(setting, image, v))
            out.append(&setting);
    }
    return out;
}

} // namespace

QString diff_report(const SettingsFile &file, const RegisterImage &image)
{
    const QVector<const SettingDef *> shown = differing(file.values, image);
    if (shown.isEmpty())
        return QStringLiteral("No differences: the BMS holds all %1 settings of %2.\n")
            .arg(file.count())
            .arg(file.path);
    QVector<QStringList> rows{{QStringLiteral("SETTING"), QStringLiteral("ON THE BMS"),
                               QStringLiteral("IN ") + file.path}};
    for (const SettingDef *setting : shown)
        rows.append({QString::fromLatin1(setting->name), held_text(*setting, image),
                     value_text(*setting, file.values[static_cast<size_t>(setting->id)])});
    return table(rows) + QStringLiteral("%1 of the %2 settings in %3 differ.\n")
                             .arg(shown.size())
                             .arg(file.count())
                             .arg(file.path);
}
