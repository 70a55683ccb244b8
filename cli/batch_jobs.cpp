#include "batch_jobs.h"

#include "arguments.h"
#include "backup_command.h"
#include "batch_flash.h"
#include "bms_link.h"
#include "flash_command.h"
#include "info_command.h"
#include "live_sampler.h"
#include "monitor/display.h"
#include "monitor_command.h"
#include "output.h"
#include "report_command.h"
#include "settings/settings_file.h"
#include "terminal.h"
#include "views.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <vector>

bool output_folder(const QString &command, const QString &dir, const QStringList &file_suffixes)
{
    const QFileInfo info(dir);
    if (dir.isEmpty() || (info.exists() && !info.isDir()) ||
        (!info.exists() && file_suffixes.contains(info.suffix().toLower())))
        return fail(QStringLiteral("%1: with several ports, -o names a folder for one file per "
                                   "board (<BMS serial>.%2), not a file%3")
                        .arg(command, file_suffixes.first(),
                             dir.isEmpty() ? QString() : QStringLiteral(": ") + dir));
    if (!QDir().mkpath(dir))
        return fail(QStringLiteral("%1: cannot create the folder %2").arg(command, dir));
    return true;
}

namespace
{

// Boards whose BMS serial another board of the batch already has get no file of
// their own: it would replace the other's.
bool claim_serial(QSet<QString> &serials, Board *board, const QString &command,
                  const QString &serial)
{
    if (!serials.contains(serial)) {
        serials.insert(serial);
        return true;
    }
    warn(QStringLiteral("%1: %2: another board of this batch has BMS serial %3; nothing written "
                        "for this one")
             .arg(command, board->port.label, serial));
    board->code = exit_code::FAILED;
    return false;
}

} // namespace

class BatchInfo : public BatchJob
{
public:
    BatchInfo(InfoCommand *command) : BatchJob(QStringLiteral("info")), command_(command) {}

protected:
    void run() override
    {
        QJsonArray list;
        QStringList blocks;
        for (Board *board : qAsConst(boards_)) {
            if (!board->ready())
                continue;
            board->code = exit_code::OK;
            const RegisterImage &image = board->link->image();
            if (command_->options_.json) {
                QJsonObject object = info_json(image);
                object.insert(QStringLiteral("port"), board->port.path);
                list.append(object);
            } else {
                blocks << QStringLiteral("== %1 ==\n").arg(board->port.label) + info_text(image);
            }
        }
        if (command_->options_.json)
            say(QString::fromUtf8(QJsonDocument(list).toJson()));
        else
            say(blocks.join(QLatin1Char('\n')));
        finish();
    }

private:
    InfoCommand *command_;
};

class BatchBackup : public BatchJob
{
public:
    BatchBackup(BackupCommand *command) : BatchJob(QStringLiteral("backup")), command_(command) {}

    int prepare() override
    {
        return output_folder(QStringLiteral("backup"), command_->options_.output,
                             {QStringLiteral("json")})
                   ? -1
                   : exit_code::USAGE;
    }

protected:
    void run() override
    {
        QSet<QString> serials;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        for (Board *board : qAsConst(boards_)) {
            if (!board->ready())
                continue;
            const RegisterImage &image = board->link->image();
            const PackIdentity id = decode_identity(image);
            if (!claim_serial(serials, board, QStringLiteral("backup"), id.bms_serial))
                continue;
            for (const SettingDef &setting : all_settings())
                if (!encode_setting(setting, decode_setting(setting, image)))
                    warn(QStringLiteral("note: %1: %2: the BMS holds %3, which cannot be written "
                                        "(allowed: %4): restore keeps it only on a board that "
                                        "holds it already")
                             .arg(board->port.label, setting.name, held_text(setting, image),
                                  allowed_text(setting)));
            const QString path =
                QDir(command_->options_.output).filePath(id.bms_serial + QStringLiteral(".json"));
            QSaveFile file(path);
            if (!file.open(QIODevice::WriteOnly) ||
                file.write(settings_file_text(image, now)) < 0 || !file.commit()) {
                warn(QStringLiteral("backup: %1: cannot write %2: %3")
                         .arg(board->port.label, path, file.errorString()));
                board->code = exit_code::FAILED;
                continue;
            }
            warn(QStringLiteral("saved the %1 settings of pack %2 (BMS %3, firmware %4) on %5 to "
                                "%6")
                     .arg(SETTING_COUNT)
                     .arg(id.serial_number, id.bms_serial)
                     .arg(id.firmware)
                     .arg(board->port.label, path));
            board->code = exit_code::OK;
        }
        finish();
    }

private:
    BackupCommand *command_;
};

namespace
{

QString json_string(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

QString csv_field(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1Char('"'), QStringLiteral("\"\"")) +
           QLatin1Char('"');
}

} // namespace

class BatchMonitor : public BatchJob
{
public:
    BatchMonitor(MonitorCommand *command) : BatchJob(QStringLiteral("monitor")), command_(command)
    {
    }

    int prepare() override { return command_->prepare(); }
    RegisterRanges firstRead() const override { return LiveSampler::ranges(); }

protected:
    struct Watch {
        Board *board = nullptr;
        LiveSampler *sampler = nullptr;
        PackState state{};
        int rows = 0;
        bool silent = false;
    };

    void run() override
    {
        const MonitorCommand::Options &o = command_->options_;
        for (Board *board : qAsConst(boards_))
            if (board->ready()) {
                Watch w;
                w.board = board;
                watches_.push_back(w);
            }
        if (watches_.empty()) {
            finish();
            return;
        }
        interrupt_ = new InterruptWatch(this);
        connect(interrupt_, &InterruptWatch::interrupted, this, [this] { stop(); });
        if (o.duration_ms > 0)
            QTimer::singleShot(static_cast<int>(o.duration_ms), this, [this] { stop(); });
        if (command_->table_) {
            // Redrawn at the pace of the samples, not at each board's answer.
            redraw_ = new QTimer(this);
            connect(redraw_, &QTimer::timeout, this, [this] { draw(); });
            redraw_->start(qMax(100, o.interval_ms));
        }
        if (command_->csv_out_ &&
            !write(command_->csv_, o.csv, QStringLiteral("port,") + csv_header()))
            return;
        const QDateTime now = QDateTime::currentDateTimeUtc();
        // The first read of every board is its first sample, all with the same time.
        for (int i = 0; i < static_cast<int>(watches_.size()); ++i) {
            Watch &w = at(i);
            w.sampler = new LiveSampler(o.interval_ms, this);
            connect(w.sampler, &LiveSampler::sampled, this,
                    [this, i](const QDateTime &time) { sampled(i, time); });
            connect(w.sampler, &LiveSampler::silenced, this,
                    [this, i](const QDateTime &since, int reg) {
                        at(i).silent = true;
                        note(QStringLiteral("monitor: %1: no answer from the BMS since %2 UTC "
                                            "(register 0x%3); no rows until it answers")
                                 .arg(at(i).board->port.label,
                                      since.toString(QStringLiteral("HH:mm:ss.zzz")))
                                 .arg(reg, 2, 16, QLatin1Char('0')));
                    });
            connect(w.sampler, &LiveSampler::answersAgain, this, [this, i] {
                at(i).silent = false;
                note(QStringLiteral("monitor: %1: the BMS answers again")
                         .arg(at(i).board->port.label));
            });
            connect(w.sampler, &LiveSampler::portLost, this, [this, i] {
                Watch &lost = at(i);
                note(QStringLiteral("monitor: %1: the port is gone (adapter unplugged?); stopped "
                                    "after %2 rows")
                         .arg(lost.board->port.label)
                         .arg(lost.rows));
                lost.board->code = exit_code::FAILED;
                if (std::none_of(watches_.begin(), watches_.end(),
                                 [](const Watch &w) { return w.board->ready(); }))
                    stop();
            });
        }
        for (int i = 0; i < static_cast<int>(watches_.size()) && !stopped_; ++i) {
            at(i).sampler->start(at(i).board->link);
            sampled(i, now);
        }
    }

    Watch &at(int i) { return watches_[static_cast<size_t>(i)]; }

    void sampled(int i, const QDateTime &time)
    {
        if (stopped_)
            return;
        Watch &w = at(i);
        const MonitorCommand::Options &o = command_->options_;
        if (o.count > 0 && w.rows >= o.count)
            return;
        w.state = decode_pack_state(w.board->link->image());
        ++w.rows;
        ++rows_;
        const QString stamp = time.toString(Qt::ISODateWithMs);
        if (command_->csv_out_ &&
            !write(command_->csv_, o.csv,
                   csv_field(w.board->port.path) + QLatin1Char(',') + csv_row(stamp, w.state)))
            return;
        if (command_->jsonl_out_ &&
            !write(command_->jsonl_, o.jsonl,
                   QStringLiteral("{\"port\":%1,").arg(json_string(w.board->port.path)) +
                       jsonl_row(stamp, w.state).mid(1)))
            return;
        last_ = time;
        if (o.count > 0 && w.rows >= o.count) {
            w.sampler->stop();
            w.board->code = exit_code::OK;
            if (std::none_of(watches_.begin(), watches_.end(),
                             [](const Watch &w) { return w.board->ready(); }))
                stop();
        }
    }

    void draw()
    {
        QVector<QStringList> rows{{QStringLiteral("PORT"), QStringLiteral("mV"),
                                   QStringLiteral("mA"), QStringLiteral("SOC"),
                                   QStringLiteral("T1"), QStringLiteral("T2"),
                                   QStringLiteral("CELL MIN"), QStringLiteral("MAX"),
                                   QStringLiteral("SPREAD"), QStringLiteral("BAL")}};
        for (const Watch &w : watches_) {
            const PackState &s = w.state;
            const auto [low, high] = std::minmax_element(s.cells_mv.begin(), s.cells_mv.end());
            rows.append({w.board->port.label, QString::number(s.voltage_mv),
                         QString::number(s.current_ma), QStringLiteral("%1 %").arg(s.soc_percent),
                         QString::number(s.temperatures_c[0]), QString::number(s.temperatures_c[1]),
                         QString::number(*low), QString::number(*high),
                         QString::number(*high - *low),
                         w.silent      ? QStringLiteral("(silent)")
                         : s.balancing ? balancing_cells(s.balancing)
                                       : QStringLiteral("-")});
        }
        block_.draw(QStringLiteral("%1 UTC   %2 boards, every %3 ms   Ctrl-C stops\n")
                        .arg(last_.toString(QStringLiteral("HH:mm:ss.zzz")))
                        .arg(watches_.size())
                        .arg(command_->options_.interval_ms) +
                    table(rows));
    }

    bool write(QFile *file, const QString &destination, const QString &text)
    {
        const QByteArray bytes = text.toUtf8();
        if (!file) {
            say(text);
            return true;
        }
        if (file->write(bytes) == bytes.size() && file->flush())
            return true;
        warn(QStringLiteral("monitor: cannot write %1: %2").arg(destination, file->errorString()));
        for (Watch &w : watches_)
            if (w.board->ready())
                w.board->code = exit_code::FAILED;
        stop();
        return false;
    }

    void note(const QString &line)
    {
        warn(line);
        block_.detach();
    }

    void stop()
    {
        if (stopped_)
            return;
        stopped_ = true;
        for (Watch &w : watches_) {
            w.sampler->stop();
            if (w.board->ready())
                w.board->code = exit_code::OK;
        }
        if (redraw_) {
            redraw_->stop();
            draw();
        }
        for (QFile *file : {command_->csv_, command_->jsonl_})
            if (file)
                file->close();
        if (stderr_is_terminal()) {
            clear_echo();
            warn(QStringLiteral("monitor: %1 rows from %2 boards").arg(rows_).arg(watches_.size()));
        }
        finish();
    }

private:
    MonitorCommand *command_;
    std::vector<Watch> watches_;
    InterruptWatch *interrupt_ = nullptr;
    QTimer *redraw_ = nullptr;
    InPlaceBlock block_;
    QDateTime last_ = QDateTime::currentDateTimeUtc();
    int rows_ = 0;
    bool stopped_ = false;
};

class BatchReport : public BatchJob
{
public:
    BatchReport(ReportCommand *command) : BatchJob(QStringLiteral("report")), command_(command) {}

    int prepare() override
    {
        return output_folder(QStringLiteral("report"), command_->options_.output,
                             {command_->options_.format, QStringLiteral("html"),
                              QStringLiteral("htm"), QStringLiteral("md"), QStringLiteral("json")})
                   ? -1
                   : exit_code::USAGE;
    }

protected:
    void run() override
    {
        QSet<QString> serials;
        QVector<ReportCommand *> reports;
        for (Board *board : qAsConst(boards_)) {
            if (!board->ready())
                continue;
            const QString serial = decode_identity(board->link->image()).bms_serial;
            if (!claim_serial(serials, board, QStringLiteral("report"), serial))
                continue;
            // Each board's report is the single-port command's own, written into the folder.
            auto *report = new ReportCommand;
            report->setParent(this);
            report->options_ = command_->options_;
            report->setHistory(command_->historyDatabase(), command_->history().enabled());
            report->options_.output =
                QDir(command_->options_.output)
                    .filePath(serial + QLatin1Char('.') + command_->options_.format);
            if (report->prepare() >= 0) {
                board->code = exit_code::FAILED;
                continue;
            }
            connect(report, &Command::finished, this, [this, board](int code) {
                board->code = code;
                if (std::none_of(boards_.begin(), boards_.end(),
                                 [](const Board *b) { return b->ready(); }))
                    finish();
            });
            reports.append(report);
            running_.append(board);
        }
        if (reports.isEmpty()) {
            finish();
            return;
        }
        // Started together, so that the boards are sampled at the same moments.
        for (int i = 0; i < reports.size(); ++i)
            reports[i]->run(running_[i]->link);
        // Only one watch hears Ctrl-C: this one, which passes it to every report.
        auto *interrupt = new InterruptWatch(this);
        connect(interrupt, &InterruptWatch::interrupted, this, [reports] {
            for (ReportCommand *report : reports)
                if (!report->done_)
                    emit report->interrupt_->interrupted();
        });
    }

private:
    ReportCommand *command_;
    QVector<Board *> running_;
};

BatchJob *make_batch_job(Command *command, const QString &name)
{
    if (name == QLatin1String("info"))
        return new BatchInfo(static_cast<InfoCommand *>(command));
    if (name == QLatin1String("backup"))
        return new BatchBackup(static_cast<BackupCommand *>(command));
    if (name == QLatin1String("monitor"))
        return new BatchMonitor(static_cast<MonitorCommand *>(command));
    if (name == QLatin1String("report"))
        return new BatchReport(static_cast<ReportCommand *>(command));
    return new BatchFlash(static_cast<FlashCommand *>(command));
}
