#ifndef CLI_SESSION_H
#define CLI_SESSION_H

// Opens the port, sees the BMS answer, then hands the link to the command.

#include <QObject>
#include <QString>

class BmsLink;
class Command;

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
