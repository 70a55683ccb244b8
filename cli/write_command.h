#ifndef CLI_WRITE_COMMAND_H
#define CLI_WRITE_COMMAND_H

// set and restore: settings written one frame each, as the window's Set button
// writes them, then read back and compared. A setting that did not take is
// written again, three writes at most.

#include "command.h"
#include "invocation.h"

class LineReader;
class QTimer;

class WriteCommand : public Command
{
    Q_OBJECT

public:
    // Writes go this far apart, and the read-back follows the last write by as
    // much: the window never sends anything sooner than one poll period after a
    // write, so a BMS is not known to take anything faster.
    static constexpr int WRITE_PACE_MS = 100;
    static constexpr int MAX_WRITES = 3;

    explicit WriteCommand(const Invocation &invocation, QObject *parent = nullptr);

    void run(BmsLink *link) override;

private:
    enum class State { Checking, Confirming, Writing, Settling, ReadingBack, Done };
    enum class Outcome { Unchanged, Pending, Confirmed, Failed };

    struct Item {
        const SettingDef *setting = nullptr;
        QJsonValue value;
        QByteArray bytes;
        int writes = 0;
        Outcome outcome = Outcome::Pending;
        QString failure;
    };

    bool writable();
    bool crossChecked();
    void confirmed(const QString &answer);
    void startRound();
    void writeNext();
    void readBack();
    void readBackDone();
    void readBackFailed(int first_register);
    void finish();
    void progress(const QString &text);

    State state_ = State::Checking;
    Invocation inv_;
    BmsLink *link_ = nullptr;
    QTimer *pace_;
    LineReader *answer_ = nullptr;
    QVector<Item> items_;
    int next_ = 0; // the item the next write goes to
};

#endif // CLI_WRITE_COMMAND_H
