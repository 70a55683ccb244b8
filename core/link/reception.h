#ifndef LINK_RECEPTION_H
#define LINK_RECEPTION_H

// What the tool does with one frame from the port, and which registers the next
// poll asks for. Both are plain functions over values so that tests and
// fuzzers drive them without a port or a window.

#include "link/frame.h"
#include "monitor/register_map.h"

#include <QByteArray>
#include <QtGlobal>

constexpr int POLLED_REGISTER_COUNT = 118; // registers 0x00 .. 0x75
constexpr int REGISTERS_PER_REQUEST = 20;  // 40 data bytes per reply
constexpr quint8 STATUS_REPLY_LEN = 6;     // registers 0x69 and 0x6A: 4 data bytes

struct ReceptionResult {
    bool valid = false;      // right size and checksum: the link is alive
    bool read_reply = false; // 55 AA .. 25 01 and its data fit the image: logged as stored
    bool stored = false;     // at least one byte went into the register image
    quint8 first_register = 0;
    quint8 length = 0;         // the LEN byte
    bool status_reply = false; // r = 0x69 with LEN = 6: hand over to the upgrade sequencer
};

// Takes one frame from the line (see link/stream.h) and stores a read reply in
// `image`. The frame is checked again, size and checksum: whatever it is given,
// nothing outside the arguments is touched.
//
// A read reply whose data would run past the end of the image (2r + LEN - 2 > 256)
// is dropped whole: such a register number or length cannot come from a healthy
// BMS, so half of it would only plant garbage beside good values. It still proves
// the link, like any frame with the right size and checksum.
ReceptionResult receive_frame(const QByteArray &frame, RegisterImage &image);

struct PollRequest {
    quint8 first_register = 0;
    quint8 register_count = 0;
    qint32 next_offset = 0; // register_request_offset after this request
};

// The request of the tick that finds `register_request_offset` = offset: chunks
// of 20 registers, the last one shorter, then back to register 0.
PollRequest next_poll_request(qint32 offset);

#endif // LINK_RECEPTION_H
