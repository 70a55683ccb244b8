#ifndef CLI_SETTINGS_WRITER_H
#define CLI_SETTINGS_WRITER_H

// What set and restore share: settings written one frame each through the
// engine, as the window's Set button writes them, then read back and compared. A
// setting that did not take is written again, three writes at most. The
// commands decide what to write and what happens before the first write.

#include "command.h"
#include "settings/settings.h"

#include <QElapsedTimer>

class QTimer;

class SettingsWriter : public Command
{
    Q_OBJECT

public:
    // Writes go this far apart, and the read-back follows the last write by as
    // much: the window never sends anything sooner than one poll period after a
    // write, so a BMS is not known to take anything faster.
    static constexpr int WRITE_PACE_MS = 100;
    static constexpr int MAX_WRITES = 3;
    // Once writing, an interrupt or hang-up only warns; a second within this time
    // stops after the write in flight.
    static constexpr int SECOND_INTERRUPT_MS = 5000;

    explicit SettingsWriter(const char *name, QObject *parent = nullptr);

    void run(BmsLink *link) override;
    void portLost() override;

protected:
    enum class Outcome { Unchanged, Pending, Confirmed, Failed };

    struct Item {
        const SettingDef *setting = nullptr;
        QJsonValue value;
        QByteArray bytes;
        int writes = 0;
        Outcome outcome = Outcome::Pending;
        QString failure;
    };

    // Before the checks: restore shows its diff here.
    virtual void showPlan() {}
    // After the checks, with what needs writing: call startWriting() or stop().
    virtual void go(int to_write)
    {
        Q_UNUSED(to_write)
        startWriting();
    }
    // Whether every value to write can be written; restore's file may hold values
    // the BMS held but the window cannot write.
    virtual bool writable() { return true; }

    void startWriting();
    void stop(int code);

    SettingValues values_; // what to write; Undefined: left alone
    bool force_ = false;   // write even when a cross-check fails
    bool all_ = false;     // write also what the BMS holds already
    BmsLink *link_ = nullptr;
    QVector<Item> items_;

private:
    enum class State { Checking, Writing, ReadingBack, Done };

    void writeNext();
    void readBack();
    void readBackDone();
    void readBackFailed(int first_register);
    void finish();
    void interrupted();
    // Ends the writing early: what was not written yet is marked with `why`.
    void abandon(const QString &why);

    QString name_;
    State state_ = State::Checking;
    QTimer *pace_;
    int next_ = 0;          // the item the next write goes to
    bool stopping_ = false; // at the user's request: no more writes
    QElapsedTimer since_interrupt_;
};

#endif // CLI_SETTINGS_WRITER_H
