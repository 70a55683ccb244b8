// Reception of whatever the serial line delivers: a sequence of readyRead batches
// into one reply buffer and one register image that persist across the batches,
// as they do in the running tool.
//
// Input: records of a 4-byte head and the batch bytes.
//   head[0] bit 0: the port reports head[3] bytes available instead of the batch size
//                  (bytes may arrive between bytesAvailable() and readAll())
//   head[0] bit 1: the batch is cut or padded with zeros to LEN + 6 bytes
//   head[0] bit 2: the frame checksum is filled in at LEN + 4 (where the batch has room)
//   head[1], head[2]: batch length, little endian, taken modulo 1025 (more than one
//                  255-byte count on purpose), cut short by the end of the input
// Bits 1 and 2 let the fuzzer get past size and checksum cheaply and spend its time
// on what lies behind them: register numbers, lengths and the edge of the image.
//
// Besides the sanitizers, every batch is checked against a straightforward model of
// the acceptance rule, so a batch that is stored although it is not exactly one
// frame, or a reply written anywhere but where it names, stops the run too.

#include "link/reception.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace
{

void check(bool condition)
{
    if (!condition)
        std::abort();
}

struct Expected {
    bool valid = false;
    bool read_reply = false;
    bool stored = false;
};

// The rule written out the long way, on copies.
Expected model(quint8 available, const QByteArray &batch, RegisterImage &reply,
               RegisterImage &image)
{
    Expected e;
    for (int i = 0; i < available; ++i)
        reply[i] = i < batch.size() ? static_cast<quint8>(batch[i]) : 0;
    const int len = reply[2];
    if (available != len + 6)
        return e;
    quint32 sum = 0xFFFFFFFFu;
    for (int i = 2; i < len + 4; ++i)
        sum -= reply[i];
    if ((sum & 0xFFFF) != static_cast<quint32>(reply[len + 4] | (reply[len + 5] << 8)))
        return e;
    e.valid = true;
    if (reply[0] != 0x55 || reply[1] != 0xAA || reply[3] != 0x25 || reply[4] != 0x01)
        return e;
    const int start = 2 * reply[5];
    const int data = len - 2;
    if (data > 0 && start + data > 256)
        return e; // too long for the image: dropped whole
    e.read_reply = true;
    for (int i = 0; i < data; ++i)
        image[start + i] = reply[6 + i];
    e.stored = data > 0;
    return e;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    RegisterImage reply_buffer{};
    RegisterImage image{};
    RegisterImage expected_reply{};
    RegisterImage expected_image{};

    size_t pos = 0;
    while (size - pos >= 4) {
        const uint8_t *head = data + pos;
        pos += 4;
        size_t length = static_cast<size_t>(head[1] | (head[2] << 8)) % 1025;
        if (length > size - pos)
            length = size - pos;
        // A copy in a buffer of its own, so that ASan sees any read past its end.
        QByteArray batch(reinterpret_cast<const char *>(data + pos), static_cast<int>(length));
        pos += length;
        if ((head[0] & 2) && batch.size() >= 3) {
            const int frame_size = static_cast<quint8>(batch[2]) + 6;
            if (batch.size() > frame_size)
                batch.truncate(frame_size);
            else
                batch.append(QByteArray(frame_size - batch.size(), '\0'));
        }
        if ((head[0] & 4) && batch.size() >= 3) {
            const int len = static_cast<quint8>(batch[2]);
            if (batch.size() >= len + 6) {
                const quint32 sum = frame_checksum(batch, static_cast<quint8>(len + 4));
                batch[len + 4] = static_cast<char>(sum & 0xFF);
                batch[len + 5] = static_cast<char>((sum >> 8) & 0xFF);
            }
        }
        const quint8 available =
            (head[0] & 1) ? head[3] : static_cast<quint8>(batch.size()); // as the slot cuts it

        const ReceptionResult got = receive_batch(available, batch, reply_buffer, image);
        const Expected want = model(available, batch, expected_reply, expected_image);

        check(got.valid == want.valid);
        check(got.read_reply == want.read_reply);
        check(got.stored == want.stored);
        check(reply_buffer == expected_reply);
        check(image == expected_image);
        if (got.status_reply)
            check(got.read_reply && got.first_register == 0x69 && got.length == 6);
    }
    return 0;
}
