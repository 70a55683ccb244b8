#include "wire.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace wire
{

quint16 checksum(const QByteArray &frame, int end)
{
    const auto *bytes = reinterpret_cast<const quint8 *>(frame.constData());
    const unsigned sum = std::accumulate(bytes + AT_LEN, bytes + std::max(end, AT_LEN), 0u);
    // The low 16 bits of the complement are 0xFFFF less the low 16 bits of the sum.
    return static_cast<quint16>(~sum);
}

bool sealed_at(const QByteArray &frame, int end)
{
    if (end < AT_LEN || end + 2 > frame.size())
        return false;
    const quint16 stored = static_cast<quint16>(static_cast<quint8>(frame.at(end)) |
                                                static_cast<quint8>(frame.at(end + 1)) << 8);
    return stored == checksum(frame, end);
}

void seal(QByteArray &frame)
{
    const quint16 sum = checksum(frame, frame.size());
    frame.append(static_cast<char>(sum & 0xFF));
    frame.append(static_cast<char>(sum >> 8));
}

namespace
{

// One step per possible top byte, so the flash of 14 KiB is checked a byte at a
// time rather than a bit at a time.
constexpr std::array<quint32, 256> crc_table()
{
    std::array<quint32, 256> table{};
    for (quint32 top = 0; top < 256; ++top) {
        quint32 value = top << 24;
        for (int bit = 0; bit < 8; ++bit)
            value = (value << 1) ^ ((value & 0x80000000u) ? 0x04C11DB7u : 0u);
        table[top] = value;
    }
    return table;
}

} // namespace

quint32 loader_crc(const quint8 *data, int size)
{
    static constexpr std::array<quint32, 256> table = crc_table();
    quint32 crc = 0xFFFFFFFFu;
    for (int at = 0; at < size; at += 4) {
        // A short tail sits at the high end of its word, zeros below it.
        quint8 word[4] = {};
        const int n = std::min(4, size - at);
        std::memcpy(word + 4 - n, data + at, static_cast<size_t>(n));
        // The loader shifts each little-endian word in from its top: last byte first.
        for (int i = 3; i >= 0; --i)
            crc = (crc << 8) ^ table[(crc >> 24) ^ word[i]];
    }
    return crc;
}

} // namespace wire
