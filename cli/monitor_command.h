#ifndef CLI_MONITOR_COMMAND_H
#define CLI_MONITOR_COMMAND_H

// monitor: the live registers read every interval, one row per answer; a BMS that
// stops answering leaves a gap, never an invented row.

#include "command.h"
#include "terminal.h"

#include <QDateTime>

class LiveSampler;
struct PackState;
class QFile;
class QTimer;

class MonitorCommand : public Command
{
    Q_OBJECT
    friend class BatchMonitor; // runs it on several boards at once

public:
    static CommandInfo info();

    bool parse(const QCommandLineParser &options, const QStringList &arguments) override;
    int prepare() override;
    RegisterRanges firstRead() const override;
    void run(BmsLink *link) override;
    void portLost() override;

private:
    enum class State { Running, Done };

    void emitRow(const QDateTime &time);
    bool writeTo(QFile *file, const QString &destination, const QByteArray &bytes);
    void note(const QString &line);
    void finish(int code);

    struct Options {
        int interval_ms = 1000;
        qint64 duration_ms = 0; // 0: until stopped
        int count = 0;          // 0: until stopped
        QString csv;            // "-" is standard output
        QString jsonl;
        bool append = false; // to an existing file, no second header
        bool force = false;  // an existing file replaced
    } options_;
    State state_ = State::Running;
    BmsLink *link_ = nullptr;
    LiveSampler *sampler_ = nullptr;
    QTimer *duration_ = nullptr;
    InterruptWatch *interrupt_ = nullptr;
    QFile *csv_ = nullptr; // null with "-": standard output
    QFile *jsonl_ = nullptr;
    bool csv_header_ = true; // not when appending to rows already there
    bool csv_out_ = false;
    bool jsonl_out_ = false;
    bool table_ = false; // the live table on the terminal
    InPlaceBlock block_;
    int rows_ = 0;
};

// The rows, as monitor writes them.
QString csv_header();
QString csv_row(const QString &time, const PackState &s);
QString jsonl_row(const QString &time, const PackState &s);

#endif // CLI_MONITOR_COMMAND_H
