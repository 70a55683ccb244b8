#include "monitor_command.h"

#include "arguments.h"
#include "bms_link.h"
#include "live_sampler.h"
#include "monitor/display.h"
#include "output.h"
#include "views.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>
#include <cmath>

QString csv_header()
{
    QStringList columns{QStringLiteral("time"),          QStringLiteral("voltage_mv"),
                        QStringLiteral("current_ma"),    QStringLiteral("soc_percent"),
                        QStringLiteral("remaining_mah"), QStringLiteral("t1_c"),
                        QStringLiteral("t2_c")};
    for (int k = 1; k <= CELL_COUNT; ++k)
        columns << QStringLiteral("cell%1_mv").arg(k);
    columns << QStringLiteral("balancing");
    return columns.join(QLatin1Char(',')) + QLatin1Char('\n');
}

static QList<int> row_numbers(const PackState &s)
{
    QList<int> n{s.voltage_mv,    s.current_ma,        s.soc_percent,
                 s.remaining_mah, s.temperatures_c[0], s.temperatures_c[1]};
    for (int mv : s.cells_mv)
        n << mv;
    return n;
}

QString csv_row(const QString &time, const PackState &s)
{
    QStringList fields{time};
    for (int v : row_numbers(s))
        fields << QString::number(v);
    fields << balancing_cells(s.balancing);
    return fields.join(QLatin1Char(',')) + QLatin1Char('\n');
}

QString jsonl_row(const QString &time, const PackState &s)
{
    // Written by hand to keep the columns' order; every value but the time is a number.
    const QStringList keys = csv_header().trimmed().split(QLatin1Char(','));
    const QList<int> values = row_numbers(s);
    QString line = QStringLiteral("{\"time\":\"%1\"").arg(time);
    for (int i = 0; i < values.size(); ++i)
        line += QStringLiteral(",\"%1\":%2").arg(keys.at(i + 1)).arg(values.at(i));
    // The form of info --json: one flag per cell.
    QStringList flags;
    for (int k = 0; k < CELL_COUNT; ++k)
        flags << QLatin1String(s.balancing & (1u << k) ? "true" : "false");
    return line + QStringLiteral(",\"balancing\":[%1]}\n").arg(flags.join(QLatin1Char(',')));
}

namespace
{

QString live_table(const QDateTime &time, int rows, int interval_ms, const PackState &s)
{
    const QString deg = QStringLiteral("\u00b0C");
    QStringList head{QStringLiteral("cell")}, volts{QStringLiteral("mV  ")},
        bal{QStringLiteral("bal ")};
    for (int k = 0; k < CELL_COUNT; ++k) {
        head << QString::number(k + 1).rightJustified(5);
        volts << QString::number(s.cells_mv[static_cast<size_t>(k)]).rightJustified(5);
        bal << QString(s.balancing & (1u << k) ? QStringLiteral("*") : QString()).rightJustified(5);
    }
    const auto [low, high] = std::minmax_element(s.cells_mv.begin(), s.cells_mv.end());
    return QStringLiteral("%1 UTC   sample %2, every %3 ms   Ctrl-C stops\n")
               .arg(time.toString(QStringLiteral("HH:mm:ss.zzz")))
               .arg(rows)
               .arg(interval_ms) +
           QStringLiteral("pack  %1 mV  %2 mA  %3 %  %4 mAh  T1 %5 %7  T2 %6 %7%8\n")
               .arg(s.voltage_mv)
               .arg(s.current_ma)
               .arg(s.soc_percent)
               .arg(s.remaining_mah)
               .arg(s.temperatures_c[0])
               .arg(s.temperatures_c[1])
               .arg(deg, s.charging ? QStringLiteral("  charging") : QString()) +
           head.join(QString()) + QLatin1Char('\n') + volts.join(QString()) + QLatin1Char('\n') +
           bal.join(QString()) + QLatin1Char('\n') +
           QStringLiteral("min %1 mV  max %2 mV  spread %3 mV\n")
               .arg(*low)
               .arg(*high)
               .arg(*high - *low);
}

} // namespace

CommandInfo MonitorCommand::info()
{
    using O = QCommandLineOption;
    return {
        "monitor",
        "monitor [--interval MS] [--duration S | --count N] [--csv FILE|-] [--jsonl FILE|-] "
        "[--append | --force]",
        "live values; a table refreshed in place on a terminal",
        "Reads the live values every MS ms until Ctrl-C, --duration or --count. On a terminal\n"
        "a table is refreshed in place; without --csv or --jsonl and without a terminal, CSV\n"
        "goes to standard output. Rows are flushed one by one. While the BMS is silent no\n"
        "row is written, only a warning on standard error.\n"
        "CSV: time,voltage_mv,current_ma,soc_percent,remaining_mah,t1_c,t2_c,cell1_mv,...,\n"
        "cell10_mv,balancing; time in UTC (ISO 8601, milliseconds), balancing the numbers\n"
        "of the cells being balanced, separated by spaces. JSONL: the same keys, one object\n"
        "per line, balancing as ten booleans (cell 1 first), as info --json has it. An\n"
        "existing FILE is refused unless --append (rows added, no second header) or --force\n"
        "(replaced). A hang-up ends the run like Ctrl-C; so does a reader of the rows that\n"
        "goes away (| head).",
        "bmsctl monitor --interval 500 --duration 900 --csv ride.csv",
        {O(QStringLiteral("interval"), QStringLiteral("time between samples (1000)"),
           QStringLiteral("MS")),
         O(QStringLiteral("duration"), QStringLiteral("stop after S seconds"), QStringLiteral("S")),
         O(QStringLiteral("count"), QStringLiteral("stop after N rows"), QStringLiteral("N")),
         O(QStringLiteral("csv"), QStringLiteral("CSV rows to FILE, - for standard output"),
           QStringLiteral("FILE|-")),
         O(QStringLiteral("jsonl"), QStringLiteral("JSON lines to FILE, - for standard output"),
           QStringLiteral("FILE|-")),
         O(QStringLiteral("append"), QStringLiteral("add the rows to an existing FILE")),
         O(QStringLiteral("force"), QStringLiteral("replace an existing FILE"))}};
}

bool MonitorCommand::parse(const QCommandLineParser &p, const QStringList &)
{
    const auto value = [&p](const char *name) { return p.value(QLatin1String(name)); };
    if (p.isSet(QStringLiteral("interval"))) {
        const auto v = whole(QStringLiteral("--interval"), value("interval"), 10, 3600000, "ms");
        if (!v)
            return false;
        options_.interval_ms = static_cast<int>(*v);
    }
    if (p.isSet(QStringLiteral("duration")) && p.isSet(QStringLiteral("count")))
        return fail(QStringLiteral("monitor: give --duration or --count, not both"));
    if (p.isSet(QStringLiteral("duration"))) {
        bool ok = false;
        const double s = value("duration").toDouble(&ok);
        // The longest a timer runs: 24 days.
        if (!ok || !(s > 0) || s > 2e6)
            return fail(QStringLiteral("--duration %1: a number of seconds above 0 and at most "
                                       "2000000 is expected")
                            .arg(value("duration")));
        options_.duration_ms = static_cast<qint64>(std::ceil(s * 1000));
    }
    if (p.isSet(QStringLiteral("count"))) {
        const auto v = whole(QStringLiteral("--count"), value("count"), 1, 1000000000, "rows");
        if (!v)
            return false;
        options_.count = static_cast<int>(*v);
    }
    options_.csv = value("csv");
    options_.jsonl = value("jsonl");
    if (p.isSet(QStringLiteral("csv")) && options_.csv.isEmpty())
        return fail(QStringLiteral("--csv: a file name or - is expected"));
    if (p.isSet(QStringLiteral("jsonl")) && options_.jsonl.isEmpty())
        return fail(QStringLiteral("--jsonl: a file name or - is expected"));
    options_.append = p.isSet(QStringLiteral("append"));
    options_.force = p.isSet(QStringLiteral("force"));
    if (options_.append && options_.force)
        return fail(QStringLiteral("monitor: give --append or --force, not both"));
    if (!options_.csv.isEmpty() && options_.csv == options_.jsonl)
        return fail(QStringLiteral("monitor: --csv and --jsonl both name %1").arg(options_.csv));
    return true;
}

int MonitorCommand::prepare()
{
    const QString dash = QStringLiteral("-");
    csv_out_ = !options_.csv.isEmpty();
    jsonl_out_ = !options_.jsonl.isEmpty();
    const bool stdout_taken = options_.csv == dash || options_.jsonl == dash;
    // Piped without a choice: the rows are surely wanted as data.
    if (!csv_out_ && !jsonl_out_ && !stdout_is_terminal()) {
        csv_out_ = true;
        options_.csv = dash;
    }
    table_ = !stdout_taken && stdout_is_terminal();

    // Opened now so that a path that cannot be written is refused before anything
    // is sent; rows go out flushed, so no atomic replace here. A log already there
    // is someone's earlier ride: kept unless told.
    const auto open = [this, &dash](const QString &path, QFile **file) {
        if (path.isEmpty() || path == dash)
            return true;
        *file = new QFile(path, this);
        const QFileInfo existing(path);
        if (existing.exists() && !existing.isFile())
            return open_output(*file, QStringLiteral("monitor"));
        if (existing.exists() && !options_.append && !options_.force)
            return fail(QStringLiteral("monitor: %1 exists; --append adds the rows to it, "
                                       "--force replaces it")
                            .arg(path));
        if (!options_.append)
            return open_output(*file, QStringLiteral("monitor"));
        if (path == options_.csv && existing.size() > 0)
            csv_header_ = false;
        if ((*file)->open(QIODevice::WriteOnly | QIODevice::Append))
            return true;
        return fail(
            QStringLiteral("monitor: cannot write %1: %2").arg(path, (*file)->errorString()));
    };
    if (!open(options_.csv, &csv_) || !open(options_.jsonl, &jsonl_))
        return exit_code::USAGE;
    return -1;
}

RegisterRanges MonitorCommand::firstRead() const
{
    return LiveSampler::ranges();
}

void MonitorCommand::run(BmsLink *link)
{
    link_ = link;
    sampler_ = new LiveSampler(options_.interval_ms, this);
    connect(sampler_, &LiveSampler::sampled, this, &MonitorCommand::emitRow);
    connect(sampler_, &LiveSampler::silenced, this, [this](const QDateTime &since, int reg) {
        note(QStringLiteral("monitor: no answer from the BMS since %1 UTC (register 0x%2); no "
                            "rows until it answers")
                 .arg(since.toString(QStringLiteral("HH:mm:ss.zzz")))
                 .arg(reg, 2, 16, QLatin1Char('0')));
    });
    connect(sampler_, &LiveSampler::answersAgain, this,
            [this] { note(QStringLiteral("monitor: the BMS answers again")); });
    connect(sampler_, &LiveSampler::portLost, this, &MonitorCommand::portLost);
    duration_ = new QTimer(this);
    duration_->setSingleShot(true);
    connect(duration_, &QTimer::timeout, this, [this] { finish(exit_code::OK); });
    interrupt_ = new InterruptWatch(this);
    connect(interrupt_, &InterruptWatch::interrupted, this, [this] { finish(exit_code::OK); });

    if (csv_out_ && csv_header_ && !writeTo(csv_, options_.csv, csv_header().toUtf8()))
        return;
    sampler_->start(link_);
    if (options_.duration_ms > 0)
        duration_->start(static_cast<int>(options_.duration_ms));
    // The session's first read is the first sample.
    emitRow(QDateTime::currentDateTimeUtc());
}

void MonitorCommand::emitRow(const QDateTime &time)
{
    const PackState s = decode_pack_state(link_->image());
    const QString stamp = time.toString(Qt::ISODateWithMs);
    ++rows_;
    if (csv_out_ && !writeTo(csv_, options_.csv, csv_row(stamp, s).toUtf8()))
        return;
    if (jsonl_out_ && !writeTo(jsonl_, options_.jsonl, jsonl_row(stamp, s).toUtf8()))
        return;
    if (table_)
        block_.draw(live_table(time, rows_, options_.interval_ms, s));
    if (options_.count > 0 && rows_ >= options_.count)
        finish(exit_code::OK);
}

bool MonitorCommand::writeTo(QFile *file, const QString &destination, const QByteArray &bytes)
{
    if (!file) {
        if (say(QString::fromUtf8(bytes)))
            return true;
        // The reader of the rows is gone (| head): nothing more to do.
        finish(exit_code::OK);
        return false;
    }
    if (file->write(bytes) == bytes.size() && file->flush())
        return true;
    warn(QStringLiteral("monitor: cannot write %1: %2").arg(destination, file->errorString()));
    finish(exit_code::FAILED);
    return false;
}

void MonitorCommand::portLost()
{
    note(QStringLiteral("monitor: the port is gone (adapter unplugged?); stopped after %1 rows")
             .arg(rows_));
    finish(exit_code::PORT);
}

void MonitorCommand::note(const QString &line)
{
    warn(line);
    block_.detach();
}

void MonitorCommand::finish(int code)
{
    if (state_ == State::Done)
        return;
    state_ = State::Done;
    if (sampler_)
        sampler_->stop();
    if (duration_)
        duration_->stop();
    for (QFile *file : {csv_, jsonl_})
        if (file)
            file->close();
    if (stderr_is_terminal()) {
        clear_echo(); // over the ^C the terminal echoed
        warn(QStringLiteral("monitor: %1 rows").arg(rows_));
    }
    emit finished(code);
}
