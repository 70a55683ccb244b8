#ifndef SETTINGS_PARAMETER_RULES_H
#define SETTINGS_PARAMETER_RULES_H

// How the input of each protection, balancing and calibration row becomes the one
// 16-bit register value that its "Set" button writes. Pure: the dialog reads the
// widget and hands over its text and index; nothing here touches a widget or port.

#include <QString>
#include <QtGlobal>

#include <optional>

enum class ParameterInput : quint8 {
    Index,          // combo box: its index is the code the BMS stores
    ItemText,       // combo box: its text as a number, times `scale`
    LineEdit,       // free text as a number, kept only within [low, high]
    SignedLineEdit, // as LineEdit, but range-checked after reduction to signed 16 bits
};

struct ParameterRule {
    quint8 reg;
    ParameterInput input;
    qint32 scale; // ItemText only
    qint32 low;   // LineEdit kinds only, inclusive
    qint32 high;
};

// One per row, in the order of the dialog's slots.
enum class Parameter : int {
    ChargeOvercurrent,
    ChargeOvercurrentDelay,
    ChargeOvercurrentCooldown,
    DischargeOvercurrent,
    DischargeOvercurrentDelay,
    DischargeOvercurrentCooldown,
    ShortCircuitCurrent,
    ShortCircuitDelay,
    ShortCircuitCooldown,
    OvervoltageVoltage,
    OvervoltageHysteresis,
    OvervoltageDelay,
    UndervoltageVoltage,
    UndervoltageHysteresis,
    UndervoltageDelay,
    BalanceMode,
    ShutdownVoltage,
    LowestVoltageToBalance,
    CellDisbalanceThreshold,
    RecuperationDisableVoltage,
    CriticalIntTemp,
    CriticalTempDelay,
    CriticalTempHysteresis,
    AdcGain,
    AdcOffset,
    Count
};

const ParameterRule &parameter_rule(Parameter parameter);

// Text to integer exactly as the dialog's inputs are read everywhere: base 10,
// white space around it and a sign allowed, anything else (or an overflow) is 0.
qint32 parse_decimal(const QString &text);

// The value to write for `rule`, given the widget's current text and (combo boxes
// only) its current index; nothing when a line edit holds a value outside its range.
std::optional<quint16> encode_parameter(const ParameterRule &rule, const QString &text, int index);

#endif // SETTINGS_PARAMETER_RULES_H
