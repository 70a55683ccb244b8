#include "session.h"

#include "bms_link.h"
#include "command.h"
#include "command_history.h"
#include "monitor/register_map.h"
#include "output.h"
#include "terminal.h"

#include <QCoreApplication>

Session::Session(const QString &port, int timeout_ms, int retries, Command *command,
                 QObject *parent)
    : QObject(parent), port_name_(port), link_(new BmsLink(BmsLink::Wiring::Internal, this)),
      command_(command)
{
    link_->setTimeout(timeout_ms);
    link_->setRequestAttempts(1 + retries);
    link_->setSendWait(0);
    connect(command_, &Command::finished, this, &Session::finish);
    connect(link_, &BmsLink::portLost, this, &Session::portLost);
}

RegisterRanges first_read_with_identity(Command &command, RegisterRanges first)
{
    // The service history keys a visit by the pack's serial numbers: a command
    // that reads only the live values reads them too.
    const bool whole =
        first.size() == 1 && first[0].first == 0 && first[0].second >= POLLED_REGISTER_COUNT;
    if (command.history().enabled() && !whole)
        first += {{REG_SERIAL_NUMBER, REG_BMS_FIRMWARE - REG_SERIAL_NUMBER + 1},
                  {REG_BMS_SERIAL, POLLED_REGISTER_COUNT - REG_BMS_SERIAL}};
    return first;
}

QString open_failure_text(const BmsLink &link, const QString &port)
{
    QString advice;
    switch (link.openFailure()) {
    case OpenFailure::InUse:
        advice = QStringLiteral("; is another program using it?");
        break;
    case OpenFailure::NoPermission:
        advice = QStringLiteral("; to get access, add yourself to the dialout group "
                                "(sudo usermod -aG dialout $USER) and log in again");
        break;
    case OpenFailure::None:
    case OpenFailure::Other:
        break;
    }
    return QStringLiteral("cannot open %1: %2%3").arg(port, link.errorString(), advice);
}

void Session::start()
{
    state_ = State::Opening;
    if (!link_->open(port_name_)) {
        warn(open_failure_text(*link_, port_name_));
        finish(exit_code::PORT);
        return;
    }
    state_ = State::FirstRead;
    connect(link_, &BmsLink::readDone, this, &Session::firstReadDone);
    connect(link_, &BmsLink::readFailed, this, &Session::firstReadFailed);
    connect(link_, &BmsLink::linkAlive, this, [this] { ++replies_; });
    link_->readRegisters(first_read_with_identity(*command_, command_->firstRead()));
}

void Session::firstReadDone()
{
    if (state_ != State::FirstRead)
        return;
    // From here on the link's reads belong to the command.
    disconnect(link_, &BmsLink::readDone, this, nullptr);
    disconnect(link_, &BmsLink::readFailed, this, nullptr);
    disconnect(link_, &BmsLink::linkAlive, this, nullptr);
    state_ = State::Running;
    record_visit(*command_, link_->image());
    command_->run(link_);
}

void Session::firstReadFailed(int first_register)
{
    if (state_ != State::FirstRead)
        return;
    const int n = link_->requestAttempts();
    const QString times = n == 1   ? QStringLiteral("once")
                          : n == 2 ? QStringLiteral("twice")
                                   : QStringLiteral("%1 times").arg(n);
    const QString asked = QStringLiteral("register 0x%1 was asked for %2, %3 ms each")
                              .arg(first_register, 2, 16, QLatin1Char('0'))
                              .arg(times)
                              .arg(link_->timeout());
    // Something answered: the wiring is right, the line is what loses replies.
    if (replies_ > 0)
        warn(QStringLiteral("no answer from the BMS on %1: %2 and went unanswered, after %3 "
                            "good replies; a noisy line? (--retries sends a request more "
                            "often)")
                 .arg(port_name_, asked)
                 .arg(replies_));
    else
        warn(QStringLiteral("no answer from the BMS on %1: %2; is the BMS powered and the "
                            "adapter's RX/TX the right way round?")
                 .arg(port_name_, asked));
    finish(exit_code::NO_ANSWER);
}

void Session::portLost()
{
    switch (state_) {
    case State::Idle:
    case State::Opening:
    case State::Done:
        return;
    case State::FirstRead:
        warn(QStringLiteral("the port is gone (adapter unplugged?): %1 went away while the BMS "
                            "was being read; nothing was written")
                 .arg(port_name_));
        finish(exit_code::PORT);
        return;
    case State::Running:
        command_->portLost();
        return;
    }
}

void Command::portLost()
{
    warn(QStringLiteral("the port is gone (adapter unplugged?); nothing was written"));
    emit finished(exit_code::PORT);
}

void Session::finish(int code)
{
    if (state_ == State::Done)
        return;
    state_ = State::Done;
    link_->close();
    QCoreApplication::exit(code);
}
