#include "link/frame.h"

quint32 frame_checksum(const QByteArray &bytes, quint8 length)
{
    quint32 sum = 0xFFFFFFFFu;
    if (length < 3)
        return sum;
    for (int i = 2; i < length; ++i)
        sum -= i < bytes.size() ? static_cast<quint8>(bytes.at(i)) : 0u;
    return sum;
}

quint32 frame_checksum(const quint8 *bytes, quint8 length)
{
    quint32 sum = 0xFFFFFFFFu;
    if (length < 3)
        return sum;
    for (int i = 2; i < length; ++i)
        sum -= bytes[i];
    return sum;
}

void append_checksum(QByteArray &frame)
{
    const quint32 sum = frame_checksum(frame, static_cast<quint8>(frame.size()));
    frame.append(static_cast<char>(sum & 0xFF));
    frame.append(static_cast<char>((sum >> 8) & 0xFF));
}

void build_read_request(QByteArray &frame, quint8 first_register, quint8 byte_count)
{
    frame.clear();
    frame.append(static_cast<char>(FRAME_HEADER_1));
    frame.append(static_cast<char>(FRAME_HEADER_2));
    frame.append(static_cast<char>(3));
    frame.append(static_cast<char>(ADDR_TO_BMS));
    frame.append(static_cast<char>(CMD_READ_REGISTERS));
    frame.append(static_cast<char>(first_register));
    frame.append(static_cast<char>(byte_count));
    append_checksum(frame);
}

void build_write_frame(QByteArray &frame, quint8 first_register, const QByteArray &data)
{
    frame.clear();
    frame.append(static_cast<char>(FRAME_HEADER_1));
    frame.append(static_cast<char>(FRAME_HEADER_2));
    frame.append(static_cast<char>(data.size() + 5));
    frame.append(static_cast<char>(ADDR_TO_BMS));
    frame.append(static_cast<char>(CMD_WRITE_REGISTERS));
    frame.append(static_cast<char>(first_register));
    frame.append(static_cast<char>(data.size()));
    frame.append(data);
    append_checksum(frame); // write checksum
    append_checksum(frame); // frame checksum, covering the write checksum
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
