#include "pty_peer.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer()
{
    char name[PATH_MAX] = {};
    if (openpty(&master_fd, &slave_fd, name, nullptr, nullptr) != 0) {
        master_fd = slave_fd = -1;
        return;
    }
    termios tio{};
    tcgetattr(slave_fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_fd, TCSANOW, &tio);
    fcntl(master_fd, F_SETFL, fcntl(master_fd, F_GETFL) | O_NONBLOCK);
    slave_path = QString::fromLocal8Bit(name);
}

PtyPeer::~PtyPeer()
{
    close();
}

void PtyPeer::close()
{
    if (master_fd >= 0)
        ::close(master_fd);
    if (slave_fd >= 0)
        ::close(slave_fd);
    master_fd = slave_fd = -1;
}

void PtyPeer::write(const QByteArray &bytes)
{
    if (master_fd < 0)
        return;
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(master_fd, p, static_cast<size_t>(left));
        if (n < 0 && errno == EAGAIN) {
            pollfd pfd{master_fd, POLLOUT, 0};
            poll(&pfd, 1, 100);
            continue;
        }
        if (n <= 0)
            return;
        p += n;
        left -= n;
    }
}

QByteArray PtyPeer::readAtLeast(int count, int ms)
{
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (master_fd >= 0 && clock.elapsed() < ms && got.size() < count) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd pfd{master_fd, POLLIN, 0};
        if (poll(&pfd, 1, 2) > 0 && (pfd.revents & POLLIN)) {
            char buf[512];
            const ssize_t n = ::read(master_fd, buf, sizeof buf);
            if (n > 0)
                got.append(buf, static_cast<int>(n));
        }
    }
    return got;
}

QByteArray PtyPeer::nextFrame(int command, int ms)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        while (pending.size() >= 5) {
            const int total = static_cast<quint8>(pending.at(2)) + 6;
            if (pending.size() < total)
                break;
            const QByteArray frame = pending.left(total);
            pending.remove(0, total);
            if (command < 0 || static_cast<quint8>(frame.at(4)) == command)
                return frame;
        }
        const qint64 left = ms - clock.elapsed();
        if (left <= 0)
            return {};
        pending += readAtLeast(1, static_cast<int>(left));
    }
}

void PtyPeer::drain()
{
    pending.clear();
    if (master_fd < 0)
        return;
    char buf[512];
    while (::read(master_fd, buf, sizeof buf) > 0) {
    }
}

int PtyPeer::unread() const
{
    int count = 0;
    if (slave_fd < 0 || ioctl(slave_fd, FIONREAD, &count) != 0)
        return 0;
    return count;
}

bool PtyPeer::waitUnread(int count, int ms) const
{
    QElapsedTimer clock;
    clock.start();
    while (unread() < count) {
        if (clock.elapsed() > ms)
            return false;
        usleep(200);
    }
    return true;
}
