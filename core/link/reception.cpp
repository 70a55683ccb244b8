#include "link/reception.h"

ReceptionResult receive_frame(const QByteArray &frame, RegisterImage &image)
{
    ReceptionResult result;
    const auto *bytes = reinterpret_cast<const quint8 *>(frame.constData());
    // recognise_frame reads only below the size, and accepts a size of LEN + 6
    // alone, so every offset read below lies inside the frame.
    const FrameKind kind = recognise_frame(bytes, static_cast<int>(frame.size()));
    if (kind == FrameKind::Invalid)
        return result;
    result.valid = true;
    if (kind != FrameKind::ReadReply)
        return result;

    result.length = bytes[2];
    result.first_register = bytes[5];
    const int data_size = result.length - 2;
    const int start = 2 * result.first_register;
    if (data_size > 0 && start + data_size > REGISTER_IMAGE_SIZE)
        return result;
    result.read_reply = true;
    for (int i = 0; i < data_size; ++i)
        image[static_cast<size_t>(start + i)] = bytes[6 + i];
    result.stored = data_size > 0;
    result.status_reply =
        result.first_register == REG_LAST_PROCESSED_COMMAND && result.length == STATUS_REPLY_LEN;
    return result;
}

PollRequest next_poll_request(qint32 offset)
{
    PollRequest request;
    const qint32 remaining = POLLED_REGISTER_COUNT - offset;
    qint32 count = REGISTERS_PER_REQUEST;
    if (remaining >= REGISTERS_PER_REQUEST) {
        count = REGISTERS_PER_REQUEST;
    } else if (remaining >= 1) {
        count = remaining;
    } else {
        offset = 0;
    }
    request.first_register = static_cast<quint8>(offset);
    request.register_count = static_cast<quint8>(count);
    request.next_offset = offset + count;
    return request;
}
