#ifndef CLI_REPORT_COMMAND_H
#define CLI_REPORT_COMMAND_H

// report: the session's snapshot of the whole register space gives the identity,
// the settings and the first sample; the live values are then sampled at the
// window's poll period for the time asked, and the report is written once, whole,
// at the end. A BMS that falls silent leaves a gap in the samples; one still
// silent at the end leaves no report at all.

#include "command.h"
#include "report.h"
#include "settings/settings_file.h"

#include <QElapsedTimer>

class InterruptWatch;
class LiveSampler;
class QSaveFile;
class QTimer;

class ReportCommand : public Command
{
    Q_OBJECT
    friend class BatchReport; // runs it on several boards at once

public:
    static CommandInfo info();

    ReportCommand();

    bool parse(const QCommandLineParser &options, const QStringList &arguments) override;
    bool drawsText() const override { return options_.format == QLatin1String("html"); }
    int prepare() override;
    void run(BmsLink *link) override;
    void portLost() override;

private:
    void takeSample();
    void complete();
    int write();
    void showProgress();
    void finish(int code);

    struct Options {
        QString output; // -o; standard output when empty
        QString format; // html, md or json
        qint64 duration_ms = 10000;
        SettingsFile before;           // --before; its path stays empty without it
        QString shop, technician, job; // null when not given
    } options_;
    ReportInput input_;
    BmsLink *link_ = nullptr;
    LiveSampler *sampler_;
    QTimer *duration_;
    QElapsedTimer clock_;
    InterruptWatch *interrupt_ = nullptr;
    QSaveFile *output_ = nullptr; // -o
    qint64 progress_s_ = -1;      // the second the progress line shows
    bool done_ = false;
};

#endif // CLI_REPORT_COMMAND_H
