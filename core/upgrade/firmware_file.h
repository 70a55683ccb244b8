#ifndef UPGRADE_FIRMWARE_FILE_H
#define UPGRADE_FIRMWARE_FILE_H

// Whether a HEX file may go to the BMS, decided once for every front end. Each
// front end words the refusal its own way; the decision and the lines it names
// come from here.
//
// The window loads a file as it always has: anything is read as it stands, and only
// a record that cannot be sent in one command or that writes past the flash end is
// refused. The strict rules are for flashing boards in series, where a wrong file
// must never reach a board: the file must be proven whole (every line a record with
// the right checksum, an end record) and map cleanly onto the flash (one extended
// address base, no two records on the same bytes, no more data than the flash holds).

#include "upgrade/hex_file.h"

#include <QVector>

class QIODevice;

enum class FirmwareFault {
    None,
    // Strict rules only, in the order they are judged:
    Empty,        // nothing but white space
    NotARecord,   // `line` is not an Intel HEX record; see LineFault
    BadChecksums, // the record checksum is wrong on `lines`
    NoEndRecord,  // the file ends without an end-of-file record: cut short?
    // Both rules:
    LineTooLong,  // `line` holds more than MAX_LINE_DATA_BYTES
    OutsideFlash, // `line` writes at or beyond FIRMWARE_IMAGE_SIZE
    // Strict rules only:
    SeveralBases,  // `line` holds data under another extended-address base than `earlier_line`
    MoreThanFlash, // from `line` on the data records hold more than the flash
    Overlap,       // `line` writes flash bytes that `earlier_line` writes already
    NoDataRecords, // nothing to flash
};

// Why a line is not a record.
enum class LineFault {
    None,
    NotHex,         // not ":" followed by pairs of hex digits, at least five bytes
    WrongLength,    // `bytes` long where its byte count makes it `expected_bytes`
    UnknownType,    // record type `record_type` is none of 00 to 05
    AddressRecord,  // an extended-address record whose data are not two bytes
    AfterEndRecord, // more than white space after the end-of-file record
};

struct FirmwareRules {
    // The strict rules above; otherwise the window's.
    bool strict = false;
    // Strict: a wrong record checksum refuses the file (the lines are listed all the
    // same, for a warning).
    bool checksums = true;
};

struct FirmwareVerdict {
    FirmwareFault fault = FirmwareFault::None;
    int line = 0;                // 1-based, every line of the file counting
    int earlier_line = 0;        // Overlap: a line that writes the same bytes first;
                                 // SeveralBases: the first data record, under the first base
    HexRecord record;            // the data record on `line` (LineTooLong, OutsideFlash, Overlap)
    quint16 overlap_address = 0; // Overlap: the first flash byte both lines write

    LineFault line_fault = LineFault::None; // NotARecord
    int bytes = 0;                          // WrongLength
    int expected_bytes = 0;
    int record_type = 0; // UnknownType

    // SeveralBases: the bases as addresses (an extended linear address of 0x0001 is
    // 0x00010000, a segment of 0x1000 the same), and the line that set `base` (0:
    // none did, the base is 0).
    quint32 base = 0;
    quint32 earlier_base = 0;
    int base_line = 0;

    qint64 data_bytes = 0; // MoreThanFlash: the data bytes of every record in the file

    // Strict: every line whose record checksum is wrong, whether or not that refuses.
    QVector<int> bad_checksums;

    bool accepted() const { return fault == FirmwareFault::None; }
};

// Reads the whole of `file` and judges it. An accepted file is in `loader` (image
// and records to send, with the "size"/"address" debug line of each data record);
// after a refusal `loader` holds nothing to be sent. Under the strict rules, white
// space at the end of a line is ignored (CR LF line ends, trailing spaces), and only
// the records up to the end record are loaded.
FirmwareVerdict load_firmware_file(QIODevice &file, const FirmwareRules &rules,
                                   FirmwareLoader &loader);

#endif // UPGRADE_FIRMWARE_FILE_H
