#include "terminal.h"

#include "output.h"

#include <QFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace
{

int interrupt_fd = -1;

// Whether standard error's last line is a progress line still to be replaced.
bool progress_shown = false;

// Set once a stream could not be written: a closed pipe or a hung-up terminal
// does not come back, and what was meant for it is dropped.
bool stdout_gone = false;
bool stderr_gone = false;

bool write_to(std::FILE *stream, bool &gone, const QByteArray &bytes)
{
    if (gone)
        return false;
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    if (std::fflush(stream) == 0 && !std::ferror(stream))
        return true;
    gone = true;
    return false;
}

void write_err(const QString &text)
{
    write_to(stderr, stderr_gone, text.toUtf8());
}

const char CLEAR_LINE[] = "\r\x1b[K";

void on_interrupt(int)
{
    const char byte = 1;
    // Nothing to do when the pipe is full: one byte in it is enough.
    [[maybe_unused]] const ssize_t n = ::write(interrupt_fd, &byte, 1);
}

} // namespace

InterruptWatch::InterruptWatch(QObject *parent) : QObject(parent)
{
    if (::pipe(fds_) != 0)
        return;
    for (int fd : fds_)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    interrupt_fd = fds_[1];
    notifier_ = new QSocketNotifier(fds_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        while (::read(fds_[0], buffer, sizeof buffer) > 0) {
        }
        emit interrupted();
    });
    struct sigaction action {
    };
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

InterruptWatch::~InterruptWatch()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
    interrupt_fd = -1;
    delete notifier_;
    for (int fd : fds_)
        if (fd >= 0)
            ::close(fd);
}

LineReader::LineReader(QObject *parent)
    : QObject(parent), notifier_(new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this))
{
    connect(notifier_, &QSocketNotifier::activated, this, &LineReader::readable);
}

void LineReader::readable()
{
    char buffer[256];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0)
        pending_.append(buffer, static_cast<int>(n));
    const int end = pending_.indexOf('\n');
    if (n > 0 && end < 0)
        return;
    notifier_->setEnabled(false);
    emit lineRead(QString::fromLocal8Bit(end < 0 ? QByteArray() : pending_.left(end)).trimmed());
}

void InPlaceBlock::draw(const QString &text)
{
    QString out;
    if (lines_ > 0)
        out += QStringLiteral("\x1b[%1A").arg(lines_); // back to the block's first line
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines)
        out += QStringLiteral("\r\x1b[K") + line + QLatin1Char('\n');
    out += QStringLiteral("\x1b[J"); // whatever a longer block left below
    lines_ = lines.size();
    say(out);
}

bool say(const QString &text)
{
    return write_to(stdout, stdout_gone, text.toUtf8());
}

void warn(const QString &line)
{
    write_err((progress_shown ? QLatin1String(CLEAR_LINE) : QLatin1String()) +
              QStringLiteral("bmsctl: %1\n").arg(line));
    progress_shown = false;
}

int refuse(const QString &line)
{
    warn(line);
    return exit_code::USAGE;
}

void progress(const QString &text)
{
    if (!stderr_is_terminal() || (text.isEmpty() && !progress_shown))
        return;
    write_err(QLatin1String(CLEAR_LINE) + text);
    progress_shown = !text.isEmpty();
}

void keep_progress()
{
    if (progress_shown)
        write_err(QStringLiteral("\n"));
    progress_shown = false;
}

void progress_note(const QString &line)
{
    progress(QString());
    write_err(line + QLatin1Char('\n'));
}

void clear_echo()
{
    if (stderr_is_terminal())
        write_err(QLatin1String(CLEAR_LINE));
    progress_shown = false;
}

void ask(QObject *context, const QString &question, std::function<void(bool yes)> answered)
{
    std::fflush(stdout);
    progress(QString());
    write_err(question);
    auto *reader = new LineReader(context);
    QObject::connect(reader, &LineReader::lineRead, context,
                     [reader, answered](const QString &answer) {
                         reader->deleteLater(); // it is still reporting this line
                         answered(answer.compare(QLatin1String("y"), Qt::CaseInsensitive) == 0 ||
                                  answer.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0);
                     });
}

bool open_output(QFileDevice *file, const QString &command)
{
    // A plain file is truncated now (its rows go out flushed, one by one); a
    // QSaveFile keeps the old file until the new one is whole.
    QIODevice::OpenMode mode = QIODevice::WriteOnly;
    if (qobject_cast<QFile *>(file))
        mode |= QIODevice::Truncate;
    if (file->open(mode))
        return true;
    warn(QStringLiteral("%1: cannot write %2: %3")
             .arg(command, file->fileName(), file->errorString()));
    return false;
}

void ignore_broken_pipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}
