#include "report/setting_labels.h"

QString setting_label(Setting setting)
{
    // In the order of Setting; the window's labels, its own spelling of units.
    static const char *const labels[SETTING_COUNT] = {
        "Battery serial",
        "Battery capacity, mAh",
        "Battery date of production",
        "Charge overcurrent, A",
        "Charge overcurrent delay, ms",
        "Charge overcurrent cooldown, s",
        "Discharge overcurrent, A",
        "Discharge overcurrent delay, ms",
        "Discharge overcurrent cooldown, s",
        "Short circuit current, A",
        "Short circuit delay, us",
        "Short circuit cooldown, s",
        "Cell overvoltage, mV",
        "Cell overvoltage hysteresis, mV",
        "Cell overvoltage delay, s",
        "Cell undervoltage, mV",
        "Cell undervoltage hysteresis, mV",
        "Cell undervoltage delay, s",
        "Balancing mode",
        "BMS shutdown voltage, mV",
        "Lowest voltage to balance, mV",
        "Cell disbalance threshold, mV",
        "Recuperation disable voltage, mV",
        "Critical cells temperature, °C",
        "Critical temperature delay, s",
        "Critical temperature hysteresis, °C",
        "Discharge curve, mV",
        "ADC gain, uV/LSB",
        "ADC offset, mV",
    };
    return QString::fromUtf8(labels[static_cast<int>(setting)]);
}
