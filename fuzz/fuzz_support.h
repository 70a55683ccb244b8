#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include "link/frame.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// A wrong answer stops the run like a crash.
inline void check(bool condition)
{
    if (!condition)
        std::abort();
}

// One readyRead batch from a reception record: a 4-byte head and the batch bytes.
//   head[0] bit 0: the port reports head[3] bytes available instead of the batch size
//                  (bytes may arrive between bytesAvailable() and readAll())
//   head[0] bit 1: the batch is cut or padded with zeros to LEN + 6 bytes
//   head[0] bit 2: the frame checksum is filled in at LEN + 4 (where the batch has room)
//   head[1], head[2]: batch length, little endian, taken modulo 1025 (more than one
//                  255-byte count on purpose), cut short by the end of the input
// Bits 1 and 2 let the fuzzer get past size and checksum cheaply and spend its time
// on what lies behind them. False when no whole head is left at `pos`.
struct Batch {
    QByteArray bytes; // a buffer of its own, so that ASan sees any read past its end
    quint8 available = 0;
};

inline bool next_batch(const uint8_t *data, size_t size, size_t &pos, Batch &out)
{
    if (size - pos < 4)
        return false;
    const uint8_t *head = data + pos;
    pos += 4;
    size_t length = static_cast<size_t>(head[1] | (head[2] << 8)) % 1025;
    if (length > size - pos)
        length = size - pos;
    QByteArray batch(reinterpret_cast<const char *>(data + pos), static_cast<int>(length));
    pos += length;
    if ((head[0] & 2) && batch.size() >= 3) {
        const int frame_size = static_cast<quint8>(batch[2]) + 6;
        if (batch.size() > frame_size)
            batch.truncate(frame_size);
        else
            batch.append(QByteArray(frame_size - batch.size(), '\0'));
    }
    if ((head[0] & 4) && batch.size() >= 3) {
        const int len = static_cast<quint8>(batch[2]);
        if (batch.size() >= len + 6) {
            const quint32 sum = frame_checksum(reinterpret_cast<const quint8 *>(batch.constData()),
                                               static_cast<quint8>(len + 4));
            batch[len + 4] = static_cast<char>(sum & 0xFF);
            batch[len + 5] = static_cast<char>((sum >> 8) & 0xFF);
        }
    }
    out.bytes = batch;
    out.available = (head[0] & 1) ? head[3] : static_cast<quint8>(batch.size());
    return true;
}

#endif // FUZZ_SUPPORT_H
