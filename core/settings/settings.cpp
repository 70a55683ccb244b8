#include "settings/settings.h"

#include "monitor/register_map.h"

#include <QDate>
#include <QJsonArray>
#include <QRegularExpression>

#include <cmath>

namespace
{

using F = SettingForm;

SettingDef range(Setting id, const char *name, const char *unit, quint8 reg, qint32 low,
                 qint32 high, qint32 scale = 1, F form = F::Scaled)
{
    return {id, name, unit, reg, 1, form, scale, low, high, {}, {}, {}};
}

SettingDef listed(Setting id, const char *name, const char *unit, quint8 reg,
                  QVector<qint32> choices, qint32 scale = 1)
{
    return {id, name, unit, reg, 1, F::Scaled, scale, 0, 0, std::move(choices), {}, {}};
}

SettingDef coded(Setting id, const char *name, const char *unit, quint8 reg,
                 QVector<qint32> choices, QVector<qint32> meanings = {})
{
    if (meanings.isEmpty())
        meanings = choices;
    return {id, name, unit, reg, 1, F::Code, 1, 0, 0, std::move(choices), {}, std::move(meanings)};
}

QVector<qint32> table(const quint16 *values, int count)
{
    QVector<qint32> out;
    for (int i = 0; i < count; ++i)
        out.append(values[i]);
    return out;
}

template <size_t N> QVector<qint32> table(const std::array<quint16, N> &values)
{
    return table(values.data(), static_cast<int>(N));
}

// The BMS keeps milliamperes and milliseconds where the window shows amperes and
// seconds, hence the factors of 1000.
std::array<SettingDef, SETTING_COUNT> make_table()
{
    using S = Setting;
    const QVector<qint32> discharge_a = table(DISCHARGE_OVERCURRENT_A);
    return {{
        {S::SerialNumber,
         "serial_number",
         "text",
         REG_SERIAL_NUMBER,
         SERIAL_NUMBER_BYTES / 2,
         F::Text,
         1,
         0,
         SERIAL_NUMBER_BYTES,
         {},
         {},
         {}},
        range(S::Capacity, "capacity", "mAh", REG_BATTERY_CAPACITY, 1, 32000),
        {S::DateOfProduction,
         "date_of_production",
         "YYYY-MM-DD",
         REG_DATE_OF_PRODUCTION,
         1,
         F::Date,
         1,
         2019,
         2028,
         {},
         {},
         {}},
        range(S::ChargeOvercurrent, "charge_overcurrent", "A", REG_CHARGE_OVERCURRENT, 1, 9, 1000),
        listed(S::ChargeOvercurrentDelay, "charge_overcurrent_delay", "ms",
               REG_CHARGE_OVERCURRENT_DELAY, {500, 1000, 1500, 2000, 2500, 3000}),
        range(S::ChargeOvercurrentCooldown, "charge_overcurrent_cooldown", "s",
              REG_CHARGE_OVERCURRENT_COOLDOWN, 1, 10, 1000),
        coded(S::DischargeOvercurrent, "discharge_overcurrent", "A", REG_DISCHARGE_OVERCURRENT,
              discharge_a.mid(0, 7), discharge_a),
        coded(S::DischargeOvercurrentDelay, "discharge_overcurrent_delay", "ms",
              REG_DISCHARGE_OVERCURRENT_DELAY, table(DISCHARGE_OVERCURRENT_DELAY_MS)),
        range(S::DischargeOvercurrentCooldown, "discharge_overcurrent_cooldown", "s",
              REG_DISCHARGE_OVERCURRENT_COOLDOWN, 1, 10, 1000),
        coded(S::ShortCircuitCurrent, "short_circuit_current", "A", REG_SHORT_CIRCUIT_CURRENT,
              table(SHORT_CIRCUIT_CURRENT_A)),
        coded(S::ShortCircuitDelay, "short_circuit_delay", "µs", REG_SHORT_CIRCUIT_DELAY,
              table(SHORT_CIRCUIT_DELAY_US)),
        range(S::ShortCircuitCooldown, "short_circuit_cooldown", "s", REG_SHORT_CIRCUIT_COOLDOWN, 1,
              10, 1000),
        range(S::Overvoltage, "overvoltage", "mV", REG_OVERVOLTAGE_VOLTAGE, 4000, 4300),
        range(S::OvervoltageHysteresis, "overvoltage_hysteresis", "mV", REG_OVERVOLTAGE_HYSTERESIS,
              0, 500),
        coded(S::OvervoltageDelay, "overvoltage_delay", "s", REG_OVERVOLTAGE_DELAY,
              table(OVERVOLTAGE_DELAY_S)),
        range(S::Undervoltage, "undervoltage", "mV", REG_UNDERVOLTAGE_VOLTAGE, 2500, 3500),
        range(S::UndervoltageHysteresis, "undervoltage_hysteresis", "mV",
              REG_UNDERVOLTAGE_HYSTERESIS, 0, 500),
        coded(S::UndervoltageDelay, "undervoltage_delay", "s", REG_UNDERVOLTAGE_DELAY,
              table(UNDERVOLTAGE_DELAY_S)),
        {S::BalanceMode,
         "balance_mode",
         "text",
         REG_BALANCE_MODE,
         1,
         F::Code,
         1,
         0,
         0,
         {},
         {QStringLiteral("Charging&Overvoltage"), QStringLiteral("Always"),
          QStringLiteral("Never")},
         {}},
        range(S::ShutdownVoltage, "shutdown_voltage", "mV", REG_SHUTDOWN_VOLTAGE, 2000, 3000),
        range(S::LowestVoltageToBalance, "lowest_voltage_to_balance", "mV",
              REG_LOWEST_VOLTAGE_TO_BALANCE, 3000, 4300),
        range(S::CellDisbalanceThreshold, "cell_disbalance_threshold", "mV",
              REG_CELL_DISBALANCE_THRESHOLD, 10, 1000),
        range(S::RecuperationDisableVoltage, "recuperation_disable_voltage", "mV",
              REG_RECUPERATION_DISABLE_VOLTAGE, 3500, 4300),
        listed(S::CriticalTemperature, "critical_temperature", "°C", REG_CRITICAL_INT_TEMP,
               {40, 50, 60, 70, 80}),
        range(S::CriticalTemperatureDelay, "critical_temperature_delay", "s",
              REG_CRITICAL_TEMP_DELAY, 1, 10, 1000),
        listed(S::CriticalTemperatureHysteresis, "critical_temperature_hysteresis", "°C",
               REG_CRITICAL_TEMP_HYSTERESIS, {5, 10, 15, 20, 25, 30}),
        {S::DischargeCurve,
         "discharge_curve",
         "mV",
         REG_DSG_CURVE,
         DSG_CURVE_POINTS,
         F::Curve,
         1,
         2000,
         4500,
         {},
         {},
         {}},
        range(S::AdcGain, "adc_gain", "µV per LSB", REG_ADC_GAIN, 365, 396),
        range(S::AdcOffset, "adc_offset", "mV", REG_ADC_OFFSET, -128, 127, 1, F::Signed),
    }};
}

const std::array<SettingDef, SETTING_COUNT> &table_of_settings()
{
    static const std::array<SettingDef, SETTING_COUNT> settings = make_table();
    return settings;
}

std::optional<qint32> whole_number(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double d = value.toDouble();
    if (std::floor(d) != d || std::abs(d) > 1e9)
        return std::nullopt;
    return static_cast<qint32>(d);
}

// YYYY-MM-DD, each field only as digits.
bool date_fields(const QJsonValue &value, int &year, int &month, int &day)
{
    static const QRegularExpression form(QStringLiteral("^(\\d{4})-(\\d{2})-(\\d{2})$"));
    const QRegularExpressionMatch m = form.match(value.toString());
    year = m.captured(1).toInt();
    month = m.captured(2).toInt();
    day = m.captured(3).toInt();
    return value.isString() && m.hasMatch();
}

QString join(const QVector<qint32> &values)
{
    QStringList texts;
    for (qint32 v : values)
        texts << QString::number(v);
    return texts.join(QStringLiteral(", "));
}

bool allowed(const SettingDef &def, qint32 v)
{
    return def.choices.isEmpty() ? v >= def.low && v <= def.high : def.choices.contains(v);
}

std::optional<QByteArray> refuse(QString *why, const QString &reason)
{
    if (why)
        *why = reason;
    return std::nullopt;
}

QByteArray word(qint32 v)
{
    return register_words({static_cast<quint16>(v)});
}

quint16 word_at(const QByteArray &bytes, int i)
{
    return static_cast<quint16>(static_cast<quint8>(bytes.at(2 * i)) |
                                static_cast<quint8>(bytes.at(2 * i + 1)) << 8);
}

QJsonValue decode_bytes(const SettingDef &def, const QByteArray &bytes)
{
    const quint16 w = word_at(bytes, 0);
    switch (def.form) {
    case F::Text: {
        // Read as the BMS's own firmware would: a C string, padded with spaces.
        const int end = bytes.indexOf('\0');
        QString text = QString::fromUtf8(end < 0 ? bytes : bytes.left(end));
        while (text.endsWith(QLatin1Char(' ')))
            text.chop(1);
        return text;
    }
    case F::Date:
        return QStringLiteral("%1-%2-%3")
            .arg(((w >> 9) & 0x1F) + 2000)
            .arg((w >> 5) & 0x0F, 2, 10, QLatin1Char('0'))
            .arg(w & 0x1F, 2, 10, QLatin1Char('0'));
    case F::Curve: {
        QJsonArray points;
        for (int k = 0; k < def.words; ++k)
            points.append(word_at(bytes, k));
        return points;
    }
    case F::Scaled:
        return w / def.scale;
    case F::Code:
        if (!def.labels.isEmpty())
            return w < def.labels.size() ? QJsonValue(def.labels.at(w)) : QJsonValue();
        return w < def.meanings.size() ? QJsonValue(def.meanings.at(w)) : QJsonValue();
    case F::Signed:
        return static_cast<qint16>(w);
    }
    return {};
}

} // namespace

const std::array<SettingDef, SETTING_COUNT> &all_settings()
{
    return table_of_settings();
}

const SettingDef &setting_def(Setting setting)
{
    return table_of_settings()[static_cast<size_t>(setting)];
}

const SettingDef *find_setting(const QString &name)
{
    for (const SettingDef &def : table_of_settings())
        if (name == QLatin1String(def.name))
            return &def;
    return nullptr;
}

std::optional<QByteArray> encode_setting(const SettingDef &def, const QJsonValue &value,
                                         QString *why)
{
    switch (def.form) {
    case F::Text: {
        if (!value.isString())
            return refuse(why, QStringLiteral("a text is expected"));
        QByteArray bytes = value.toString().toUtf8();
        if (bytes.size() > def.high)
            return refuse(why, QStringLiteral("at most %1 bytes of UTF-8 are allowed, this is %2")
                                   .arg(def.high)
                                   .arg(bytes.size()));
        bytes.append(def.high - bytes.size(), ' ');
        return bytes;
    }
    case F::Date: {
        int year = 0, month = 0, day = 0;
        if (!date_fields(value, year, month, day) || year < def.low || year > def.high)
            return refuse(why, QStringLiteral("a date YYYY-MM-DD with a year from %1 to %2 is "
                                              "expected")
                                   .arg(def.low)
                                   .arg(def.high));
        if (!QDate::isValid(year, month, day))
            return refuse(why,
                          QStringLiteral("%1 is no day of the calendar").arg(value.toString()));
        return word(day + 32 * month + 512 * (year - 2000));
    }
    case F::Curve: {
        const QJsonArray points = value.toArray();
        const QString rule = QStringLiteral("%1 points from %2 to %3 mV, strictly increasing, "
                                            "are expected")
                                 .arg(def.words)
                                 .arg(def.low)
                                 .arg(def.high);
        if (!value.isArray() || points.size() != def.words)
            return refuse(why, rule);
        QByteArray bytes;
        qint32 previous = def.low - 1;
        for (const QJsonValue &p : points) {
            const std::optional<qint32> mv = whole_number(p);
            if (!mv || *mv < def.low || *mv > def.high || *mv <= previous)
                return refuse(why, rule);
            previous = *mv;
            bytes += word(*mv);
        }
        return bytes;
    }
    case F::Code:
        if (!def.labels.isEmpty()) {
            const int code = def.labels.indexOf(value.toString());
            if (!value.isString() || code < 0)
                return refuse(why, QStringLiteral("one of %1 is expected")
                                       .arg(def.labels.join(QStringLiteral(", "))));
            return word(code);
        }
        Q_FALLTHROUGH();
    case F::Scaled:
    case F::Signed: {
        const std::optional<qint32> v = whole_number(value);
        if (!v || !allowed(def, *v))
            return refuse(why, allowed_values_text(def) + QStringLiteral(" is allowed"));
        return word(def.form == F::Code ? def.choices.indexOf(*v) : *v * def.scale);
    }
    }
    return std::nullopt;
}

QByteArray setting_bytes(const SettingDef &def, const RegisterImage &image)
{
    return QByteArray(reinterpret_cast<const char *>(image.data() + 2 * def.reg), 2 * def.words);
}

QJsonValue decode_setting(const SettingDef &def, const RegisterImage &image)
{
    return decode_bytes(def, setting_bytes(def, image));
}

std::optional<QByteArray> register_bytes(const SettingDef &def, const QJsonValue &value)
{
    const auto in = [](qint64 v, qint64 low, qint64 high) { return v >= low && v <= high; };
    switch (def.form) {
    case F::Text:
    case F::Code:
        if (def.form == F::Text || !def.labels.isEmpty())
            return encode_setting(def, value);
        if (const std::optional<qint32> v = whole_number(value); v && def.meanings.contains(*v))
            return word(def.meanings.indexOf(*v));
        return std::nullopt;
    case F::Date: {
        // Any year the bits hold; a board never given a date holds zero, 2000-00-00.
        int year = 0, month = 0, day = 0;
        if (!date_fields(value, year, month, day) || !in(year, 2000, 2031))
            return std::nullopt;
        const bool never_set = year == 2000 && month == 0 && day == 0;
        if (!never_set && !QDate::isValid(year, month, day))
            return std::nullopt;
        return word(day + 32 * month + 512 * (year - 2000));
    }
    case F::Curve: {
        const QJsonArray points = value.toArray();
        if (!value.isArray() || points.size() != def.words)
            return std::nullopt;
        QByteArray bytes;
        for (const QJsonValue &p : points) {
            const std::optional<qint32> mv = whole_number(p);
            if (!mv || !in(*mv, 0, 0xFFFF))
                return std::nullopt;
            bytes += word(*mv);
        }
        return bytes;
    }
    case F::Scaled:
        if (const std::optional<qint32> v = whole_number(value);
            v && in(qint64(*v) * def.scale, 0, 0xFFFF))
            return word(*v * def.scale);
        return std::nullopt;
    case F::Signed:
        if (const std::optional<qint32> v = whole_number(value); v && in(*v, -32768, 32767))
            return word(*v);
        return std::nullopt;
    }
    return std::nullopt;
}

bool setting_holds(const SettingDef &def, const RegisterImage &image, const QJsonValue &value)
{
    const std::optional<QByteArray> bytes = register_bytes(def, value);
    if (!bytes)
        return false;
    // Trailing spaces and zero bytes are the same empty rest of a serial number.
    if (def.form == F::Text)
        return decode_bytes(def, *bytes) == decode_setting(def, image);
    return *bytes == setting_bytes(def, image);
}

std::optional<QJsonValue> parse_setting_text(const SettingDef &def, const QString &text,
                                             QString *why)
{
    const auto number = [&](const QString &t) -> std::optional<qint32> {
        bool ok = false;
        const qint32 v = t.trimmed().toInt(&ok, 10);
        if (ok)
            return v;
        if (why)
            *why = QStringLiteral("\"%1\" is not a whole number").arg(t);
        return std::nullopt;
    };
    switch (def.form) {
    case F::Text:
    case F::Date:
        return QJsonValue(text);
    case F::Curve: {
        QJsonArray points;
        for (const QString &part : text.split(QLatin1Char(','))) {
            const std::optional<qint32> mv = number(part);
            if (!mv)
                return std::nullopt;
            points.append(*mv);
        }
        return QJsonValue(points);
    }
    case F::Code:
        if (!def.labels.isEmpty())
            return QJsonValue(text);
        Q_FALLTHROUGH();
    case F::Scaled:
    case F::Signed:
        if (const std::optional<qint32> v = number(text))
            return QJsonValue(*v);
        return std::nullopt;
    }
    return std::nullopt;
}

QString setting_value_text(const QJsonValue &value)
{
    if (value.isArray()) {
        QStringList points;
        for (const QJsonValue &p : value.toArray())
            points << setting_value_text(p);
        return points.join(QLatin1Char(','));
    }
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 10);
    if (value.isNull() || value.isUndefined())
        return QStringLiteral("(unknown)");
    return value.toString();
}

QString allowed_values_text(const SettingDef &def)
{
    // low and high of these forms are a byte count and years, not values.
    if (def.form == F::Text)
        return QStringLiteral("at most %1 bytes of UTF-8").arg(def.high);
    if (def.form == F::Date)
        return QStringLiteral("YYYY-MM-DD, years %1 to %2").arg(def.low).arg(def.high);
    if (def.form == F::Curve)
        return QStringLiteral("%1 values from %2 to %3, strictly increasing")
            .arg(def.words)
            .arg(def.low)
            .arg(def.high);
    if (!def.labels.isEmpty())
        return def.labels.join(QStringLiteral(", "));
    if (!def.choices.isEmpty())
        return join(def.choices);
    return QStringLiteral("%1 to %2").arg(def.low).arg(def.high);
}

QString allowed_text(const SettingDef &setting)
{
    const bool numeric = setting.form == SettingForm::Scaled ||
                         setting.form == SettingForm::Signed ||
                         (setting.form == SettingForm::Code && setting.labels.isEmpty());
    if (numeric)
        return allowed_values_text(setting) + QLatin1Char(' ') + QString::fromUtf8(setting.unit);
    if (!setting.labels.isEmpty())
        return QStringLiteral("one of ") + allowed_values_text(setting);
    return allowed_values_text(setting);
}

QString not_allowed(const SettingDef &setting, const QString &given, const QString &why)
{
    // Text, date and curve say best what exactly is wrong; the others with their
    // list or range.
    const bool specific = setting.form == SettingForm::Text || setting.form == SettingForm::Date ||
                          setting.form == SettingForm::Curve;
    return QStringLiteral("%1 is not allowed: %2")
        .arg(given, specific ? why : allowed_text(setting));
}

qint32 parse_decimal(const QString &text)
{
    return text.toInt(nullptr, 10);
}

std::optional<QByteArray> encode_window_input(const SettingDef &def, const QString &text, int index)
{
    switch (def.form) {
    case F::Text: {
        // A character whose encoding straddles the last byte is cut: the register
        // has no room for it.
        QByteArray bytes = text.toUtf8().left(def.high);
        bytes.append(def.high - bytes.size(), ' ');
        return bytes;
    }
    case F::Code:
        // The combo box lists exactly the choices, in the order of their codes.
        return index >= 0 ? std::optional<QByteArray>(word(index)) : std::nullopt;
    case F::Signed:
        // 65535 and -1 are the same 16 bits and the same offset to the BMS.
        return encode_setting(def, static_cast<qint16>(static_cast<quint16>(parse_decimal(text))));
    case F::Scaled:
        return encode_setting(def, parse_decimal(text));
    case F::Date:
    case F::Curve:
        break;
    }
    return std::nullopt;
}

QByteArray encode_window_date(int day_index, int month_index, int year_index)
{
    return word((day_index + 1) + 32 * (month_index + 1) + 512 * (year_index + 19));
}

std::optional<QByteArray> encode_window_curve(const CurveTexts &entered,
                                              const CurveTexts &displayed)
{
    QJsonArray points;
    for (size_t k = 0; k < entered.size(); ++k) {
        const qint32 typed = parse_decimal(entered[k]);
        points.append(typed >= 2001 && typed <= 4499 ? typed : parse_decimal(displayed[k]));
    }
    return encode_setting(setting_def(Setting::DischargeCurve), points);
}

QStringList cross_check(const SettingValues &v)
{
    const auto mv = [&v](Setting s) { return v[static_cast<size_t>(s)]; };
    const auto known = [&](std::initializer_list<Setting> list) {
        for (Setting s : list)
            if (!mv(s).isDouble() && !mv(s).isArray())
                return false;
        return true;
    };
    const auto n = [&](Setting s) { return mv(s).toInt(); };
    using S = Setting;
    QStringList problems;
    if (known({S::Undervoltage, S::Overvoltage}) && n(S::Undervoltage) >= n(S::Overvoltage))
        problems << QStringLiteral("undervoltage (%1 mV) must be below overvoltage (%2 mV): "
                                   "otherwise every cell voltage trips one protection or the other")
                        .arg(n(S::Undervoltage))
                        .arg(n(S::Overvoltage));
    if (known({S::ShutdownVoltage, S::Undervoltage}) && n(S::ShutdownVoltage) >= n(S::Undervoltage))
        problems << QStringLiteral("shutdown_voltage (%1 mV) must be below undervoltage (%2 mV): "
                                   "the BMS must stop the discharge before it switches itself off")
                        .arg(n(S::ShutdownVoltage))
                        .arg(n(S::Undervoltage));
    if (known({S::Undervoltage, S::UndervoltageHysteresis, S::Overvoltage,
               S::OvervoltageHysteresis})) {
        const int uv_release = n(S::Undervoltage) + n(S::UndervoltageHysteresis);
        const int ov_release = n(S::Overvoltage) - n(S::OvervoltageHysteresis);
        if (uv_release >= ov_release)
            problems << QStringLiteral(
                            "the undervoltage release point (undervoltage + hysteresis = %1 mV) "
                            "must stay below the overvoltage release point (overvoltage - "
                            "hysteresis = %2 mV): otherwise a cell can be locked out of charging "
                            "and discharging at once")
                            .arg(uv_release)
                            .arg(ov_release);
    }
    if (known({S::LowestVoltageToBalance, S::Overvoltage}) &&
        n(S::LowestVoltageToBalance) >= n(S::Overvoltage))
        problems << QStringLiteral("lowest_voltage_to_balance (%1 mV) must be below overvoltage "
                                   "(%2 mV): otherwise the cells are never balanced")
                        .arg(n(S::LowestVoltageToBalance))
                        .arg(n(S::Overvoltage));
    if (known({S::RecuperationDisableVoltage, S::Overvoltage}) &&
        n(S::RecuperationDisableVoltage) > n(S::Overvoltage))
        problems << QStringLiteral("recuperation_disable_voltage (%1 mV) must be at most "
                                   "overvoltage (%2 mV): braking energy must stop before a cell "
                                   "is overcharged")
                        .arg(n(S::RecuperationDisableVoltage))
                        .arg(n(S::Overvoltage));
    if (known({S::DischargeCurve, S::ShutdownVoltage, S::Overvoltage})) {
        const QJsonArray curve = mv(S::DischargeCurve).toArray();
        const int first = curve.first().toInt();
        const int last = curve.last().toInt();
        if (first < n(S::ShutdownVoltage) || last > n(S::Overvoltage))
            problems << QStringLiteral("discharge_curve (%1 to %2 mV) must run from at least "
                                       "shutdown_voltage (%3 mV) to at most overvoltage (%4 mV): "
                                       "otherwise the charge shown is wrong at the ends")
                            .arg(first)
                            .arg(last)
                            .arg(n(S::ShutdownVoltage))
                            .arg(n(S::Overvoltage));
    }
    return problems;
}
