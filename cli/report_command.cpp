#include "report_command.h"

#include "bms_link.h"
#include "live_sampler.h"
#include "made_by.h"
#include "monitor/display.h"
#include "output.h"
#include "report/setting_labels.h"
#include "terminal.h"

#include <QSaveFile>
#include <QTimer>

#include <cstdio>

namespace
{

PackSample sample_of(const PackState &s, qint64 ms)
{
    PackSample p;
    static_cast<PackState &>(p) = s;
    p.ms = ms;
    return p;
}

QString value_of(const QJsonValue &value)
{
    const QString text = setting_value_text(value);
    return text.isEmpty() ? QStringLiteral("(empty)") : text;
}

// Every setting as the BMS holds it; with a backup, the backup's value beside
// each one the BMS no longer holds.
QVector<ReportSetting> settings_of(const RegisterImage &image, const SettingsFile &before)
{
    QVector<ReportSetting> rows;
    for (const SettingDef &setting : all_settings()) {
        // Texts and dates say what they are; a unit column would only repeat it.
        const bool words = QLatin1String(setting.unit) == QLatin1String("text") ||
                           setting.form == SettingForm::Date;
        ReportSetting row{QString::fromLatin1(setting.name), setting_label(setting.id),
                          words ? QString() : QString::fromUtf8(setting.unit),
                          value_of(decode_setting(setting, image)), QString()};
        const QJsonValue &old = before.values[static_cast<size_t>(setting.id)];
        if (!old.isUndefined() && !setting_holds(setting, image, old))
            row.before = value_of(old);
        rows.append(row);
    }
    return rows;
}

} // namespace

ReportCommand::ReportCommand(const Invocation &invocation, QObject *parent)
    : Command(parent), inv_(invocation), sampler_(new LiveSampler(BmsLink::POLL_PERIOD_MS, this)),
      duration_(new QTimer(this))
{
    duration_->setSingleShot(true);
    duration_->setTimerType(Qt::PreciseTimer); // a coarse one may end 5 % early or late
    connect(duration_, &QTimer::timeout, this, &ReportCommand::complete);
    connect(sampler_, &LiveSampler::sampled, this, &ReportCommand::takeSample);
    connect(sampler_, &LiveSampler::silenced, this, [this](const QDateTime &since, int reg) {
        warn(QStringLiteral("report: no answer from the BMS since %1 UTC (register 0x%2); no "
                            "samples until it answers")
                 .arg(since.toString(QStringLiteral("HH:mm:ss.zzz")))
                 .arg(reg, 2, 16, QLatin1Char('0')));
    });
    connect(sampler_, &LiveSampler::answersAgain, this,
            [this] { warn(QStringLiteral("report: the BMS answers again")); });
    connect(sampler_, &LiveSampler::portLost, this, [this] {
        warn(QStringLiteral("report: the port is gone (adapter unplugged?); no report written"));
        finish(exit_code::FAILED);
    });
}

int ReportCommand::prepare()
{
    MadeBy made_by{inv_.shop, inv_.technician, inv_.job};
    QString problem;
    if (!complete_made_by(made_by, report_config_path(), &problem))
        return refuse(QStringLiteral("report: ") + problem);
    input_.shop = made_by.shop;
    input_.technician = made_by.technician;
    input_.job = made_by.job;
    if (inv_.output.isEmpty())
        return -1;
    // Opened now so that a path that cannot be written is refused before the BMS
    // is asked anything; the old file stays as it was until the new one is whole.
    output_ = new QSaveFile(inv_.output, this);
    if (!output_->open(QIODevice::WriteOnly))
        return refuse(
            QStringLiteral("report: cannot write %1: %2").arg(inv_.output, output_->errorString()));
    return -1;
}

void ReportCommand::run(BmsLink *link)
{
    link_ = link;
    const RegisterImage &image = link->image();
    const PackIdentity id = decode_identity(image);
    input_.identity = id;
    input_.tool_version = QStringLiteral(BMSCTL_VERSION);
    input_.settings = settings_of(image, inv_.settings);
    input_.has_before = !inv_.settings.path.isEmpty();
    input_.before_file = inv_.settings.path;
    input_.analysis.limits = report_limits(image);
    input_.analysis.before_file = inv_.settings.path;
    for (const ReportSetting &s : input_.settings)
        if (!s.before.isEmpty())
            input_.analysis.changes.append({s.label, s.before, s.value});
    input_.duration_s = static_cast<int>(inv_.duration_ms / 1000);
    if (input_.has_before && !inv_.settings.bms_serial.isEmpty() &&
        inv_.settings.bms_serial != id.bms_serial)
        complain(QStringLiteral("report: note: %1 was saved from BMS %2; this is BMS %3")
                     .arg(inv_.settings.path, inv_.settings.bms_serial, id.bms_serial));

    interrupt_ = new InterruptWatch(this);
    connect(interrupt_, &InterruptWatch::interrupted, this, [this] {
        warn(QStringLiteral("report: interrupted; no report written"));
        finish(exit_code::FAILED);
    });
    // The snapshot holds the live registers too: it is the first sample.
    clock_.start();
    input_.started_at = QDateTime::currentDateTimeUtc();
    takeSample();
    sampler_->start(link_);
    // Samples at 0, 0.1, ... S s: the last one's reply has half a period to come in.
    duration_->start(static_cast<int>(inv_.duration_ms) + BmsLink::POLL_PERIOD_MS / 2);
}

void ReportCommand::takeSample()
{
    input_.analysis.samples.append(sample_of(decode_pack_state(link_->image()), clock_.elapsed()));
    showProgress();
}

void ReportCommand::complete()
{
    if (done_)
        return;
    sampler_->stop();
    if (sampler_->silent()) {
        warn(QStringLiteral("report: the BMS has not answered since %1 s into the sampling; "
                            "no report written")
                 .arg(input_.analysis.samples.last().ms / 1000.0, 0, 'f', 1));
        finish(exit_code::FAILED);
        return;
    }
    finish(write());
}

int ReportCommand::write()
{
    input_.generated_at = QDateTime::currentDateTimeUtc();
    const ReportAnalysis a = analyse(input_.analysis);
    const QByteArray text = inv_.format == QLatin1String("md")     ? render_markdown(input_, a)
                            : inv_.format == QLatin1String("json") ? render_json(input_, a)
                                                                   : render_html(input_, a);
    warn(QStringLiteral("report: pack %1: %2 samples over %3 s; %4 finding%5")
             .arg(input_.identity.serial_number)
             .arg(a.sample_count)
             .arg(a.span_s, 0, 'f', 1)
             .arg(a.findings.size())
             .arg(a.findings.size() == 1 ? "" : "s"));
    for (const Finding &f : a.findings)
        complain(QStringLiteral("report: finding: ") + f.title);
    complain(QStringLiteral("report: verdict: %1").arg(verdict_name(a.verdict)));
    if (!output_) {
        print(QString::fromUtf8(text));
        return exit_code::OK;
    }
    if (output_->write(text) != text.size() || !output_->commit()) {
        complain(
            QStringLiteral("report: cannot write %1: %2").arg(inv_.output, output_->errorString()));
        return exit_code::FAILED;
    }
    complain(QStringLiteral("report: written to %1").arg(inv_.output));
    return exit_code::OK;
}

// One line on standard error, over the progress line if there is one.
void ReportCommand::warn(const QString &line)
{
    if (progress_s_ >= 0)
        std::fputs("\r\x1b[K", stderr);
    progress_s_ = -1;
    complain(line);
}

void ReportCommand::showProgress()
{
    const qint64 s = clock_.elapsed() / 1000;
    if (s == progress_s_ || !stderr_is_terminal())
        return;
    progress_s_ = s;
    std::fputs(QStringLiteral("\r\x1b[Kbmsctl: report: sampling %1 of %2 s")
                   .arg(s)
                   .arg(input_.duration_s)
                   .toUtf8()
                   .constData(),
               stderr);
    std::fflush(stderr);
}

void ReportCommand::finish(int code)
{
    if (done_)
        return;
    done_ = true;
    sampler_->stop();
    duration_->stop();
    if (progress_s_ >= 0)
        std::fputs("\r\x1b[K", stderr);
    progress_s_ = -1;
    emit finished(code);
}
