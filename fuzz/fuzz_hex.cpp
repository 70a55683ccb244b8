// A firmware file of arbitrary text, read line by line as the upgrade reads it:
// the loading pass fills the image, each data line becomes a write command, and
// the image's CRC goes into the CRC-check command.
//
// Besides the sanitizers, every line is checked against the loader's contract:
// the image changes only where a data line lands inside it and only until the file
// is refused, a data line carries exactly its byte count, every write command that
// the sequencer could send is a well-formed frame, and the CRC's tail rule agrees
// with padding the tail with zero bytes below it.

#include "fuzz_support.h"
#include "link/frame.h"
#include "upgrade/hex_file.h"
#include "upgrade/upgrade_commands.h"

#include <QBuffer>

#include <cstring>

namespace
{

void check_frame(const QByteArray &frame, int expected_size, quint8 command)
{
    check(frame.size() == expected_size);
    // Copied into a buffer of its own, so that ASan watches its end.
    QByteArray copy(frame.constData(), frame.size());
    check(recognise_frame(reinterpret_cast<const quint8 *>(copy.constData()), copy.size()) ==
          FrameKind::Valid);
    check(static_cast<quint8>(copy[3]) == ADDR_TO_BMS);
    check(static_cast<quint8>(copy[4]) == command);
    check(command_delay_ms(copy) == (command == CMD_FLASH_WRITE ? 50 : 500));
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
    QByteArray exact(reinterpret_cast<const char *>(data), length);
    const auto *p = reinterpret_cast<const quint8 *>(padded.constData());
    const auto *e = reinterpret_cast<const quint8 *>(exact.constData());
    check(crc32_words(0xFFFFFFFFu, e, length) == crc32_words(0xFFFFFFFFu, p, padded.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray text(reinterpret_cast<const char *>(data), static_cast<int>(size));
    QBuffer file(&text);
    file.open(QIODevice::ReadOnly);

    FirmwareLoader loader;
    FirmwareImage expected;
    expected.fill(0xFF);
    bool refused = false;
    quint16 data_lines = 0;

    while (!file.atEnd()) {
        const QString line = hex_line_text(file.readLine());
        HexRecord record;
        const bool is_data = loader.add_line(line, &record);
        check(is_data == is_data_line(line));
        if (!is_data)
            continue;
        ++data_lines;
        check(loader.data_lines() == data_lines);

        const HexRecord again = parse_data_line(line);
        check(again.byte_count == record.byte_count && again.address == record.address &&
              again.data == record.data);
        check(record.byte_count <= 255);
        check(record.data.size() == record.byte_count);

        if (!refused) {
            if (record.byte_count > MAX_LINE_DATA_BYTES) {
                refused = true;
            } else if (record.address != 0xFFFF && record.byte_count != 0) {
                if (record.address + record.byte_count > FIRMWARE_IMAGE_SIZE)
                    refused = true;
                else
                    std::memcpy(expected.data() + record.address, record.data.constData(),
                                static_cast<size_t>(record.byte_count));
            }
        }
        check(refused == (loader.problem() != LoadProblem::None));

        if (record.byte_count <= MAX_LINE_DATA_BYTES) {
            const QByteArray frame = build_write_command(record);
            check_frame(frame, record.byte_count + 10, CMD_FLASH_WRITE);
            check(static_cast<quint8>(frame[5]) == record.byte_count);
            check(static_cast<quint8>(frame[6]) == record.address >> 8);
            check(static_cast<quint8>(frame[7]) == (record.address & 0xFF));
            check(frame.mid(8, record.byte_count) == record.data);
        }
    }

    check(loader.image() == expected);

    // The CRC walks the whole 14336-byte image in the upgrade; here it walks as much
    // of it as the input is long, which is as safe and keeps the fuzzer fast.
    const int crc_length = static_cast<int>(size % (FIRMWARE_IMAGE_SIZE + 1));
    const quint32 crc = crc32_words(0xFFFFFFFFu, loader.image().data(), crc_length);
    const QByteArray crc_frame = build_crc_command(crc);
    check_frame(crc_frame, 11, CMD_FLASH_CHECK_CRC);
    check_frame(build_erase_command(), 10, CMD_FLASH_ERASE);
    check_crc_tail(data, size);
    return 0;
}
