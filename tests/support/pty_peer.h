#ifndef TESTS_PTY_PEER_H
#define TESTS_PTY_PEER_H

#include <QByteArray>
#include <QString>

#include <climits>

// The far end of a real pseudo-terminal pair: the tool opens slavePath() with
// QSerialPort, the test reads and writes the master side as the BMS would.
// Reads pump the Qt event loop, so the tool's timers and readyRead keep running
// in the same thread while the test waits.
class PtyPeer
{
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    bool isOpen() const { return master_fd >= 0; }
    QString slavePath() const { return slave_path; }

    // Writes all of `bytes` to the master side in one write.
    void write(const QByteArray &bytes);
    // Waits up to `ms` for at least `count` bytes; returns what arrived (maybe fewer).
    QByteArray readAtLeast(int count, int ms);
    // Everything that arrives within `ms` milliseconds, while the event loop runs.
    QByteArray readFor(int ms) { return readAtLeast(INT_MAX, ms); }
    // The next whole frame the tool wrote whose command byte is `command` (any
    // frame for -1); other frames are passed over. Empty on timeout.
    QByteArray nextFrame(int command, int ms = 3000);
    // Drops whatever is pending on the master side.
    void drain();
    // Bytes written here that the terminal holds and no one has read yet.
    int unread() const;
    // Waits, without running the event loop, until the terminal holds at least
    // `count` unread bytes: a write reaches it a moment later, through the kernel.
    bool waitUnread(int count, int ms = 3000) const;
    // Closes both sides, as a vanished adapter would.
    void close();

private:
    int master_fd = -1;
    int slave_fd = -1;
    QString slave_path;
    QByteArray pending; // read, but not yet a whole frame
};

#endif // TESTS_PTY_PEER_H
