// Reception of whatever the serial line delivers: a sequence of readyRead batches
// into one reply buffer and one register image that persist across the batches, as
// they do in the running tool, and the upgrade status rule on every status reply.
//
// Input: reception records (fuzz_support.h).
//
// Besides the sanitizers, properties that any correct reception has stop the run
// when broken: a batch changes the reply buffer only below the count the port
// reported, and the image only inside the range the accepted reply names, there
// with the reply's data; a status that echoes the outstanding command is accepted.

#include "fuzz_support.h"
#include "link/reception.h"
#include "upgrade/upgrade_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    RegisterImage reply_buffer{};
    RegisterImage image{};
    size_t pos = 0;
    Batch b;
    while (next_batch(data, size, pos, b)) {
        const RegisterImage reply_before = reply_buffer;
        const RegisterImage image_before = image;
        const ReceptionResult got = receive_batch(b.available, b.bytes, reply_buffer, image);

        for (int i = b.available; i < REGISTER_IMAGE_SIZE; ++i)
            check(reply_buffer[i] == reply_before[i]);
        const int first = 2 * got.first_register;
        const int end = got.read_reply ? first + got.length - 2 : first;
        check(!got.valid || b.available == reply_buffer[2] + 6);
        check(got.valid || !got.read_reply);
        for (int i = 0; i < REGISTER_IMAGE_SIZE; ++i)
            check(i >= first && i < end ? image[i] == reply_buffer[6 + i - first]
                                        : image[i] == image_before[i]);
        check(got.stored == (end > first));

        if (got.status_reply) {
            check(got.first_register == REG_LAST_PROCESSED_COMMAND && got.length == 6);
            // Whatever the status, it confirms a command whose bytes 4 to 7 it repeats.
            const quint8 *status = image.data() + 2 * REG_LAST_PROCESSED_COMMAND;
            const QByteArray echoed = build_frame(
                status[0], status[1], QByteArray(reinterpret_cast<const char *>(status + 2), 2));
            for (UpgradePhase phase :
                 {UpgradePhase::Erasing, UpgradePhase::SendingLines, UpgradePhase::CheckingCrc})
                check(status_accepted(status, echoed, phase));
        }
    }
    return 0;
}
