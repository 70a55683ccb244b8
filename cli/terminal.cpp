#include "terminal.h"

#include "output.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace
{

int interrupt_fd = -1;

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
}

InterruptWatch::~InterruptWatch()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
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
    print(out);
}
