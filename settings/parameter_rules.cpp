#include "settings/parameter_rules.h"

#include "monitor/register_map.h"

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
    item(REG_CHARGE_OVERCURRENT, 1000),
    item(REG_CHARGE_OVERCURRENT_DELAY),
    item(REG_CHARGE_OVERCURRENT_COOLDOWN, 1000),
    index_of(REG_DISCHARGE_OVERCURRENT),
    index_of(REG_DISCHARGE_OVERCURRENT_DELAY),
    item(REG_DISCHARGE_OVERCURRENT_COOLDOWN, 1000),
    index_of(REG_SHORT_CIRCUIT_CURRENT),
    index_of(REG_SHORT_CIRCUIT_DELAY),
    item(REG_SHORT_CIRCUIT_COOLDOWN, 1000),
    line(REG_OVERVOLTAGE_VOLTAGE, 4000, 4300),
    line(REG_OVERVOLTAGE_HYSTERESIS, 0, 500),
    index_of(REG_OVERVOLTAGE_DELAY),
    line(REG_UNDERVOLTAGE_VOLTAGE, 2500, 3500),
    line(REG_UNDERVOLTAGE_HYSTERESIS, 0, 500),
    index_of(REG_UNDERVOLTAGE_DELAY),
    index_of(REG_BALANCE_MODE),
    line(REG_SHUTDOWN_VOLTAGE, 2000, 3000),
    line(REG_LOWEST_VOLTAGE_TO_BALANCE, 3000, 4300),
    line(REG_CELL_DISBALANCE_THRESHOLD, 10, 1000),
    line(REG_RECUPERATION_DISABLE_VOLTAGE, 3500, 4300),
    item(REG_CRITICAL_INT_TEMP),
    item(REG_CRITICAL_TEMP_DELAY, 1000),
    item(REG_CRITICAL_TEMP_HYSTERESIS),
    item(REG_ADC_GAIN),
    {REG_ADC_OFFSET, In::SignedLineEdit, 1, -128, 127},
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
