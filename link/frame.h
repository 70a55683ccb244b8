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

constexpr int FRAME_OVERHEAD = 6; // header, LEN, address, checksum
constexpr int MAX_FRAME_LEN = 249; // the whole frame must fit in 255 bytes

// 0xFFFFFFFF minus the byte sum of offsets 2 .. length-1; all ones when length < 3.
// The frame keeps the low 16 bits. This form reads a position at or past the end
// of the array as 0.
quint32 frame_checksum(const QByteArray &bytes, quint8 length);
// The same over a plain sequence that holds at least `length` bytes.
quint32 frame_checksum(const quint8 *bytes, quint8 length);

// Appends the low 16 bits of the checksum over everything in `frame`, low byte first.
void append_checksum(QByteArray &frame);

// Clears `frame` and builds 55 AA 03 22 01 r b CHK.
void build_read_request(QByteArray &frame, quint8 first_register, quint8 byte_count);

// Clears `frame` and builds a register write of `data` (n bytes) at `first_register`:
// 55 AA (n+5) 22 FE r n data... WCHK FCHK, where the write checksum covers LEN to the
// last data byte and the frame checksum covers the write checksum too.
void build_write_frame(QByteArray &frame, quint8 first_register, const QByteArray &data);

// The 16-bit little-endian words of `values`, as register writes carry them.
QByteArray register_words(std::initializer_list<quint16> values);

enum class FrameKind {
    Invalid,   // wrong size or checksum: dropped silently
    Valid,     // proves the link, carries nothing
    ReadReply, // 55 AA LEN 25 01: its data belong in the register image
};

// Checks the first `count` bytes of `bytes` as exactly one frame. Only `count`
// bytes are ever read.
FrameKind recognise_frame(const quint8 *bytes, int count);

#endif // LINK_FRAME_H
