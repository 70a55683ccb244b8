#include "settings/identity.h"

#include "settings/parameter_rules.h"

QByteArray encode_serial_number(const QString &text)
{
    QByteArray bytes = text.toUtf8().left(SERIAL_NUMBER_BYTES);
    bytes.append(SERIAL_NUMBER_BYTES - bytes.size(), ' ');
    return bytes;
}

std::optional<quint16> encode_capacity(const QString &text)
{
    const qint32 mah = parse_decimal(text);
    if (mah < 1 || mah > 32000)
        return std::nullopt;
    return static_cast<quint16>(mah);
}

quint16 encode_production_date(int day_index, int month_index, int year_index)
{
    const int day = day_index + 1;
    const int month = month_index + 1;
    const int years_since_2000 = year_index + 19;
    return static_cast<quint16>(day + 32 * month + 512 * years_since_2000);
}
