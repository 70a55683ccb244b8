#include "bms_link.h"

#include "link/stream.h"

#include <QLoggingCategory>
#include <QSerialPort>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <unistd.h>
#endif

namespace
{
// Ten a second while polling: off unless asked for (see README, "Diagnostic output").
Q_LOGGING_CATEGORY(reply_log, "bms.link.reply", QtInfoMsg)
} // namespace

BmsLink::BmsLink(Wiring wiring, QObject *parent)
    : QObject(parent), port_(new QSerialPort(this)), poll_timer_(new QTimer(this)),
      supervision_timer_(new QTimer(this)), request_timer_(new QTimer(this))
{
    poll_timer_->setObjectName(QStringLiteral("bms_registers_request_send_timer"));
    supervision_timer_->setObjectName(QStringLiteral("disconnect_timer"));
    request_timer_->setSingleShot(true);

    port_->setDataBits(QSerialPort::Data8);
    port_->setParity(QSerialPort::NoParity);
    port_->setStopBits(QSerialPort::OneStop);
    port_->setFlowControl(QSerialPort::NoFlowControl);

    // When the device behind an open port goes away (adapter pulled, pseudo-terminal
    // closed by its peer), every write fails with EIO and the port reports a
    // ResourceError, yet QSerialPort keeps its write notifier armed for the bytes it
    // could not send: the event loop then spins on the error at a full core. Closing
    // the port ends that; everything else goes on as after any failed open. Queued,
    // because the error is reported from inside the port's own notifier handling.
    connect(port_, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
        if (error == QSerialPort::ResourceError)
            QMetaObject::invokeMethod(
                this,
                [this] {
                    close();
                    if (lost_)
                        return;
                    lost_ = true;
                    emit portLost();
                },
                Qt::QueuedConnection);
    });
    connect(request_timer_, &QTimer::timeout, this, &BmsLink::requestTimedOut);
    if (wiring == Wiring::Internal) {
        connect(poll_timer_, &QTimer::timeout, this, &BmsLink::pollTick);
        connect(supervision_timer_, &QTimer::timeout, this, &BmsLink::supervisionTimeout);
        connect(port_, &QSerialPort::readyRead, this, &BmsLink::receive);
    }
}

BmsLink::~BmsLink() = default;

bool BmsLink::open(const QString &name)
{
    port_->setPortName(name);
    port_->setBaudRate(115200, QSerialPort::AllDirections);
    const bool opened = port_->open(QIODevice::ReadWrite);
    lost_ = false;
    open_failure_ = opened ? OpenFailure::None : diagnose_open_failure(name, port_->error());
    // Flushing a port that did not open would replace the system's reason in
    // errorString() with "Device is not open".
    if (opened)
        port_->flush();
    return opened;
}

bool BmsLink::isOpen() const
{
    return port_->isOpen();
}

bool BmsLink::connectReadyRead(const QObject *receiver, const char *member) const
{
    return connect(port_, SIGNAL(readyRead()), receiver, member);
}

void BmsLink::close()
{
    if (port_->isOpen())
        port_->close();
    line_.clear(); // the start of a frame from this connection ends with it
}

QString BmsLink::errorString() const
{
    return port_->errorString();
}

void BmsLink::send(const QByteArray &frame)
{
    // A port that did not open, or was closed when its device went away, would
    // refuse the frame with a warning on standard error, ten times a second.
    if (!port_->isOpen())
        return;
    const qint64 sent = write_directly(frame);
    if (sent == frame.size())
        return;
    port_->write(frame.mid(int(sent)));
    if (send_wait_ms_ > 0)
        port_->waitForBytesWritten(send_wait_ms_);
}

qint64 BmsLink::write_directly(const QByteArray &frame)
{
    // A frame handed to QSerialPort arms its write notifier and disarms it once the
    // bytes are out: ten times a second two more turns of the event loop, each
    // signalling the loop's wake-up descriptor, for bytes the driver takes at once.
    // The descriptor takes them just as well when nothing is queued before them; a
    // refusal (a full buffer, a vanished device) is left to the port, which queues
    // the rest or reports the error as it always does.
#ifdef Q_OS_UNIX
    if (port_->bytesToWrite() > 0)
        return 0;
    for (;;) {
        const ssize_t written = ::write(port_->handle(), frame.constData(), size_t(frame.size()));
        if (written >= 0)
            return written;
        if (errno != EINTR)
            return 0;
    }
#else
    Q_UNUSED(frame);
    return 0;
#endif
}

void BmsLink::startPolling()
{
    poll_timer_->start(POLL_PERIOD_MS);
}

void BmsLink::stopPolling()
{
    poll_timer_->stop();
}

void BmsLink::pollTick()
{
    // Requests are not paired with replies: whatever comes back is stored at the
    // register it names, so a lost reply simply waits for the next cycle.
    const PollRequest request = next_poll_request(request_offset_);
    send(build_read_request(request.first_register,
                            static_cast<quint8>(2 * request.register_count)));
    request_offset_ = request.next_offset;
}

void BmsLink::writeRegisters(quint8 first_register, const QByteArray &data)
{
    send(build_write_frame(first_register, data));
}

void BmsLink::readRegisters(const QVector<QPair<int, int>> &ranges)
{
    pending_.clear();
    for (const auto &range : ranges) {
        for (int first = range.first; first < range.first + range.second;
             first += REGISTERS_PER_REQUEST) {
            PollRequest request;
            request.first_register = static_cast<quint8>(first);
            request.register_count = static_cast<quint8>(
                qMin(REGISTERS_PER_REQUEST, range.first + range.second - first));
            pending_.append(request);
        }
    }
    attempts_ = 0;
    if (pending_.isEmpty()) {
        emit readDone(); // nothing to read is read at once
        return;
    }
    sendPendingRequest();
}

void BmsLink::sendPendingRequest()
{
    const PollRequest &request = pending_.first();
    ++attempts_;
    send(build_read_request(request.first_register,
                            static_cast<quint8>(2 * request.register_count)));
    request_timer_->start(timeout_ms_);
}

void BmsLink::requestTimedOut()
{
    if (pending_.isEmpty())
        return;
    if (attempts_ < request_attempts_) {
        sendPendingRequest();
        return;
    }
    const int first = pending_.first().first_register;
    pending_.clear();
    emit readFailed(first);
}

QVector<ReceptionResult> BmsLink::receive()
{
    // All that is buffered, as readAll() would return, without the 16 KB that
    // readAll() allocates and trims again for every reply.
    const QByteArray bytes = port_->read(port_->bytesAvailable());
    port_->flush();
    QVector<ReceptionResult> results;
    const QVector<QByteArray> frames = take_frames(line_, bytes);
    for (const QByteArray &frame : frames) {
        const ReceptionResult result = receive_frame(frame, image_);
        results.append(result);
        take(result);
    }
    return results;
}

void BmsLink::take(const ReceptionResult &result)
{
    if (!result.valid)
        return;
    // Any well-formed frame proves the link; only a read reply carries data.
    emit linkAlive();
    supervision_timer_->start(supervision_period_ms_);
    if (!result.read_reply)
        return;

    qCDebug(reply_log) << "Correct reply received, copied to the bms registers array";
    const int count = (result.length - 2) / 2;
    emit registersStored(result.first_register, count);
    if (result.status_reply)
        emit statusReply();

    // Request/reply: the reply that answers the outstanding request lets the next
    // one go at once.
    if (!pending_.isEmpty() && pending_.first().first_register == result.first_register &&
        pending_.first().register_count == count) {
        request_timer_->stop();
        pending_.removeFirst();
        attempts_ = 0;
        if (pending_.isEmpty())
            emit readDone();
        else
            sendPendingRequest();
    }
}
