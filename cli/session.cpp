#include "session.h"

#include "bms_link.h"
#include "command.h"
#include "output.h"
#include "terminal.h"

#include <QCoreApplication>

Session::Session(const QString &port, int timeout_ms, Command *command, QObject *parent)
    : QObject(parent), port_name_(port), link_(new BmsLink(BmsLink::Wiring::Internal, this)),
      command_(command)
{
    link_->setTimeout(timeout_ms);
    link_->setSendWait(0);
    connect(command_, &Command::finished, this, &Session::finish);
}

void Session::start()
{
    state_ = State::Opening;
    if (!link_->open(port_name_)) {
        QString advice;
        switch (link_->openFailure()) {
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
        warn(QStringLiteral("cannot open %1: %2%3").arg(port_name_, link_->errorString(), advice));
        finish(exit_code::PORT);
        return;
    }
    state_ = State::FirstRead;
    connect(link_, &BmsLink::readDone, this, &Session::firstReadDone);
    connect(link_, &BmsLink::readFailed, this, &Session::firstReadFailed);
    link_->readRegisters(command_->firstRead());
}

void Session::firstReadDone()
{
    if (state_ != State::FirstRead)
        return;
    // From here on the link's reads belong to the command.
    disconnect(link_, nullptr, this, nullptr);
    state_ = State::Running;
    command_->run(link_);
}

void Session::firstReadFailed(int first_register)
{
    if (state_ != State::FirstRead)
        return;
    warn(QStringLiteral("no answer from the BMS on %1: register 0x%2 was asked for twice, "
                        "%3 ms each; is the BMS powered and the adapter's RX/TX the right "
                        "way round?")
             .arg(port_name_)
             .arg(first_register, 2, 16, QLatin1Char('0'))
             .arg(link_->timeout()));
    finish(exit_code::NO_ANSWER);
}

void Session::finish(int code)
{
    if (state_ == State::Done)
        return;
    state_ = State::Done;
    link_->close();
    QCoreApplication::exit(code);
}
