#include "link/frame.h"

namespace
{

void append_checksum(QByteArray &frame)
{
    const quint32 sum = frame_checksum(reinterpret_cast<const quint8 *>(frame.constData()),
                                       static_cast<quint8>(frame.size()));
    frame.append(static_cast<char>(sum & 0xFF));
    frame.append(static_cast<char>((sum >> 8) & 0xFF));
}

} // namespace

quint32 frame_checksum(const quint8 *bytes, quint8 length)
{
    quint32 sum = 0xFFFFFFFFu;
    if (length < 3)
        return sum;
    for (int i = 2; i < length; ++i)
        sum -= bytes[i];
    return sum;
}

QByteArray build_frame(quint8 command, quint8 first, const QByteArray &payload,
                       WriteChecksum write_checksum)
{
    const int checksum_bytes = write_checksum == WriteChecksum::Yes ? 2 : 0;
    QByteArray frame;
    frame.reserve(FRAME_OVERHEAD + 2 + payload.size() + checksum_bytes);
    frame.append(static_cast<char>(FRAME_HEADER_1));
    frame.append(static_cast<char>(FRAME_HEADER_2));
    frame.append(static_cast<char>(2 + payload.size() + checksum_bytes));
    frame.append(static_cast<char>(ADDR_TO_BMS));
    frame.append(static_cast<char>(command));
    frame.append(static_cast<char>(first));
    frame.append(payload);
    if (write_checksum == WriteChecksum::Yes)
        append_checksum(frame);
    append_checksum(frame); // covers the write checksum too
    return frame;
}

QByteArray build_read_request(quint8 first_register, quint8 byte_count)
{
    return build_frame(CMD_READ_REGISTERS, first_register,
                       QByteArray(1, static_cast<char>(byte_count)));
}

QByteArray build_write_frame(quint8 first_register, const QByteArray &data)
{
    return build_frame(CMD_WRITE_REGISTERS, first_register, static_cast<char>(data.size()) + data,
                       WriteChecksum::Yes);
}

QByteArray register_words(std::initializer_list<quint16> values)
{
    QByteArray data;
    for (quint16 v : values) {
        data.append(static_cast<char>(v & 0xFF));
        data.append(static_cast<char>(v >> 8));
    }
    return data;
}

FrameKind recognise_frame(const quint8 *bytes, int count)
{
    // Size before checksum: once count == LEN + 6 every offset read below is < count.
    if (count < FRAME_OVERHEAD)
        return FrameKind::Invalid;
    const int len = bytes[2];
    if (len > MAX_FRAME_LEN || count != len + FRAME_OVERHEAD)
        return FrameKind::Invalid;
    const quint16 expected =
        static_cast<quint16>(frame_checksum(bytes, static_cast<quint8>(len + 4)) & 0xFFFF);
    const quint16 received = static_cast<quint16>(bytes[len + 4] | (bytes[len + 5] << 8));
    if (expected != received)
        return FrameKind::Invalid;
    if (bytes[0] != FRAME_HEADER_1 || bytes[1] != FRAME_HEADER_2 || bytes[3] != ADDR_FROM_BMS ||
        bytes[4] != CMD_READ_REGISTERS)
        return FrameKind::Valid;
    return FrameKind::ReadReply;
}
