// The upgrade status path: whatever arrives on the line goes through reception into
// the register image, and every reply that reception hands over as a status reply
// is judged against the outstanding upgrade command, in any upgrade state.
//
// Input: state byte, frame length byte, that many bytes of the outstanding command
// frame (any bytes, any length, so shorter than 8 too), then reception records
// (fuzz_support.h).
//
// Besides the sanitizers, the verdict is checked against the rule: the status must
// repeat bytes 4 to 7 of the command frame (0 past its end), or be four zero bytes
// while the CRC check is outstanding.

#include "fuzz_support.h"
#include "link/reception.h"
#include "upgrade/sequencer.h"
#include "upgrade/upgrade_commands.h"

namespace
{

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
    Batch b;
    while (next_batch(data, size, pos, b)) {
        const ReceptionResult result = receive_batch(b.available, b.bytes, reply_buffer, image);
        if (!result.status_reply)
            continue;
        // The status as the sequencer finds it: registers 0x69 and 0x6A of the image.
        const quint8 *status = image.data() + 2 * STATUS_REGISTER;
        check(status[0] == reply_buffer[6] && status[3] == reply_buffer[9]);
        check(status_accepted(status, frame, state) == expected_verdict(status, frame, state));
    }
    return 0;
}
