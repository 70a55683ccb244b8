#ifndef SETTINGS_SETTINGS_H
#define SETTINGS_SETTINGS_H

// Every setting a technician can write: its name, unit, registers, the values it
// may take, and how a value becomes the register bytes the BMS keeps. The window's
// "Set" buttons, its display and the command line all go through this one table,
// so a value means the same bytes wherever it is typed.
//
// Values travel as JSON values in the window's units: a number (mA shown as A,
// ms shown as s where the window does so), a text (serial number, date as
// YYYY-MM-DD, balancing mode), or an array of eleven numbers (discharge curve).

#include "link/frame.h"

#include <QByteArray>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <QVector>

#include <array>
#include <optional>

// In the order of the window's "Set" rows.
enum class Setting : int {
    SerialNumber,
    Capacity,
    DateOfProduction,
    ChargeOvercurrent,
    ChargeOvercurrentDelay,
    ChargeOvercurrentCooldown,
    DischargeOvercurrent,
    DischargeOvercurrentDelay,
    DischargeOvercurrentCooldown,
    ShortCircuitCurrent,
    ShortCircuitDelay,
    ShortCircuitCooldown,
    Overvoltage,
    OvervoltageHysteresis,
    OvervoltageDelay,
    Undervoltage,
    UndervoltageHysteresis,
    UndervoltageDelay,
    BalanceMode,
    ShutdownVoltage,
    LowestVoltageToBalance,
    CellDisbalanceThreshold,
    RecuperationDisableVoltage,
    CriticalTemperature,
    CriticalTemperatureDelay,
    CriticalTemperatureHysteresis,
    DischargeCurve,
    AdcGain,
    AdcOffset,
};
constexpr int SETTING_COUNT = 29;

enum class SettingForm {
    Text,   // serial number: UTF-8, padded with spaces to the register width
    Date,   // day + 32 * month + 512 * (year - 2000)
    Curve,  // eleven mV points, one register each
    Scaled, // register = value * scale; read back as register / scale, truncated
    Code,   // register = position of the value in `choices` (or `labels`)
    Signed, // two's complement
};

struct SettingDef {
    Setting id;
    const char *name; // as typed on the command line and stored in backups
    const char *unit;
    quint8 reg;
    quint8 words; // registers written in one frame
    SettingForm form;
    qint32 scale;
    qint32 low; // inclusive range, when there is no list of choices
    qint32 high;
    QVector<qint32> choices;  // the only values allowed, in order of their codes
    QStringList labels;       // Code settings whose values are words
    QVector<qint32> meanings; // Code: what each code the BMS may hold means, when it
                              // knows more codes than the window offers
};

const SettingDef &setting_def(Setting setting);
const std::array<SettingDef, SETTING_COUNT> &all_settings();
const SettingDef *find_setting(const QString &name);

// The register bytes for `value` (words * 2 bytes, low byte first); nothing when
// the value is not allowed, with the reason in *why ("1 to 32000", ...).
std::optional<QByteArray> encode_setting(const SettingDef &def, const QJsonValue &value,
                                         QString *why = nullptr);
// The register bytes of a BMS that holds `value`, whether or not the window may
// write it: boards leave the factory with values outside the window's lists (a
// 30 s cooldown where the window offers 1 to 10 s), and a saved configuration
// must be able to say so. Nothing when no register content means `value`.
std::optional<QByteArray> register_bytes(const SettingDef &def, const QJsonValue &value);
// The value the image holds; Null where the BMS holds a code without a meaning.
QJsonValue decode_setting(const SettingDef &def, const RegisterImage &image);
// The setting's registers as they are in the image.
QByteArray setting_bytes(const SettingDef &def, const RegisterImage &image);
// Whether the BMS holds `value` already, or holds it as the window would show it
// (a serial number with or without its padding).
bool setting_holds(const SettingDef &def, const RegisterImage &image, const QJsonValue &value);

// A value typed as text (curve points separated by commas); nothing when it does
// not read as the setting's kind of value.
std::optional<QJsonValue> parse_setting_text(const SettingDef &def, const QString &text,
                                             QString *why = nullptr);
QString setting_value_text(const QJsonValue &value);
// What may be written, for messages: "1 to 32000", "17, 22, 28, 33, 39, 44, 50", ...
QString allowed_values_text(const SettingDef &def);
// What a setting may be written with, unit included: "1 to 10 s", "Always, Never, ...".
QString allowed_text(const SettingDef &setting);
// "capacity=40000 is not allowed: 1 to 32000 mAh": what was given, and what the
// setting takes.
QString not_allowed(const SettingDef &setting, const QString &given, const QString &why);

// The window's reading of its inputs: text to integer as QString::toInt does
// (white space and a sign allowed, anything else 0).
qint32 parse_decimal(const QString &text);
// The bytes a window row writes for the text and (combo boxes) index of its input
// widget; nothing where the window drops the click. Date and curve have their own.
std::optional<QByteArray> encode_window_input(const SettingDef &def, const QString &text,
                                              int index);
// Date from the indexes of the day ("1".."31"), month ("Jan".."Dec") and year
// ("2019".."2028") lists; the day is not checked against the month.
QByteArray encode_window_date(int day_index, int month_index, int year_index);
// The curve a window click writes: each entry between 2001 and 4499 replaces the
// displayed point. Nothing when the merged curve is not allowed.
using CurveTexts = std::array<QString, 11>;
std::optional<QByteArray> encode_window_curve(const CurveTexts &entered,
                                              const CurveTexts &displayed);

// Rules that tie settings together, checked on the settings as they will be after
// a write. Each failure is one sentence naming the rule and why it matters.
// `values` holds every setting in the order of all_settings(); Null ones are skipped.
using SettingValues = std::array<QJsonValue, SETTING_COUNT>;
QStringList cross_check(const SettingValues &values);

#endif // SETTINGS_SETTINGS_H
