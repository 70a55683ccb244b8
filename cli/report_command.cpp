#include "report_command.h"

#include "arguments.h"
#include "bms_link.h"
#include "live_sampler.h"
#include "made_by.h"
#include "monitor/display.h"
#include "output.h"
#include "report/setting_labels.h"
#include "report_history.h"
#include "terminal.h"
#include "test_timing.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QSaveFile>
#include <QTimer>

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

CommandInfo ReportCommand::info()
{
    using O = QCommandLineOption;
    return {
        "report",
        "report [-o FILE] [--format html|md|json] [--duration S] [--before BACKUP.json]\n"
        "       [--shop TEXT] [--technician TEXT] [--job TEXT]",
        "a service report: identity, settings, S seconds of samples,\n"
        "the findings and a verdict, as one HTML page, Markdown or JSON",
        "Reads the identity and settings, samples the live values every 100 ms for S seconds\n"
        "(default 10) and writes a report for the customer, headed by a verdict (ok,\n"
        "attention or fault) and the sentence behind it: the pack, the findings, each\n"
        "quantity's and each cell's minimum, mean and maximum with each cell's internal\n"
        "resistance in mOhm, a chart of the cells over the pack current, and the settings\n"
        "(with --before, those changed since that backup). The findings: the BMS not\n"
        "acting on its undervoltage, overvoltage or temperature protection, its overheat\n"
        "flag, a cell below the shutdown voltage or outside undervoltage or overvoltage, a\n"
        "temperature within the critical hysteresis, a cell that sags more than the others\n"
        "under load, a cell spread above the disbalance threshold, a setting changed since\n"
        "--before. --shop, --technician and --job head the report; those not given are\n"
        "read from $XDG_CONFIG_HOME/bmsctl/report.conf (keys shop, technician, job). The\n"
        "format follows -o's extension (.html, .htm, .md, .json; html otherwise); --format\n"
        "overrides it. Without -o the report goes to standard output. Samples missed while\n"
        "the BMS is silent are left out; a BMS silent at the end of the sampling leaves no\n"
        "report (exit 1).",
        "bmsctl report -o pack-0117.html --before pack-0117.json",
        {O({QStringLiteral("o"), QStringLiteral("output")},
           QStringLiteral("write FILE (replaced whole, never left half-written)"),
           QStringLiteral("FILE")),
         O(QStringLiteral("format"),
           QStringLiteral("html, md or json (from FILE's extension, else html)"),
           QStringLiteral("FORMAT")),
         O(QStringLiteral("duration"), QStringLiteral("sample for S seconds, 1 to 3600 (10)"),
           QStringLiteral("S")),
         O(QStringLiteral("before"), QStringLiteral("show the settings changed since this backup"),
           QStringLiteral("BACKUP.json")),
         O(QStringLiteral("shop"), QStringLiteral("the shop's name on the report"),
           QStringLiteral("TEXT")),
         O(QStringLiteral("technician"), QStringLiteral("the technician's name"),
           QStringLiteral("TEXT")),
         O(QStringLiteral("job"), QStringLiteral("the job number"), QStringLiteral("TEXT"))}};
}

bool ReportCommand::parse(const QCommandLineParser &p, const QStringList &)
{
    options_.output = p.value(QStringLiteral("output"));
    if (p.isSet(QStringLiteral("output")) && options_.output.isEmpty())
        return fail(QStringLiteral("report: -o: a file name is expected"));
    if (p.isSet(QStringLiteral("duration"))) {
        const auto s = whole(QStringLiteral("--duration"), p.value(QStringLiteral("duration")), 1,
                             3600, "seconds");
        if (!s)
            return false;
        options_.duration_ms = *s * 1000;
    }
    const QStringList formats{QStringLiteral("html"), QStringLiteral("md"), QStringLiteral("json")};
    const QString suffix = QFileInfo(options_.output).suffix().toLower();
    options_.format = suffix == QLatin1String("htm") ? QStringLiteral("html") : suffix;
    if (!formats.contains(options_.format))
        options_.format = formats.first();
    if (p.isSet(QStringLiteral("format"))) {
        options_.format = p.value(QStringLiteral("format"));
        if (!formats.contains(options_.format))
            return fail(
                QStringLiteral("--format %1: html, md or json is expected").arg(options_.format));
    }
    for (const auto &[name, field] :
         {std::pair{"shop", &options_.shop}, std::pair{"technician", &options_.technician},
          std::pair{"job", &options_.job}}) {
        if (!p.isSet(QLatin1String(name)))
            continue;
        *field = p.value(QLatin1String(name));
        if (field->isNull()) // given, if empty: not the same as not given
            *field = QLatin1String("");
    }
    if (!p.isSet(QStringLiteral("before")))
        return true;
    const QString before = p.value(QStringLiteral("before"));
    if (before.isEmpty())
        return fail(QStringLiteral("report: --before: a backup file name is expected"));
    const QStringList problems = read_settings_file(before, options_.before);
    for (const QString &problem : problems)
        warn(QStringLiteral("report: --before: ") + problem);
    return problems.isEmpty();
}

ReportCommand::ReportCommand()
    : sampler_(new LiveSampler(test_delay(BmsLink::POLL_PERIOD_MS), this)),
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
    MadeBy made_by{options_.shop, options_.technician, options_.job};
    QString problem;
    if (!complete_made_by(made_by, report_config_path(), &problem))
        return refuse(QStringLiteral("report: ") + problem);
    input_.shop = made_by.shop;
    input_.technician = made_by.technician;
    input_.job = made_by.job;
    if (options_.output.isEmpty())
        return -1;
    output_ = new QSaveFile(options_.output, this);
    return open_output(output_, QStringLiteral("report")) ? -1 : exit_code::USAGE;
}

void ReportCommand::run(BmsLink *link)
{
    link_ = link;
    const RegisterImage &image = link->image();
    const PackIdentity id = decode_identity(image);
    input_.identity = id;
    input_.tool_version = QStringLiteral(BMSCTL_VERSION);
    input_.settings = settings_of(image, options_.before);
    input_.has_before = !options_.before.path.isEmpty();
    input_.before_file = options_.before.path;
    input_.analysis.limits = report_limits(image);
    input_.analysis.before_file = options_.before.path;
    for (const ReportSetting &s : input_.settings)
        if (!s.before.isEmpty())
            input_.analysis.changes.append({s.label, s.before, s.value});
    input_.duration_s = static_cast<int>(options_.duration_ms / 1000);
    if (input_.has_before && !options_.before.bms_serial.isEmpty() &&
        options_.before.bms_serial != id.bms_serial)
        warn(QStringLiteral("report: note: %1 was saved from BMS %2; this is BMS %3")
                 .arg(options_.before.path, options_.before.bms_serial, id.bms_serial));

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
    duration_->start(
        test_delay(static_cast<int>(options_.duration_ms) + BmsLink::POLL_PERIOD_MS / 2));
}

void ReportCommand::portLost()
{
    warn(QStringLiteral("report: the port is gone (adapter unplugged?) %1 s into the sampling; "
                        "no report written")
             .arg(clock_.elapsed() / 1000.0, 0, 'f', 1));
    finish(exit_code::PORT);
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
    ReportAnalysis a = analyse(input_.analysis);
    // The pack's previous report, read before this one joins the history.
    QString warning;
    const std::optional<PreviousReport> previous =
        history().previousReport(input_.identity, &warning);
    noteHistory(warning);
    if (previous)
        compare_with_previous(a, *previous);
    noteHistory(history().report(report_record(a)));
    const QByteArray text = render_report(options_.format, input_, a, previous);
    warn(QStringLiteral("report: pack %1: %2 samples over %3 s; %4 finding%5")
             .arg(input_.identity.serial_number)
             .arg(a.sample_count)
             .arg(a.span_s, 0, 'f', 1)
             .arg(a.findings.size())
             .arg(a.findings.size() == 1 ? "" : "s"));
    for (const Finding &f : a.findings)
        warn(QStringLiteral("report: finding: ") + f.title);
    warn(QStringLiteral("report: verdict: %1").arg(verdict_name(a.verdict)));
    if (!output_) // a reader that went away did not get the report
        return say(QString::fromUtf8(text)) ? exit_code::OK : exit_code::FAILED;
    if (output_->write(text) != text.size() || !output_->commit()) {
        warn(QStringLiteral("report: cannot write %1: %2")
                 .arg(options_.output, output_->errorString()));
        return exit_code::FAILED;
    }
    warn(QStringLiteral("report: written to %1").arg(options_.output));
    return exit_code::OK;
}

void ReportCommand::showProgress()
{
    const qint64 s = clock_.elapsed() / 1000;
    if (s == progress_s_)
        return;
    progress_s_ = s;
    progress(QStringLiteral("bmsctl: report: sampling %1 of %2 s").arg(s).arg(input_.duration_s));
}

void ReportCommand::finish(int code)
{
    if (done_)
        return;
    done_ = true;
    sampler_->stop();
    duration_->stop();
    progress(QString());
    emit finished(code);
}
