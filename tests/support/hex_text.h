#ifndef TESTS_HEX_TEXT_H
#define TESTS_HEX_TEXT_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// One Intel HEX record with a correct checksum, upper-case, without line end.
QString hex_record(quint8 type, quint16 address, const QByteArray &data);

// A firmware file as a linker would write it: an extended linear address record,
// `lines` data records of `bytes_per_line` bytes from address 0 (contents derived
// from `seed`), and an end-of-file record. Lines end in CR LF.
QByteArray generated_hex_file(int lines, int bytes_per_line, quint32 seed,
                              bool with_end_record = true);

#endif // TESTS_HEX_TEXT_H
