#ifndef CLI_LIVE_SAMPLER_H
#define CLI_LIVE_SAMPLER_H

// The live registers read at a steady pace with request/reply reads, for monitor
// and report alike. A sample still being read when the next is due takes that
// turn too; a BMS that stops answering leaves a gap, never an invented sample.

#include "command.h"

#include <QDateTime>

class QTimer;

class LiveSampler : public QObject
{
    Q_OBJECT

public:
    // Status flags to temperatures, the cells, the balancing mask: what
    // decode_pack_state() needs, in three requests.
    static RegisterRanges ranges();

    explicit LiveSampler(int interval_ms, QObject *parent = nullptr);

    // From now on the link's reads belong to the sampler: the first request leaves
    // one interval from now.
    void start(BmsLink *link);
    void stop();
    bool silent() const { return silent_; }

signals:
    void sampled(const QDateTime &time); // the link's image holds the new sample
    void silenced(const QDateTime &since, int first_register);
    void answersAgain();
    void portLost();

private:
    enum class State { Idle, Waiting, Reading };

    void tick();
    void readDone();
    void readFailed(int first_register);

    State state_ = State::Idle;
    BmsLink *link_ = nullptr;
    QTimer *tick_;
    bool silent_ = false;
};

#endif // CLI_LIVE_SAMPLER_H
