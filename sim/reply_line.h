#ifndef SIM_REPLY_LINE_H
#define SIM_REPLY_LINE_H

// The road from the BMS's replies to the wire, with the faults a real line adds:
// replies lost, a byte flipped, a reply cut in two, replies held and merged, and
// replies handed over in small pieces as a USB-serial adapter does. No I/O and no
// clock of its own: the caller says what time it is and writes what is due.

#include <QByteArray>
#include <QVector>
#include <QtGlobal>

#include <deque>
#include <random>

struct LineFaults {
    double drop = 0;      // share of replies not sent
    double corrupt = 0;   // share of replies with one byte flipped
    double split = 0;     // share of replies sent in two writes 30 ms apart
    int delay_ms = 0;     // replies held and sent together every delay_ms
    int chunk_bytes = 0;  // every write cut into pieces of this many bytes; 0: whole
    int chunk_gap_ms = 2; // between two pieces of one write
    quint32 seed = 1;
};

// What became of the replies, so that a long run can compare what the tool
// accepted with what could have been accepted.
struct ReplyStats {
    long long answered = 0;  // requests the model had a reply for
    long long silenced = 0;  // ... not sent because the BMS was silent
    long long dropped = 0;   // ... left out by --drop
    long long corrupted = 0; // sent with one byte flipped
    long long split = 0;     // sent in two writes
    long long merged = 0;    // sent in one write together with another reply or piece
    long long chunked = 0;   // intact, sent in pieces by --chunk: a stream reader takes these
    long long clean = 0;     // sent whole, alone and intact: the tool should take these
    long long refused = 0;   // register writes dropped by --refuse-writes/--refuse-registers

    void print() const;
};

class ReplyLine
{
public:
    explicit ReplyLine(const LineFaults &faults);

    void set_silent(bool silent) { silent_ = silent; }
    bool silent() const { return silent_; }

    // A reply the BMS has for a request that arrived at `now_ms`.
    void queue(QByteArray reply, qint64 now_ms);
    // When the next write is due; -1 when nothing waits.
    qint64 next_due_ms() const { return waiting.empty() ? -1 : waiting.front().due_ms; }
    // The writes due by `now_ms`, in order. Whole replies due together leave in one
    // write (that is how held replies merge); pieces of a chunked reply leave alone.
    QVector<QByteArray> take_due(qint64 now_ms);

    ReplyStats &stats() { return counts; }

private:
    struct Piece {
        qint64 due_ms;
        QByteArray bytes;
        bool clean;     // a whole, intact reply
        bool alone;     // never merged with its neighbours
        bool counted;   // the last piece of an intact chunked reply
        bool continues; // the rest of the piece before it
    };
    bool chance(double share);
    void push(const QByteArray &bytes, qint64 due_ms, bool clean);

    LineFaults faults;
    std::mt19937 rng;
    std::uniform_real_distribution<double> unit{0.0, 1.0};
    std::deque<Piece> waiting;
    bool silent_ = false;
    ReplyStats counts;
};

#endif // SIM_REPLY_LINE_H
