// Reception of whatever the serial line delivers: a sequence of reads taken as one
// stream into one register image that persists across them, as in the running
// tool, and the upgrade status rule on every status reply.
//
// Input: reception records (fuzz_support.h); each record is one read.
//
// Besides the sanitizers, properties that any correct reception has stop the run
// when broken: every frame the stream yields starts with the header, has the size
// its LEN byte gives and the right checksum, and is a piece of the input in the
// order it came; what the stream keeps is less than a frame; a read that is one
// whole frame on a clean stream comes out as that frame; the image changes only
// inside the range an accepted reply names, there with the reply's data; a status
// that echoes the outstanding command is accepted.

#include "fuzz_support.h"
#include "link/reception.h"
#include "link/stream.h"
#include "upgrade/upgrade_commands.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    RegisterImage image{};
    QByteArray pending;
    QByteArray line; // what the stream kept, then this read
    int decided = 0; // bytes of `line` up to the end of the last frame taken
    size_t pos = 0;
    Batch b;
    while (next_batch(data, size, pos, b)) {
        const bool clean = pending.isEmpty();
        line.append(b.bytes);
        const QVector<QByteArray> frames = take_frames(pending, b.bytes);
        check(pending.size() < 255 && line.endsWith(pending));
        if (clean && b.bytes.startsWith("\x55\xAA") &&
            recognise_frame(reinterpret_cast<const quint8 *>(b.bytes.constData()),
                            static_cast<int>(b.bytes.size())) != FrameKind::Invalid)
            check(frames.size() == 1 && frames.first() == b.bytes);

        for (const QByteArray &frame : frames) {
            const auto *bytes = reinterpret_cast<const quint8 *>(frame.constData());
            check(frame.size() >= 6 && bytes[0] == 0x55 && bytes[1] == 0xAA &&
                  frame.size() == bytes[2] + 6);
            const int at = static_cast<int>(line.indexOf(frame, decided));
            check(at >= decided);
            decided = at + static_cast<int>(frame.size());

            const RegisterImage image_before = image;
            const ReceptionResult got = receive_frame(frame, image);
            check(got.valid);
            const int first = 2 * got.first_register;
            const int end = got.read_reply ? first + got.length - 2 : first;
            for (int i = 0; i < REGISTER_IMAGE_SIZE; ++i)
                check(i >= first && i < end ? image[i] == bytes[6 + i - first]
                                            : image[i] == image_before[i]);
            check(got.stored == (end > first));

            if (got.status_reply) {
                check(got.first_register == REG_LAST_PROCESSED_COMMAND && got.length == 6);
                // Whatever the status, it confirms a command whose bytes 4 to 7 it repeats.
                const quint8 *status = image.data() + 2 * REG_LAST_PROCESSED_COMMAND;
                const QByteArray echoed =
                    build_frame(status[0], status[1],
                                QByteArray(reinterpret_cast<const char *>(status + 2), 2));
                for (UpgradePhase phase :
                     {UpgradePhase::Erasing, UpgradePhase::SendingLines, UpgradePhase::CheckingCrc})
                    check(status_accepted(status, echoed, phase));
            }
        }
        // All before what the stream keeps is decided; frames to come lie after it.
        line = pending;
        decided = 0;
    }
    return 0;
}
