#include "upgrade/hex_file.h"

#include <QIODevice>
#include <QLoggingCategory>

#include <cstring>

namespace
{

// One line per data record of a loaded file: off unless asked for (see README).
Q_LOGGING_CATEGORY(line_log, "bms.hex.line", QtInfoMsg)

QChar char_at(const QString &line, int pos)
{
    return pos < line.size() ? line.at(pos) : QChar(0);
}

QString field(const QString &line, int first, int count)
{
    QString text;
    for (int i = 0; i < count; ++i)
        text.append(char_at(line, first + i));
    return text;
}

// The framework's own conversion: a field that fails reads as 0.
quint32 hex_field(const QString &line, int first, int count)
{
    bool ok = false;
    const quint32 value = field(line, first, count).toUInt(&ok, 16);
    return ok ? value : 0;
}

} // namespace

QString hex_line_text(const QByteArray &raw)
{
    const char *bytes = raw.constData();
    const void *nul = std::memchr(bytes, 0, static_cast<size_t>(raw.size()));
    const int length = nul ? static_cast<int>(static_cast<const char *>(nul) - bytes) : raw.size();
    return QString::fromUtf8(bytes, length);
}

bool is_data_line(const QString &line)
{
    bool ok = false;
    const int type = field(line, 7, 2).toInt(&ok, 10);
    return !ok || (type & 0xFF) == 0;
}

HexRecord parse_data_line(const QString &line)
{
    HexRecord record;
    record.byte_count = static_cast<quint16>(hex_field(line, 1, 2));
    record.address = static_cast<quint16>(hex_field(line, 3, 4));
    record.data.reserve(record.byte_count);
    for (int i = 0; i < record.byte_count; ++i)
        record.data.append(static_cast<char>(hex_field(line, 9 + 2 * i, 2)));
    return record;
}

FirmwareLoader::FirmwareLoader()
{
    image_.fill(0xFF);
}

bool FirmwareLoader::add_line(const QString &line)
{
    ++lines_read_;
    last_added_was_data_ = is_data_line(line);
    if (!last_added_was_data_)
        return false;
    const HexRecord rec = parse_data_line(line);
    records_.append(rec);
    if (problem_ != LoadProblem::None)
        return true;

    if (rec.byte_count > MAX_LINE_DATA_BYTES) {
        problem_ = LoadProblem::LineTooLong;
    } else if (rec.address != 0xFFFF && rec.byte_count != 0) {
        if (rec.address + rec.byte_count > FIRMWARE_IMAGE_SIZE)
            problem_ = LoadProblem::OutsideImage;
        else
            std::memcpy(image_.data() + rec.address, rec.data.constData(), rec.byte_count);
    }
    if (problem_ != LoadProblem::None) {
        problem_line_ = lines_read_;
        problem_record_ = rec;
    }
    return true;
}

bool load_firmware_line(FirmwareLoader &loader, const QString &line)
{
    if (!loader.add_line(line))
        return false;
    const HexRecord &record = loader.records().constLast();
    qCDebug(line_log) << "size" << record.byte_count << "address" << record.address;
    return true;
}

void load_firmware(QIODevice &file, FirmwareLoader &loader)
{
    while (!file.atEnd())
        load_firmware_line(loader, hex_line_text(file.readLine()));
    loader.end_of_file();
}
