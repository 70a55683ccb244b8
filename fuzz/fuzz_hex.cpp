// A firmware file of arbitrary text, loaded as the upgrade loads it: every data
// record kept for sending, the image filled, a write command per record, the CRC
// of the image in the CRC-check command.
//
// Besides the sanitizers, properties of any correct loader stop the run when
// broken: each record carries exactly its byte count; an accepted file has only
// records that fit a command and the flash, and the last record is in the image as
// it was written; every command the upgrade would send is recognised as a frame of
// its own size; the CRC's tail rule agrees with padding the tail with zero bytes.
// The verdicts: the window's names what the line-by-line loader found; a file the
// strict rules take, the window takes with the same image and the same records up
// to the end record, and its records lie inside the flash, apart, and no more than
// it holds; a refusal names a line of the file and leaves nothing to send.

#include "fuzz_support.h"
#include "upgrade/firmware_file.h"
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

FirmwareVerdict judge(QByteArray text, const FirmwareRules &rules, FirmwareLoader &loader)
{
    QBuffer file(&text);
    file.open(QIODevice::ReadOnly);
    return load_firmware_file(file, rules, loader);
}

void check_verdicts(const QByteArray &text, const FirmwareLoader &by_line)
{
    const int lines = text.count('\n') + (text.endsWith('\n') ? 0 : 1);
    FirmwareLoader window;
    const FirmwareVerdict loose = judge(text, FirmwareRules{}, window);
    check(loose.accepted() == (by_line.problem() == LoadProblem::None));
    check(loose.accepted() ? window.records().size() == by_line.records().size()
                           : loose.line == by_line.problem_line() && window.records().isEmpty());

    FirmwareLoader strict;
    const FirmwareVerdict v = judge(text, FirmwareRules{true, false}, strict);
    for (int i = 1; i < v.bad_checksums.size(); ++i)
        check(v.bad_checksums[i - 1] < v.bad_checksums[i]);
    if (!v.accepted()) {
        check(strict.records().isEmpty());
        check(v.line >= 0 && v.line <= lines && v.earlier_line < qMax(1, v.line));
        return;
    }
    check(loose.accepted() && window.image() == strict.image());
    check(!strict.records().isEmpty() && strict.records().size() <= window.records().size());
    QVector<bool> written(FIRMWARE_IMAGE_SIZE, false);
    int total = 0;
    for (int i = 0; i < strict.records().size(); ++i) {
        const HexRecord &record = strict.records()[i];
        check(record.address == window.records()[i].address &&
              record.data == window.records()[i].data);
        check(record.address + record.byte_count <= FIRMWARE_IMAGE_SIZE);
        total += record.byte_count;
        for (int b = 0; b < record.byte_count; ++b) {
            check(!written[record.address + b]);
            written[record.address + b] = true;
        }
    }
    check(total <= FIRMWARE_IMAGE_SIZE && !strict.last_line_is_data());
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
    check_verdicts(text, loader);
    return 0;
}
