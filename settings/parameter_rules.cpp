#include "settings/parameter_rules.h"

namespace
{

using In = ParameterInput;

constexpr ParameterRule index_of(quint8 reg)
{
    return {reg, In::Index, 1, 0, 0};
}
constexpr ParameterRule item(quint8 reg, qint32 scale = 1)
{
    return {reg, In::ItemText, scale, 0, 0};
}
constexpr ParameterRule line(quint8 reg, qint32 low, qint32 high)
{
    return {reg, In::LineEdit, 1, low, high};
}

// The dialog shows seconds and amperes where the BMS keeps milliseconds and
// milliamperes, hence the factors of 1000.
constexpr ParameterRule RULES[] = {
    item(0x57, 1000),                         // charge overcurrent, A -> mA
    item(0x58),                               // charge overcurrent delay, ms
    item(0x59, 1000),                         // charge overcurrent cooldown, s -> ms
    index_of(0x54),                           // discharge overcurrent code
    index_of(0x55),                           // discharge overcurrent delay code
    item(0x56, 1000),                         // discharge overcurrent cooldown, s -> ms
    index_of(0x51),                           // short circuit current code
    index_of(0x52),                           // short circuit delay code
    item(0x53, 1000),                         // short circuit cooldown, s -> ms
    line(0x5A, 4000, 4300),                   // overvoltage, mV
    line(0x5C, 0, 500),                       // overvoltage hysteresis, mV
    index_of(0x5B),                           // overvoltage delay code
    line(0x5D, 2500, 3500),                   // undervoltage, mV
    line(0x5F, 0, 500),                       // undervoltage hysteresis, mV
    index_of(0x5E),                           // undervoltage delay code
    index_of(0x6D),                           // balance mode
    line(0x63, 2000, 3000),                   // shutdown voltage, mV
    line(0x61, 3000, 4300),                   // lowest voltage to balance, mV
    line(0x62, 10, 1000),                     // cell disbalance threshold, mV
    line(0x67, 3500, 4300),                   // recuperation disable voltage, mV
    item(0x64),                               // critical temperature, degrees C
    item(0x65, 1000),                         // critical temperature delay, s -> ms
    item(0x66),                               // critical temperature hysteresis, degrees C
    item(0x6B),                               // ADC gain, uV per LSB
    {0x6C, In::SignedLineEdit, 1, -128, 127}, // ADC offset, mV
};
static_assert(sizeof RULES / sizeof RULES[0] == static_cast<size_t>(Parameter::Count),
              "one rule per parameter row");

std::optional<quint16> in_range(qint32 value, const ParameterRule &rule)
{
    if (value < rule.low || value > rule.high)
        return std::nullopt;
    return static_cast<quint16>(value);
}

} // namespace

const ParameterRule &parameter_rule(Parameter parameter)
{
    return RULES[static_cast<int>(parameter)];
}

qint32 parse_decimal(const QString &text)
{
    return text.toInt(nullptr, 10);
}

std::optional<quint16> encode_parameter(const ParameterRule &rule, const QString &text, int index)
{
    switch (rule.input) {
    case In::Index:
        return static_cast<quint16>(index);
    case In::ItemText:
        return static_cast<quint16>(static_cast<quint32>(parse_decimal(text)) *
                                    static_cast<quint32>(rule.scale));
    case In::LineEdit:
        return in_range(parse_decimal(text), rule);
    case In::SignedLineEdit:
        // 65535 and -1 are the same 16 bits and the same offset to the BMS.
        return in_range(static_cast<qint16>(static_cast<quint16>(parse_decimal(text))), rule);
    }
    return std::nullopt;
}
