#ifndef CLI_TERMINAL_H
#define CLI_TERMINAL_H

// Everything bmsctl shows the user goes through here: data on standard output,
// messages on standard error, the progress line and the live table redrawn in
// place (only on a terminal), the y/N question, output files opened before the
// port is, Ctrl-C and a typed line. No other file writes an escape sequence.

#include <QObject>
#include <QString>

#include <functional>

class QFileDevice;
class QSocketNotifier;

// Data on standard output, as it is, flushed at once: a pipe reader sees every
// row when it is made. False once standard output is gone (the reader of a pipe
// quit, the terminal hung up): from then on everything for it is dropped, so a
// job in flight goes on to its end.
bool say(const QString &text);
// One line on standard error, after "bmsctl: ", in place of the progress line
// when one is shown.
void warn(const QString &line);
// warn() and the exit code for bad input, so call sites read as one step.
int refuse(const QString &line);

// The progress line on standard error, redrawn in place; nothing without a
// terminal. An empty text takes it away.
void progress(const QString &text);
// Leaves the progress line shown as it is and goes on below it.
void keep_progress();
// A line of progress where there is no terminal to redraw it on (a log): on
// standard error, as it is.
void progress_note(const QString &line);
// Takes away what the terminal echoed on the current line of standard error
// (the ^C of an interrupt); nothing without a terminal.
void clear_echo();

// Asks `question` (it ends in "[y/N] ") on standard error once standard output is
// flushed, so everything the question is about is shown first even through a
// pipe. `answered` is called from the event loop with true for y or yes; the
// reader lives as long as `context`.
void ask(QObject *context, const QString &question, std::function<void(bool yes)> answered);

// Opens an output file, before the port is opened so that a path that cannot be
// written is refused with nothing sent. False after "COMMAND: cannot write PATH:
// reason" on standard error.
bool open_output(QFileDevice *file, const QString &command);

// A closed pipe must not end the process (SIGPIPE): a flash cut in half by
// `| head` is far worse than lines nobody reads. Called once at start.
void ignore_broken_pipes();

// SIGINT, SIGTERM and SIGHUP (a closed terminal or SSH session) as a Qt signal.
// The handler only writes a byte to a pipe; everything else happens in the event
// loop, where files can be closed properly. One at a time; the default handling
// comes back when it is destroyed.
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
