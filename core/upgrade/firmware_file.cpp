#include "upgrade/firmware_file.h"

#include <QIODevice>

#include <vector>

namespace
{

constexpr quint8 TYPE_DATA = 0x00;
constexpr quint8 TYPE_END = 0x01;
constexpr quint8 TYPE_SEGMENT = 0x02;
constexpr quint8 TYPE_LINEAR = 0x04;
constexpr quint8 TYPE_LAST = 0x05;

bool blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The bytes of a record line (":" and hex digit pairs), or nothing.
bool record_bytes(const char *text, int length, QByteArray &bytes)
{
    if (length < 1 || text[0] != ':' || (length - 1) % 2 != 0)
        return false;
    bytes.resize((length - 1) / 2);
    for (int i = 0; i < bytes.size(); ++i) {
        const int high = hex_digit(text[1 + 2 * i]);
        const int low = hex_digit(text[2 + 2 * i]);
        if (high < 0 || low < 0)
            return false;
        bytes[i] = static_cast<char>(high << 4 | low);
    }
    return true;
}

quint8 byte_at(const QByteArray &bytes, int i)
{
    return static_cast<quint8>(bytes.at(i));
}

// First occurrences of what the strict rules refuse, gathered in one pass and
// then judged in a fixed order, so that the verdict names the worst of them.
struct Findings {
    FirmwareVerdict not_a_record, too_long, outside, several_bases, more_than_flash, overlap;
    QVector<int> bad_checksums;
    bool any_text = false;
    bool end_record = false;
    int data_records = 0;
    int last_line = 0; // the last line to load: the end record, or the file's last
};

void note(FirmwareVerdict &slot, FirmwareVerdict found)
{
    if (slot.fault == FirmwareFault::None)
        slot = std::move(found);
}

FirmwareVerdict at_line(FirmwareFault fault, int line)
{
    FirmwareVerdict v;
    v.fault = fault;
    v.line = line;
    return v;
}

Findings scan(const QByteArray &file)
{
    Findings f;
    // Which line writes each flash byte first, 0 for none.
    std::vector<int> owner(FIRMWARE_IMAGE_SIZE, 0);
    quint32 base = 0;
    int base_line = 0;
    bool have_first_base = false;
    quint32 first_base = 0;
    int first_data_line = 0;
    qint64 data_bytes = 0;
    QByteArray bytes;

    int number = 0;
    for (int start = 0; start < file.size();) {
        int end = file.indexOf('\n', start);
        if (end < 0)
            end = file.size();
        const int next = end + 1;
        ++number;
        int length = end - start;
        while (length > 0 && blank(file.at(start + length - 1)))
            --length;
        const char *text = file.constData() + start;
        start = next;
        if (length > 0)
            f.any_text = true;

        const auto not_a_record = [&](LineFault why) {
            FirmwareVerdict v = at_line(FirmwareFault::NotARecord, number);
            v.line_fault = why;
            return v;
        };
        if (f.end_record) {
            if (length > 0)
                note(f.not_a_record, not_a_record(LineFault::AfterEndRecord));
            continue;
        }
        f.last_line = number;
        if (!record_bytes(text, length, bytes) || bytes.size() < 5) {
            note(f.not_a_record, not_a_record(LineFault::NotHex));
            continue;
        }
        if (bytes.size() != byte_at(bytes, 0) + 5) {
            FirmwareVerdict v = not_a_record(LineFault::WrongLength);
            v.bytes = bytes.size();
            v.expected_bytes = byte_at(bytes, 0) + 5;
            note(f.not_a_record, v);
            continue;
        }
        quint8 sum = 0;
        for (char c : bytes)
            sum = static_cast<quint8>(sum + static_cast<quint8>(c));
        if (sum != 0)
            f.bad_checksums.append(number);

        const quint8 type = byte_at(bytes, 3);
        if (type > TYPE_LAST) {
            FirmwareVerdict v = not_a_record(LineFault::UnknownType);
            v.record_type = type;
            note(f.not_a_record, v);
            continue;
        }
        if (type == TYPE_END) {
            f.end_record = true;
            continue;
        }
        if (type == TYPE_SEGMENT || type == TYPE_LINEAR) {
            if (byte_at(bytes, 0) != 2) {
                note(f.not_a_record, not_a_record(LineFault::AddressRecord));
                continue;
            }
            const quint32 value = byte_at(bytes, 4) << 8 | byte_at(bytes, 5);
            base = type == TYPE_SEGMENT ? value << 4 : value << 16;
            base_line = number;
            continue;
        }
        if (type != TYPE_DATA)
            continue; // start addresses mean nothing to the loader

        HexRecord record;
        record.byte_count = byte_at(bytes, 0);
        record.address = static_cast<quint16>(byte_at(bytes, 1) << 8 | byte_at(bytes, 2));
        record.data = bytes.mid(4, record.byte_count);
        ++f.data_records;
        if (!have_first_base) {
            have_first_base = true;
            first_base = base;
            first_data_line = number;
        } else if (base != first_base) {
            FirmwareVerdict v = at_line(FirmwareFault::SeveralBases, number);
            v.earlier_line = first_data_line;
            v.base = base;
            v.base_line = base_line;
            v.earlier_base = first_base;
            v.record = record;
            note(f.several_bases, v);
        }
        const qint64 before = data_bytes;
        data_bytes += record.byte_count;
        if (before <= FIRMWARE_IMAGE_SIZE && data_bytes > FIRMWARE_IMAGE_SIZE)
            note(f.more_than_flash, at_line(FirmwareFault::MoreThanFlash, number));
        if (record.byte_count > MAX_LINE_DATA_BYTES) {
            FirmwareVerdict v = at_line(FirmwareFault::LineTooLong, number);
            v.record = record;
            note(f.too_long, v);
            continue;
        }
        // Address 0xFFFF too: the window sends such a record without imaging it, but
        // no byte there belongs to this flash.
        if (record.address + record.byte_count > FIRMWARE_IMAGE_SIZE) {
            FirmwareVerdict v = at_line(FirmwareFault::OutsideFlash, number);
            v.record = record;
            note(f.outside, v);
            continue;
        }
        for (int i = 0; i < record.byte_count; ++i) {
            int &by = owner[static_cast<size_t>(record.address + i)];
            if (by != 0 && f.overlap.fault == FirmwareFault::None) {
                FirmwareVerdict v = at_line(FirmwareFault::Overlap, number);
                v.earlier_line = by;
                v.record = record;
                v.overlap_address = static_cast<quint16>(record.address + i);
                note(f.overlap, v);
            }
            if (by == 0)
                by = number;
        }
    }
    if (f.more_than_flash.fault != FirmwareFault::None)
        f.more_than_flash.data_bytes = data_bytes;
    return f;
}

FirmwareVerdict judge_strictly(const QByteArray &text, const FirmwareRules &rules)
{
    const Findings f = scan(text);
    FirmwareVerdict verdict;
    if (!f.any_text)
        verdict.fault = FirmwareFault::Empty;
    else if (f.not_a_record.fault != FirmwareFault::None)
        verdict = f.not_a_record;
    else if (rules.checksums && !f.bad_checksums.isEmpty())
        verdict = at_line(FirmwareFault::BadChecksums, f.bad_checksums.first());
    else if (!f.end_record)
        verdict = at_line(FirmwareFault::NoEndRecord, f.last_line);
    else if (f.too_long.fault != FirmwareFault::None)
        verdict = f.too_long;
    else if (f.several_bases.fault != FirmwareFault::None)
        verdict = f.several_bases;
    // A file for a larger flash is best told by where it leaves this one; a file
    // that repeats itself by its size.
    else if (f.outside.fault != FirmwareFault::None)
        verdict = f.outside;
    else if (f.more_than_flash.fault != FirmwareFault::None)
        verdict = f.more_than_flash;
    else if (f.overlap.fault != FirmwareFault::None)
        verdict = f.overlap;
    else if (f.data_records == 0)
        verdict.fault = FirmwareFault::NoDataRecords;
    verdict.bad_checksums = f.bad_checksums;
    return verdict;
}

} // namespace

FirmwareVerdict load_firmware_file(QIODevice &file, const FirmwareRules &rules,
                                   FirmwareLoader &loader)
{
    loader = FirmwareLoader();
    FirmwareVerdict verdict;
    if (!rules.strict) {
        load_firmware(file, loader);
        switch (loader.problem()) {
        case LoadProblem::None:
            return verdict;
        case LoadProblem::LineTooLong:
            verdict.fault = FirmwareFault::LineTooLong;
            break;
        case LoadProblem::OutsideImage:
            verdict.fault = FirmwareFault::OutsideFlash;
            break;
        }
        verdict.line = loader.problem_line();
        verdict.record = loader.problem_record();
        loader = FirmwareLoader();
        return verdict;
    }

    const QByteArray text = file.readAll();
    verdict = judge_strictly(text, rules);
    if (!verdict.accepted())
        return verdict;
    // Proven clean: loaded as the window loads, up to the end record.
    for (int start = 0; start < text.size();) {
        int end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        const QString line = QString::fromLatin1(text.constData() + start, end - start);
        start = end + 1;
        load_firmware_line(loader, line);
        if (line.mid(7, 2) == QLatin1String("01"))
            break;
    }
    loader.end_of_file();
    return verdict;
}
