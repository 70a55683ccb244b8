#ifndef CLI_REPORT_COMMAND_H
#define CLI_REPORT_COMMAND_H

// report: the session's snapshot of the whole register space gives the identity,
// the settings and the first sample; the live values are then sampled at the
// window's poll period for the time asked, and the report is written once, whole,
// at the end. A BMS that falls silent leaves a gap in the samples; one still
// silent at the end leaves no report at all.

#include "command.h"
#include "invocation.h"
#include "report.h"

#include <QElapsedTimer>

class InterruptWatch;
class LiveSampler;
class QSaveFile;
class QTimer;

class ReportCommand : public Command
{
    Q_OBJECT

public:
    explicit ReportCommand(const Invocation &invocation, QObject *parent = nullptr);

    int prepare() override;
    void run(BmsLink *link) override;

private:
    void takeSample();
    void complete();
    int write();
    void warn(const QString &line);
    void showProgress();
    void finish(int code);

    Invocation inv_;
    ReportInput input_;
    BmsLink *link_ = nullptr;
    LiveSampler *sampler_;
    QTimer *duration_;
    QElapsedTimer clock_;
    InterruptWatch *interrupt_ = nullptr;
    QSaveFile *output_ = nullptr; // -o
    qint64 progress_s_ = -1;      // the second the progress line shows; -1: none shown
    bool done_ = false;
};

#endif // CLI_REPORT_COMMAND_H
