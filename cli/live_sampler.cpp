#include "live_sampler.h"

#include "bms_link.h"
#include "monitor/register_map.h"

#include <QTimer>

RegisterRanges LiveSampler::ranges()
{
    return {
        {REG_STATUS_FLAGS, REG_TEMPERATURES - REG_STATUS_FLAGS + 1},
        {REG_CELL_VOLTAGES, CELL_COUNT},
        {REG_BALANCING_CELLS, 1},
    };
}

LiveSampler::LiveSampler(int interval_ms, QObject *parent)
    : QObject(parent), tick_(new QTimer(this))
{
    tick_->setTimerType(Qt::PreciseTimer);
    tick_->setInterval(interval_ms);
    connect(tick_, &QTimer::timeout, this, &LiveSampler::tick);
}

void LiveSampler::start(BmsLink *link)
{
    link_ = link;
    connect(link_, &BmsLink::readDone, this, &LiveSampler::readDone);
    connect(link_, &BmsLink::readFailed, this, &LiveSampler::readFailed);
    state_ = State::Waiting;
    tick_->start();
}

void LiveSampler::stop()
{
    state_ = State::Idle;
    tick_->stop();
}

void LiveSampler::tick()
{
    if (state_ != State::Waiting)
        return;
    state_ = State::Reading;
    link_->readRegisters(ranges());
}

void LiveSampler::readDone()
{
    if (state_ != State::Reading)
        return;
    state_ = State::Waiting;
    if (silent_) {
        silent_ = false;
        emit answersAgain();
    }
    emit sampled(QDateTime::currentDateTimeUtc());
}

void LiveSampler::readFailed(int first_register)
{
    if (state_ != State::Reading)
        return;
    state_ = State::Waiting;
    if (!link_->isOpen()) {
        stop();
        emit portLost();
        return;
    }
    if (!silent_) {
        silent_ = true;
        emit silenced(QDateTime::currentDateTimeUtc(), first_register);
    }
}
