#include "upgrade/upgrade_commands.h"

#include "link/frame.h"

namespace
{

quint32 crc_word(quint32 crc, quint32 word)
{
    crc ^= word;
    for (int bit = 0; bit < 32; ++bit)
        crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    return crc;
}

} // namespace

quint32 crc32_words(quint32 initial, const quint8 *data, int length)
{
    quint32 crc = initial;
    const int words = length / 4;
    for (int i = 0; i < words; ++i) {
        const quint8 *p = data + 4 * i;
        crc = crc_word(crc, quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 |
                                quint32(p[3]) << 24);
    }
    const int tail = length % 4;
    if (tail > 0) {
        const quint8 *p = data + 4 * words;
        quint32 word = 0;
        for (int i = 0; i < tail; ++i)
            word |= quint32(p[i]) << (8 * (4 - tail + i));
        crc = crc_word(crc, word);
    }
    return crc;
}

QByteArray build_erase_command()
{
    return build_frame(CMD_FLASH_ERASE, 0x01, QByteArray(2, 0x01));
}

QByteArray build_write_command(const HexRecord &record)
{
    // A record with more data than one frame can carry was refused at load.
    QByteArray payload;
    payload.append(static_cast<char>(record.address >> 8));
    payload.append(static_cast<char>(record.address & 0xFF));
    payload.append(record.data);
    return build_frame(CMD_FLASH_WRITE, static_cast<quint8>(record.byte_count), payload);
}

QByteArray build_crc_command(quint32 crc)
{
    QByteArray payload;
    for (int i = 1; i < 4; ++i)
        payload.append(static_cast<char>((crc >> (8 * i)) & 0xFF));
    return build_frame(CMD_FLASH_CHECK_CRC, static_cast<quint8>(crc & 0xFF), payload);
}

int command_delay_ms(const QByteArray &frame)
{
    switch (frame_byte(frame, 4)) {
    case CMD_FLASH_WRITE:
        return WRITE_DELAY_MS;
    case CMD_FLASH_CHECK_CRC:
        return CRC_DELAY_MS;
    default:
        return ERASE_DELAY_MS;
    }
}

quint8 frame_byte(const QByteArray &frame, int index)
{
    return index < frame.size() ? static_cast<quint8>(frame.at(index)) : 0;
}

bool status_accepted(const quint8 *status, const QByteArray &frame, UpgradePhase phase)
{
    bool echo = true;
    bool zeros = true;
    for (int i = 0; i < UPGRADE_STATUS_BYTES; ++i) {
        echo = echo && status[i] == frame_byte(frame, 4 + i);
        zeros = zeros && status[i] == 0;
    }
    return echo || (phase == UpgradePhase::CheckingCrc && zeros);
}

QString duration_text(double seconds)
{
    const qint64 s = static_cast<qint64>(seconds + 0.5);
    if (s < 3600)
        return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}
