#ifndef SETTINGS_IDENTITY_H
#define SETTINGS_IDENTITY_H

// The pack's identity as the BMS stores it: serial number, capacity, date of
// production. Pure encoders; the dialog supplies texts and combo indexes.

#include "monitor/register_map.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

// The first 14 bytes of the UTF-8 text, padded with spaces. A character whose
// encoding straddles the 14th byte is cut, as the register has no room for it.
QByteArray encode_serial_number(const QString &text);

// Capacity in mAh, 1 to 32000; nothing outside that (non-numbers read as 0).
std::optional<quint16> encode_capacity(const QString &text);

// day + 32 * month + 512 * (year - 2000) from the indexes of the day ("1".."31"),
// month ("Jan".."Dec") and year ("2019".."2028") lists. The day is not checked
// against the month.
quint16 encode_production_date(int day_index, int month_index, int year_index);

#endif // SETTINGS_IDENTITY_H
