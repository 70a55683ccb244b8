#ifndef CLI_SESSION_H
#define CLI_SESSION_H

// Opens the port, sees the BMS answer, then hands the link to the command.

#include "command.h"

#include <QObject>
#include <QString>

class BmsLink;
class Command;

// The first read of `command`, with the identity registers a visit of the
// service history needs.
RegisterRanges first_read_with_identity(Command &command, RegisterRanges first);

// "cannot open PORT: the system's reason", with bmsctl's advice for the reasons a
// technician can fix.
QString open_failure_text(const BmsLink &link, const QString &port);

class Session : public QObject
{
    Q_OBJECT

public:
    Session(const QString &port, int timeout_ms, int retries, Command *command,
            QObject *parent = nullptr);

    // Call from the running event loop; quits it with the exit code at the end.
    void start();

private:
    enum class State { Idle, Opening, FirstRead, Running, Done };

    void firstReadDone();
    void firstReadFailed(int first_register);
    void portLost();
    void finish(int code);

    State state_ = State::Idle;
    QString port_name_;
    BmsLink *link_;
    Command *command_;
    int replies_ = 0; // valid frames during the first read
};

#endif // CLI_SESSION_H
