// Reception of whatever the serial line delivers: a sequence of readyRead batches
// into one reply buffer and one register image that persist across the batches,
// as they do in the running tool.
//
// Input: reception records (fuzz_support.h).
//
// Besides the sanitizers, every batch is checked against a straightforward model of
// the acceptance rule, so a batch that is stored although it is not exactly one
// frame, or a reply written anywhere but where it names, stops the run too.

#include "fuzz_support.h"
#include "link/reception.h"

namespace
{

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
    Batch b;
    while (next_batch(data, size, pos, b)) {
        const quint8 available = b.available;
        const QByteArray &batch = b.bytes;
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
