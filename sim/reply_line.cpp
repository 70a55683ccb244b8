#include "reply_line.h"

#include <algorithm>
#include <cstdio>
#include <utility>

void ReplyStats::print() const
{
    std::fprintf(stderr,
                 "bms_sim: replies: answered %lld, silenced %lld, dropped %lld, corrupted %lld, "
                 "split %lld, merged %lld, chunked %lld, clean %lld; writes refused %lld\n",
                 answered, silenced, dropped, corrupted, split, merged, chunked, clean, refused);
}

ReplyLine::ReplyLine(const LineFaults &f) : faults(f), rng(f.seed ^ 0x5EEDu) {}

bool ReplyLine::chance(double share)
{
    return share > 0 && unit(rng) < share;
}

void ReplyLine::queue(QByteArray reply, qint64 now_ms)
{
    if (reply.isEmpty())
        return;
    ++counts.answered;
    if (silent_) {
        ++counts.silenced;
        return;
    }
    if (chance(faults.drop)) {
        ++counts.dropped;
        return;
    }
    bool clean = true;
    if (chance(faults.corrupt)) {
        const int at = std::uniform_int_distribution<int>(0, reply.size() - 1)(rng);
        reply[at] = static_cast<char>(reply.at(at) ^ 0x5A);
        ++counts.corrupted;
        clean = false;
    }
    qint64 due = now_ms;
    if (faults.delay_ms > 0)
        due = (now_ms / faults.delay_ms + 1) * faults.delay_ms;
    if (chance(faults.split) && reply.size() > 1) {
        const int cut = std::uniform_int_distribution<int>(1, reply.size() - 1)(rng);
        push(reply.left(cut), due, false);
        push(reply.mid(cut), due + 30, false);
        ++counts.split;
    } else {
        push(reply, due, clean);
    }
}

void ReplyLine::push(const QByteArray &bytes, qint64 due_ms, bool clean)
{
    if (faults.chunk_bytes <= 0 || bytes.size() <= faults.chunk_bytes) {
        waiting.push_back({due_ms, bytes, clean, faults.chunk_bytes > 0, false, false});
        return;
    }
    // The pieces of one reply leave one after the other, never merged with anything,
    // as an adapter's USB packets arrive.
    for (int from = 0; from < bytes.size(); from += faults.chunk_bytes) {
        const bool last = from + faults.chunk_bytes >= bytes.size();
        waiting.push_back(
            {due_ms, bytes.mid(from, faults.chunk_bytes), false, true, last && clean, from > 0});
        due_ms += faults.chunk_gap_ms;
    }
}

QVector<QByteArray> ReplyLine::take_due(qint64 now_ms)
{
    QVector<QByteArray> writes;
    QByteArray burst;
    int pieces = 0;
    int clean_pieces = 0;
    const auto flush = [&] {
        if (pieces == 1)
            counts.clean += clean_pieces;
        else
            counts.merged += clean_pieces;
        if (!burst.isEmpty())
            writes.append(std::exchange(burst, QByteArray()));
        pieces = clean_pieces = 0;
    };
    // First in, first out: a piece due later holds back what was queued after it, so
    // the bytes of two replies never interleave.
    while (!waiting.empty() && waiting.front().due_ms <= now_ms) {
        Piece piece = std::move(waiting.front());
        waiting.pop_front();
        if (piece.alone) {
            flush();
            counts.clean += piece.clean ? 1 : 0;
            counts.chunked += piece.counted ? 1 : 0;
            writes.append(piece.bytes);
            // A late pass must not send the rest of a reply at once: the gap counts
            // from the piece that just left.
            if (!waiting.empty() && waiting.front().continues) {
                waiting.front().due_ms =
                    std::max(waiting.front().due_ms, now_ms + faults.chunk_gap_ms);
                break;
            }
            continue;
        }
        burst.append(piece.bytes);
        ++pieces;
        clean_pieces += piece.clean ? 1 : 0;
    }
    flush();
    return writes;
}
