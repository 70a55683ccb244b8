#include "hex_text.h"

QString hex_record(quint8 type, quint16 address, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(static_cast<char>(data.size()));
    bytes.append(static_cast<char>(address >> 8));
    bytes.append(static_cast<char>(address & 0xFF));
    bytes.append(static_cast<char>(type));
    bytes.append(data);
    quint8 sum = 0;
    for (char c : bytes)
        sum = static_cast<quint8>(sum + static_cast<quint8>(c));
    bytes.append(static_cast<char>(-sum));
    return QLatin1Char(':') + QString::fromLatin1(bytes.toHex().toUpper());
}

QByteArray generated_hex_file(int lines, int bytes_per_line, quint32 seed, bool with_end_record)
{
    QByteArray file = hex_record(4, 0, QByteArray::fromHex("0800")).toLatin1() + "\r\n";
    quint32 x = seed | 1;
    for (int line = 0; line < lines; ++line) {
        QByteArray data;
        for (int i = 0; i < bytes_per_line; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            data.append(static_cast<char>(x & 0xFF));
        }
        file += hex_record(0, static_cast<quint16>(line * bytes_per_line), data).toLatin1();
        if (with_end_record || line + 1 < lines)
            file += "\r\n";
    }
    if (with_end_record)
        file += ":00000001FF\r\n";
    return file;
}
