#ifndef ENGINE_BMS_LINK_H
#define ENGINE_BMS_LINK_H

// One connection to a BMS: the serial port, the register polling, link
// supervision and the register image that the polling keeps up to date.
//
// Two schedules share everything but the pace of the requests:
// - Periodic (the window): one read request per 100 ms tick over the six-request
//   cycle, whatever comes back; each valid reply is stored where it says.
// - Request/reply (other front ends): readRegisters() sends the next request as
//   soon as the reply to the previous one is in, so a snapshot of the whole space
//   takes six round trips. A request unanswered within timeout() is sent once
//   more, then the read fails.
// The port is read as a stream: a reply that arrives in pieces is put together,
// replies that arrive together are taken one by one (link/stream.h).

#include "link/frame.h"
#include "link/reception.h"
#include "port_diagnosis.h"

#include <QByteArray>
#include <QObject>
#include <QPair>
#include <QVector>

class QSerialPort;
class QTimer;

class BmsLink : public QObject
{
    Q_OBJECT

public:
    // Internal: the link connects its own timers and the port's readyRead.
    // External: a front end wires them to its own slots, which call pollTick(),
    // receive() and supervisionTimeout(); the port's readyRead through
    // connectReadyRead().
    enum class Wiring { Internal, External };

    explicit BmsLink(Wiring wiring = Wiring::Internal, QObject *parent = nullptr);
    ~BmsLink() override;

    static constexpr int POLL_PERIOD_MS = 100;
    static constexpr int SUPERVISION_PERIOD_MS = 1000;
    static constexpr int SEND_WAIT_MS = 1000;

    QTimer *pollTimer() const { return poll_timer_; }
    QTimer *supervisionTimer() const { return supervision_timer_; }
    // Connects the port's readyRead() to `member` (a SLOT()) of `receiver`.
    bool connectReadyRead(const QObject *receiver, const char *member) const;

    // Opens `name` at 115200 baud, 8N1, no flow control. False with the system's
    // reason in errorString() and what it means in openFailure() when it cannot be
    // opened.
    bool open(const QString &name);
    void close();
    bool isOpen() const;
    QString errorString() const;
    OpenFailure openFailure() const { return open_failure_; } // of the last open()

    // Writes `frame` in one write and waits at most sendWait() ms for it to leave.
    // Neither result is examined: a lost frame shows as a missing reply. Nothing is
    // written once the port is closed, as after portLost().
    void send(const QByteArray &frame);
    // The window's bounded wait for a frame to leave (SEND_WAIT_MS). 0 leaves the
    // write to the event loop: a front end driving several links turns it off so
    // that one stalled adapter cannot hold up the others' pacing.
    void setSendWait(int ms) { send_wait_ms_ = qMax(0, ms); }
    int sendWait() const { return send_wait_ms_; }

    // Periodic schedule.
    void startPolling(); // (re)starts the 100 ms countdown
    void stopPolling();
    void pollTick();
    // One register write frame. Polling is left as it is: the window restarts it
    // with each write, so that its next read leaves one period later.
    void writeRegisters(quint8 first_register, const QByteArray &data);

    // Request/reply schedule: reads registers [first, first + count) in requests of
    // at most 20 registers; readDone() or readFailed() follows. Ranges are read in
    // the order given.
    void readRegisters(const QVector<QPair<int, int>> &ranges);
    void readAll() { readRegisters({{0, POLLED_REGISTER_COUNT}}); }
    bool reading() const { return !pending_.isEmpty(); }
    // How long a request waits for its reply, and how often it is sent in all
    // before the read fails (the second is the one retry).
    void setTimeout(int ms) { timeout_ms_ = ms; }
    int timeout() const { return timeout_ms_; }
    void setRequestAttempts(int attempts) { request_attempts_ = qMax(1, attempts); }
    int requestAttempts() const { return request_attempts_; }
    // Silence for this long reports linkLost(); the window's is one second.
    void setSupervisionPeriod(int ms) { supervision_period_ms_ = ms; }

    // Takes what the port holds: every frame completed by it, in order. Also
    // returned, for a front end that reacts to the reception itself.
    QVector<ReceptionResult> receive();
    void supervisionTimeout() { emit linkLost(); }

    const RegisterImage &image() const { return image_; }

signals:
    void linkAlive();                           // a valid frame arrived
    void linkLost();                            // none for a second, and every second after
    void registersStored(int first, int count); // a read reply went into the image
    void statusReply();                         // the reply to an upgrade status poll
    void readDone();
    void readFailed(int first_register);
    // The device behind the open port went away (adapter pulled): the port is
    // closed; once per open().
    void portLost();

private:
    void take(const ReceptionResult &result);
    void sendPendingRequest();
    qint64 write_directly(const QByteArray &frame);
    void requestTimedOut();

    QSerialPort *port_;
    QTimer *poll_timer_;
    QTimer *supervision_timer_;
    QTimer *request_timer_;
    RegisterImage image_{};
    QByteArray line_; // the start of a frame whose rest has not arrived yet
    qint32 request_offset_ = 0;
    QVector<PollRequest> pending_;
    int attempts_ = 0; // of the outstanding request
    int timeout_ms_ = 500;
    int request_attempts_ = 2;
    int supervision_period_ms_ = SUPERVISION_PERIOD_MS;
    int send_wait_ms_ = SEND_WAIT_MS;
    OpenFailure open_failure_ = OpenFailure::None;
    bool lost_ = false;
};

#endif // ENGINE_BMS_LINK_H
