// The upgrade status path: whatever arrives on the line goes through reception into
// the register image, and every reply that reception hands over as a status reply
// is judged against the outstanding upgrade command, in any upgrade state.
//
// Input: state byte, frame length byte, that many bytes of the outstanding command
// frame (any bytes, any length, so shorter than 8 too), then reception records as
// in fuzz_reception: a 4-byte head (flags, length low, length high, available) and
// the batch. Flags bit 1 sizes the batch to LEN + 6, bit 2 fills in its checksum.
//
// Besides the sanitizers, the verdict is checked against the rule: the status must
// repeat bytes 4 to 7 of the command frame (0 past its end), or be four zero bytes
// while the CRC check is outstanding.

#include "link/reception.h"
#include "upgrade/sequencer.h"
#include "upgrade/upgrade_commands.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace
{

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool expected_verdict(const quint8 *s, const QByteArray &frame, quint8 state)
{
    bool echo = true;
    for (int i = 0; i < 4; ++i) {
        const quint8 sent = 4 + i < frame.size() ? static_cast<quint8>(frame[4 + i]) : 0;
        echo = echo && s[i] == sent;
    }
    const bool zeros = s[0] == 0 && s[1] == 0 && s[2] == 0 && s[3] == 0;
    return echo || (state == UPGRADE_CHECKING_CRC && zeros);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const quint8 state = data[0];
    size_t pos = 2;
    const size_t frame_size = data[1] < size - pos ? data[1] : size - pos;
    const QByteArray frame(reinterpret_cast<const char *>(data + pos),
                           static_cast<int>(frame_size));
    pos += frame_size;

    for (int i = 0; i < 300; i += 7)
        check(frame_byte(frame, i) ==
              (i < frame.size() ? static_cast<quint8>(frame[i]) : quint8(0)));
    const int delay = command_delay_ms(frame);
    check(delay == 50 || delay == 500);

    RegisterImage reply_buffer{};
    RegisterImage image{};
    while (size - pos >= 4) {
        const uint8_t *head = data + pos;
        pos += 4;
        size_t length = static_cast<size_t>(head[1] | (head[2] << 8)) % 1025;
        if (length > size - pos)
            length = size - pos;
        QByteArray batch(reinterpret_cast<const char *>(data + pos), static_cast<int>(length));
        pos += length;
        if ((head[0] & 2) && batch.size() >= 3) {
            const int wanted = static_cast<quint8>(batch[2]) + 6;
            if (batch.size() > wanted)
                batch.truncate(wanted);
            else
                batch.append(QByteArray(wanted - batch.size(), '\0'));
        }
        if ((head[0] & 4) && batch.size() >= 3) {
            const int len = static_cast<quint8>(batch[2]);
            if (batch.size() >= len + 6) {
                const quint32 sum = frame_checksum(batch, static_cast<quint8>(len + 4));
                batch[len + 4] = static_cast<char>(sum & 0xFF);
                batch[len + 5] = static_cast<char>((sum >> 8) & 0xFF);
            }
        }
        const quint8 available = (head[0] & 1) ? head[3] : static_cast<quint8>(batch.size());

        const ReceptionResult result = receive_batch(available, batch, reply_buffer, image);
        if (!result.status_reply)
            continue;
        // The status as the sequencer finds it: registers 0x69 and 0x6A of the image.
        const quint8 *status = image.data() + 2 * STATUS_REGISTER;
        check(status[0] == reply_buffer[6] && status[3] == reply_buffer[9]);
        check(status_accepted(status, frame, state) == expected_verdict(status, frame, state));
    }
    return 0;
}
