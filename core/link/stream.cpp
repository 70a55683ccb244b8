#include "link/stream.h"

#include "link/frame.h"

namespace
{

const char HEADER[] = {static_cast<char>(FRAME_HEADER_1), static_cast<char>(FRAME_HEADER_2)};

enum class Candidate { Incomplete, Wrong, Frame };

// The frame a header at `at` announces. `at` + 1 < bytes.size().
Candidate judge(const QByteArray &bytes, int at, int &size)
{
    if (bytes.size() - at < 3)
        return Candidate::Incomplete;
    const int len = static_cast<quint8>(bytes.at(at + 2));
    if (len > MAX_FRAME_LEN)
        return Candidate::Wrong;
    size = len + FRAME_OVERHEAD;
    if (bytes.size() - at < size)
        return Candidate::Incomplete;
    const auto *start = reinterpret_cast<const quint8 *>(bytes.constData() + at);
    return recognise_frame(start, size) == FrameKind::Invalid ? Candidate::Wrong : Candidate::Frame;
}

} // namespace

QVector<QByteArray> take_frames(QByteArray &pending, const QByteArray &bytes)
{
    QVector<QByteArray> frames;
    pending.append(bytes);
    const QByteArray header = QByteArray::fromRawData(HEADER, 2);
    int at = 0; // everything before `at` is decided
    for (;;) {
        const int found = pending.indexOf(header, at);
        if (found < 0) {
            // A last 0x55 may be the first half of a header.
            at = pending.endsWith(HEADER[0]) ? pending.size() - 1 : pending.size();
            break;
        }
        at = found;
        int size = 0;
        const Candidate candidate = judge(pending, at, size);
        if (candidate == Candidate::Frame) {
            frames.append(pending.mid(at, size));
            at += size;
            continue;
        }
        if (candidate == Candidate::Wrong) {
            at += 2;
            continue;
        }
        // Incomplete: wait for the rest, unless a whole frame follows inside it.
        int later = pending.indexOf(header, at + 2);
        int later_size = 0;
        while (later >= 0 && judge(pending, later, later_size) != Candidate::Frame)
            later = pending.indexOf(header, later + 2);
        if (later < 0)
            break;
        at = later;
    }
    pending.remove(0, at);
    return frames;
}
