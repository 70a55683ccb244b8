#ifndef CLI_COMMAND_H
#define CLI_COMMAND_H

// One command's work on an open link, after the session has seen the BMS answer.

#include "link/reception.h"

#include <QObject>
#include <QPair>
#include <QVector>

class BmsLink;

using RegisterRanges = QVector<QPair<int, int>>; // first register, count

class Command : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Whatever can go wrong before the port is opened (an output file that cannot
    // be created, ...): the exit code then, or -1 to go on.
    virtual int prepare() { return -1; }
    // What the session reads to see that the BMS answers: the whole space, which
    // every command but monitor needs anyway.
    virtual RegisterRanges firstRead() const { return {{0, POLLED_REGISTER_COUNT}}; }
    // The first read is in link->image(). Ends with finished().
    virtual void run(BmsLink *link) = 0;

signals:
    void finished(int exit_code);
};

#endif // CLI_COMMAND_H
