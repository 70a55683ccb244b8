#ifndef CLI_COMMAND_H
#define CLI_COMMAND_H

// One bmsctl command: what the help says about it, its options, the check of its
// arguments (everything that can be judged before the port opens) and its work on
// an open link once the BMS has answered. Each command is one class in its own
// files and one line in registry.cpp.

#include "history_recorder.h"
#include "link/reception.h"

#include <QCommandLineOption>
#include <QList>
#include <QObject>
#include <QPair>
#include <QStringList>
#include <QVector>

#include <memory>

class BmsLink;
class QCommandLineParser;

using RegisterRanges = QVector<QPair<int, int>>; // first register, count

// What `bmsctl --help` and `bmsctl help COMMAND` say about a command.
struct CommandInfo {
    const char *name;
    const char *usage;                 // after "bmsctl [global options] "
    const char *summary;               // the line in bmsctl --help; continued lines after '\n'
    const char *details;               // the paragraph of bmsctl help COMMAND
    const char *example;               // after "$ "
    QList<QCommandLineOption> options; // without -h/--help, which every command has
    bool takes_arguments = false;      // positional arguments; refused when false
    bool lists_settings = false;       // the help ends with the table of settings
};

class Command : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Reads the command's options and arguments into its own options. Bad input is
    // reported with warn() (one line each) and gives false; nothing has been opened.
    virtual bool parse(const QCommandLineParser &options, const QStringList &arguments) = 0;

    // Commands that never open a port (ports, help) do all their work here.
    virtual bool needsPort() const { return true; }
    virtual int runWithoutPort() { return 0; }
    // The report's chart draws text, which needs a QGuiApplication.
    virtual bool drawsText() const { return false; }

    // Whatever can go wrong before the port is opened (an output file that cannot
    // be created, ...): the exit code then, or -1 to go on.
    virtual int prepare() { return -1; }
    // What the session reads to see that the BMS answers: the whole space, which
    // every command but monitor needs anyway.
    virtual RegisterRanges firstRead() const { return {{0, POLLED_REGISTER_COUNT}}; }
    // The first read is in link->image(). Ends with finished().
    virtual void run(BmsLink *link) { Q_UNUSED(link) }
    // The port went away while the command ran (the link is closed already): say
    // what was reached, and end; exit_code::PORT unless something had been written.
    virtual void portLost();

    // The service history of this run (--database, --no-history), set once the
    // command line is read. A command records through history(), which opens
    // nothing until its first record, and passes each call's result to
    // noteHistory(): a history that cannot be written is one warning, never the
    // command's failure.
    void setHistory(const QString &database, bool enabled);
    const QString &historyDatabase() const { return history_database_; }
    HistoryRecorder &history();
    void noteHistory(const QString &warning);

signals:
    void finished(int exit_code);

private:
    QString history_database_;
    bool history_enabled_ = true;
    std::unique_ptr<HistoryRecorder> history_;
};

#endif // CLI_COMMAND_H
