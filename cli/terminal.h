#ifndef CLI_TERMINAL_H
#define CLI_TERMINAL_H

// The event-loop side of the terminal: Ctrl-C, a typed line, and a block of
// lines redrawn in place.

#include <QObject>
#include <QString>

class QSocketNotifier;

// SIGINT and SIGTERM as a Qt signal. The handler only writes a byte to a pipe;
// everything else happens in the event loop, where files can be closed properly.
// One at a time; the default handling comes back when it is destroyed.
class InterruptWatch : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatch(QObject *parent = nullptr);
    ~InterruptWatch() override;

signals:
    void interrupted();

private:
    int fds_[2] = {-1, -1};
    QSocketNotifier *notifier_ = nullptr;
};

// One line typed on standard input, without blocking: the read happens only when
// the notifier says a line is there.
class LineReader : public QObject
{
    Q_OBJECT

public:
    explicit LineReader(QObject *parent = nullptr);

signals:
    void lineRead(const QString &line); // without its newline; empty at end of input

private:
    void readable();

    QSocketNotifier *notifier_;
    QByteArray pending_;
};

// A block of lines on a terminal, each draw replacing the previous one.
class InPlaceBlock
{
public:
    void draw(const QString &text);
    // Something else was printed below the block: the next draw starts afresh.
    void detach() { lines_ = 0; }

private:
    int lines_ = 0;
};

#endif // CLI_TERMINAL_H
