#ifndef LINK_FRAME_H
#define LINK_FRAME_H

// The envelope of every frame between the tool and the BMS:
//   55 AA LEN ADDR CMD REG payload... CHK_LO CHK_HI
// LEN counts the bytes from CMD to the byte before the checksum.

#include <QByteArray>
#include <QtGlobal>

#include <array>

constexpr int REGISTER_IMAGE_SIZE = 256; // 128 registers of 16 bits
using RegisterImage = std::array<quint8, REGISTER_IMAGE_SIZE>;

constexpr quint8 FRAME_HEADER_1 = 0x55;
constexpr quint8 FRAME_HEADER_2 = 0xAA;
constexpr quint8 ADDR_TO_BMS = 0x22;
constexpr quint8 ADDR_FROM_BMS = 0x25;
constexpr quint8 CMD_READ_REGISTERS = 0x01;
constexpr quint8 CMD_WRITE_REGISTERS = 0xFE;
constexpr quint8 CMD_FLASH_ERASE = 0xFA;
constexpr quint8 CMD_FLASH_WRITE = 0xFB;
constexpr quint8 CMD_FLASH_CHECK_CRC = 0xFD;

constexpr int FRAME_OVERHEAD = 6;  // header, LEN, address, checksum
constexpr int MAX_FRAME_LEN = 249; // the whole frame must fit in 255 bytes

// 0xFFFFFFFF minus the byte sum of offsets 2 .. length-1; all ones when length < 3.
// A frame keeps the low 16 bits, low byte first. `bytes` holds at least `length` bytes.
quint32 frame_checksum(const quint8 *bytes, quint8 length);

// Whether a payload ends in the write checksum that register writes carry: the same
// rule as the frame checksum, over LEN up to the last data byte.
enum class WriteChecksum { No, Yes };

// The one builder of every frame the tool sends: 55 AA LEN 22 command first payload
// [write checksum] frame checksum. `first` is the register of reads and writes and
// the first parameter of the upgrade commands.
QByteArray build_frame(quint8 command, quint8 first, const QByteArray &payload,
                       WriteChecksum write_checksum = WriteChecksum::No);

// 55 AA 03 22 01 r b CHK
QByteArray build_read_request(quint8 first_register, quint8 byte_count);
// 55 AA (n+5) 22 FE r n data... WCHK FCHK
QByteArray build_write_frame(quint8 first_register, const QByteArray &data);

// The 16-bit little-endian words of `values`, as register writes carry them.
QByteArray register_words(std::initializer_list<quint16> values);

// Register r of an image, unsigned.
inline quint16 register_value(const RegisterImage &image, int reg)
{
    const auto low = static_cast<size_t>(2 * reg);
    return static_cast<quint16>(image[low] | (image[low + 1] << 8));
}

enum class FrameKind {
    Invalid,   // wrong size or checksum: dropped silently
    Valid,     // proves the link, carries nothing
    ReadReply, // 55 AA LEN 25 01: its data belong in the register image
};

// Checks the first `count` bytes of `bytes` as exactly one frame. Only `count`
// bytes are ever read.
FrameKind recognise_frame(const quint8 *bytes, int count);

#endif // LINK_FRAME_H
