// A firmware file of arbitrary text, loaded as the upgrade loads it: every data
// record kept for sending, the image filled, a write command per record, the CRC
// of the image in the CRC-check command.
//
// Besides the sanitizers, properties of any correct loader stop the run when
// broken: each record carries exactly its byte count; an accepted file has only
// records that fit a command and the flash, and the last record is in the image as
// it was written; every command the upgrade would send is recognised as a frame of
// its own size; the CRC's tail rule agrees with padding the tail with zero bytes.

#include "fuzz_support.h"
#include "upgrade/hex_file.h"
#include "upgrade/upgrade_commands.h"

#include <QBuffer>

namespace
{

void check_frame(const QByteArray &frame, int expected_size, quint8 command)
{
    // Copied into a buffer of its own, so that ASan watches its end.
    const QByteArray copy(frame.constData(), frame.size());
    check(copy.size() == expected_size);
    check(recognise_frame(reinterpret_cast<const quint8 *>(copy.constData()), copy.size()) ==
          FrameKind::Valid);
    check(static_cast<quint8>(copy[4]) == command);
}

void check_crc_tail(const uint8_t *data, size_t size)
{
    const int length = static_cast<int>(size > 64 ? 64 : size);
    const int words = length / 4;
    const int tail = length % 4;
    if (tail == 0)
        return;
    QByteArray padded(reinterpret_cast<const char *>(data), 4 * words);
    padded.append(QByteArray(4 - tail, '\0'));
    padded.append(reinterpret_cast<const char *>(data) + 4 * words, tail);
    const QByteArray exact(reinterpret_cast<const char *>(data), length);
    check(crc32_words(0xFFFFFFFFu, reinterpret_cast<const quint8 *>(exact.constData()), length) ==
          crc32_words(0xFFFFFFFFu, reinterpret_cast<const quint8 *>(padded.constData()),
                      padded.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray text(reinterpret_cast<const char *>(data), static_cast<int>(size));
    QBuffer file(&text);
    file.open(QIODevice::ReadOnly);
    FirmwareLoader loader;
    int data_lines = 0;
    while (!file.atEnd()) {
        const QString line = hex_line_text(file.readLine());
        data_lines += loader.add_line(line);
    }
    loader.end_of_file();
    check(loader.records().size() == data_lines);

    const bool accepted = loader.problem() == LoadProblem::None;
    const HexRecord *last_copied = nullptr;
    for (const HexRecord &record : loader.records()) {
        check(record.data.size() == record.byte_count);
        if (!accepted)
            continue;
        check(record.byte_count <= MAX_LINE_DATA_BYTES);
        const bool copied = record.address != 0xFFFF && record.byte_count != 0;
        check(!copied || record.address + record.byte_count <= FIRMWARE_IMAGE_SIZE);
        if (copied)
            last_copied = &record;
        const QByteArray frame = build_write_command(record);
        check_frame(frame, record.byte_count + 10, CMD_FLASH_WRITE);
        check(frame.mid(8).left(record.byte_count) == record.data);
    }
    if (last_copied)
        check(
            QByteArray(reinterpret_cast<const char *>(loader.image().data()) + last_copied->address,
                       last_copied->byte_count) == last_copied->data);
    check(accepted || loader.problem_line() >= 1);

    // The CRC walks the whole image in the upgrade; here as much of it as the input is
    // long, which is as safe and keeps the fuzzer fast.
    const int crc_length = static_cast<int>(size % (FIRMWARE_IMAGE_SIZE + 1));
    check_frame(build_crc_command(crc32_words(0xFFFFFFFFu, loader.image().data(), crc_length)), 11,
                CMD_FLASH_CHECK_CRC);
    check_frame(build_erase_command(), 10, CMD_FLASH_ERASE);
    check_crc_tail(data, size);
    return 0;
}
