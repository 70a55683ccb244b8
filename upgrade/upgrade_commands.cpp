#include "upgrade/upgrade_commands.h"

#include "link/frame.h"
#include "upgrade/sequencer.h"

namespace
{

quint32 crc_word(quint32 crc, quint32 word)
{
    crc ^= word;
    for (int bit = 0; bit < 32; ++bit)
        crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    return crc;
}

QByteArray command_start(quint8 length, quint8 command)
{
    QByteArray frame;
    frame.append(static_cast<char>(FRAME_HEADER_1));
    frame.append(static_cast<char>(FRAME_HEADER_2));
    frame.append(static_cast<char>(length));
    frame.append(static_cast<char>(ADDR_TO_BMS));
    frame.append(static_cast<char>(command));
    return frame;
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
    QByteArray frame = command_start(4, CMD_FLASH_ERASE);
    frame.append("\x01\x01\x01", 3);
    append_checksum(frame);
    return frame;
}

QByteArray build_write_command(const HexRecord &record)
{
    // The file was refused at load if n did not fit; a line that changed on disk
    // since then is sent as it is and the loader will not confirm it.
    QByteArray frame = command_start(static_cast<quint8>(record.byte_count + 4), CMD_FLASH_WRITE);
    frame.append(static_cast<char>(record.byte_count));
    frame.append(static_cast<char>(record.address >> 8));
    frame.append(static_cast<char>(record.address & 0xFF));
    frame.append(record.data);
    append_checksum(frame);
    return frame;
}

QByteArray build_crc_command(quint32 crc)
{
    QByteArray frame = command_start(5, CMD_FLASH_CHECK_CRC);
    for (int i = 0; i < 4; ++i)
        frame.append(static_cast<char>((crc >> (8 * i)) & 0xFF));
    append_checksum(frame);
    return frame;
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

bool status_accepted(const quint8 *status, const QByteArray &frame, quint8 state)
{
    bool echo = true;
    bool zeros = true;
    for (int i = 0; i < UPGRADE_STATUS_BYTES; ++i) {
        echo = echo && status[i] == frame_byte(frame, 4 + i);
        zeros = zeros && status[i] == 0;
    }
    return echo || (state == UPGRADE_CHECKING_CRC && zeros);
}
