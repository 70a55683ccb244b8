#ifndef UPGRADE_HEX_FILE_H
#define UPGRADE_HEX_FILE_H

// Reading an Intel HEX file the way the BMS loader expects it to be sent: every
// field sits at a fixed character position of its line, and only data records
// (type 00) are carried. Extended-address records are skipped, so the 16-bit
// record address is the flash offset.

#include "upgrade/firmware_image.h"

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtGlobal>

class QIODevice;

// A write command carries n + 4 in its length byte and is n + 10 bytes long; the
// link's frames are at most 255 bytes, so a line may carry at most 245 data bytes.
constexpr int MAX_LINE_DATA_BYTES = 245;

struct HexRecord {
    quint16 byte_count = 0;
    quint16 address = 0;
    QByteArray data; // exactly byte_count bytes
};

// The text of one line as read from the file (line feed included): everything up
// to the first NUL byte, decoded as UTF-8.
QString hex_line_text(const QByteArray &raw);

// True for a line whose record type (characters 7 and 8, decimal) has its lowest
// 8 bits clear, or does not convert at all; an empty line is therefore a data line.
bool is_data_line(const QString &line);

// Byte count (chars 1-2), address (3-6) and byte_count data bytes (from char 9),
// all hexadecimal. A character past the end of the line reads as code 0 and a
// field that does not convert reads as 0; the record checksum is not looked at.
HexRecord parse_data_line(const QString &line);

// What makes the loader refuse a file. The sequencer never sees such a file.
enum class LoadProblem {
    None,
    // More data bytes than one write command can carry.
    LineTooLong,
    // Data that would land at or beyond FIRMWARE_IMAGE_SIZE. Such a file was built
    // for another flash layout; flashing its lower part alone would leave the BMS
    // with a firmware that cannot work, so the whole file is refused.
    OutsideImage,
};

// One loading pass over a file, fed line by line. The image starts erased (0xFF);
// data lines are copied at their address, later lines winning. Address 0xFFFF and
// byte count 0 are counted but copy nothing. Every data line is kept, in file
// order: the upgrade sends what was loaded, so a file that changes on disk during
// an upgrade cannot change what goes to the BMS.
class FirmwareLoader
{
public:
    FirmwareLoader();

    // Takes the next line of the file. Returns true if it is a data line. After a
    // problem further lines are still counted but no longer copied.
    bool add_line(const QString &line);
    // The file has no more lines: remembers whether its last line was a data line.
    void end_of_file() { last_line_is_data_ = last_added_was_data_; }

    const FirmwareImage &image() const { return image_; }
    const QVector<HexRecord> &records() const { return records_; }
    quint16 data_lines() const { return static_cast<quint16>(records_.size()); }
    // Whether the file ends with a data line (no end record after it). The upgrade
    // goes to its CRC check right after sending such a line.
    bool last_line_is_data() const { return last_line_is_data_; }

    LoadProblem problem() const { return problem_; }
    // 1-based line of the file (every line counts) that caused the problem.
    int problem_line() const { return problem_line_; }
    HexRecord problem_record() const { return problem_record_; }

private:
    FirmwareImage image_;
    QVector<HexRecord> records_;
    bool last_added_was_data_ = false;
    bool last_line_is_data_ = false;
    int lines_read_ = 0;
    LoadProblem problem_ = LoadProblem::None;
    int problem_line_ = 0;
    HexRecord problem_record_;
};

// Reads every line of an open file into `loader`, writing the debug line "size" n
// "address" a for each data line.
void load_firmware(QIODevice &file, FirmwareLoader &loader);
// One line of it; true for a data line.
bool load_firmware_line(FirmwareLoader &loader, const QString &line);

#endif // UPGRADE_HEX_FILE_H
