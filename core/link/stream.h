#ifndef LINK_STREAM_H
#define LINK_STREAM_H

// The serial line as a stream of bytes. A USB-serial adapter hands a reply over in
// its own packets (a 48-byte reply as 32 + 16 bytes, a few milliseconds apart), and
// a late reply can reach the port together with the next one, so a read holds any
// part of any number of frames. Frames are found by their header 55 AA, their LEN
// byte and their checksum; whatever cannot be part of a frame is dropped.

#include <QByteArray>
#include <QVector>

// Appends `bytes` to `pending` and takes out, in order, every whole frame that now
// starts at a header and has the size its LEN byte gives and the right checksum.
// What is left in `pending` is the start of a frame still to come (at most 254
// bytes, or a lone 0x55 that may be the first half of a header); everything before
// a frame, and every header whose frame turns out wrong, is dropped. A header whose
// frame is still incomplete gives way to a whole, correct frame that starts after
// it: frames do not overlap, so the first was noise that happened to read 55 AA.
QVector<QByteArray> take_frames(QByteArray &pending, const QByteArray &bytes);

#endif // LINK_STREAM_H
