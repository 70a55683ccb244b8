// What the service history costs: the time recording adds to one bmsctl command
// on SQLite, and how long `bmsctl history SERIAL` takes on a large history.
//
//   bench_history [--packs N] [--visits N] [--runs N] [--database URL]
//
// Without --database, an SQLite file in a temporary folder. The large history is
// made with plain inserts in one transaction (10 000 packs, 200 000 visits by
// default, each pack with its visits spread over two years, one in ten a settings
// write, one in twenty a report); then bmsctl itself is timed, start to exit.

#include "history_recorder.h"
#include "history_store.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace
{

struct Figures {
    double median = 0, p95 = 0, max = 0;
};

Figures figures(QVector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    if (ms.isEmpty())
        return {};
    return {ms.at(ms.size() / 2), ms.at(qMin(ms.size() - 1, ms.size() * 95 / 100)), ms.last()};
}

void report(const char *what, const Figures &f)
{
    std::printf("%-58s median %7.2f ms  p95 %7.2f ms  max %7.2f ms\n", what, f.median, f.p95,
                f.max);
    std::fflush(stdout);
}

PackIdentity pack_identity(int pack)
{
    PackIdentity id;
    id.serial_number = QStringLiteral("PACK-%1").arg(pack, 6, 10, QLatin1Char('0'));
    id.bms_serial = QStringLiteral("%1").arg(pack, 24, 16, QLatin1Char('0')).toUpper();
    id.firmware = 18;
    return id;
}

// One command's recording, as a `set` records it: the visit and one write, each
// a transaction, from opening the history to closing it. In milliseconds.
double record_one(const QString &url, int pack)
{
    PackState state;
    state.voltage_mv = 38000;
    QElapsedTimer clock;
    clock.start();
    {
        HistoryRecorder history(url, QStringLiteral("bmsctl"));
        QString warning = history.visit(QStringLiteral("set"), pack_identity(pack), state);
        if (warning.isEmpty())
            warning = history.settingsWrite({QStringLiteral("capacity"), 10000, 12000, true});
        if (!warning.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(warning));
            std::exit(1);
        }
    }
    return clock.nsecsElapsed() / 1e6;
}

bool fill(const QString &url, int packs, int visits)
{
    QString error;
    const auto location = parse_history_url(url, &error);
    {
        HistoryStore store(*location); // creates the schema
        if (store.open(HistoryStore::Mode::Write, 2000) != HistoryStore::Opened::Ok) {
            std::fprintf(stderr, "%s\n", qPrintable(store.error()));
            return false;
        }
    }
    {
        QSqlDatabase db = add_history_database(*location, QStringLiteral("fill"));
        if (!db.open())
            return false;
        QSqlQuery q(db);
        q.exec(QStringLiteral("BEGIN"));
        const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-730);
        const int per_pack = visits / packs;
        QSqlQuery pack_q(db), bms_q(db), visit_q(db), write_q(db), report_q(db);
        pack_q.prepare(QStringLiteral(
            "INSERT INTO packs (serial_number, first_seen, last_seen, bms_serial, visits,"
            " last_verdict, last_firmware) VALUES (?, ?, ?, ?, ?, 'good', 18) RETURNING id"));
        bms_q.prepare(QStringLiteral("INSERT INTO pack_bms VALUES (?, ?, ?, ?)"));
        visit_q.prepare(QStringLiteral(
            "INSERT INTO visits (pack_id, time, bench, program, command, bms_serial, firmware,"
            " voltage_mv, current_ma, soc_percent, remaining_mah, t1_c, t2_c, cells_mv,"
            " balancing, flags) VALUES (?, ?, 'bench-1', 'bmsctl', 'info', ?, 18, 38000, -1500,"
            " 80, 8000, 22, 23, '3800,3801,3802,3803,3804,3805,3806,3807,3808,3809', 0, 24)"
            " RETURNING id"));
        write_q.prepare(QStringLiteral(
            "INSERT INTO settings_writes (visit_id, setting, value_before, value_after,"
            " confirmed) VALUES (?, 'overvoltage', '4200', '4250', 1)"));
        report_q.prepare(QStringLiteral(
            "INSERT INTO reports (visit_id, verdict, findings, resistance_mohm) VALUES (?,"
            " 'good', '[]', '[20,20,20,20,20,20,20,20,20,20]')"));
        int made = 0;
        for (int p = 0; p < packs; ++p) {
            const PackIdentity id = pack_identity(p);
            // Visits interleaved over the two years: pack p's k-th visit at k*packs+p.
            const auto time = [&](int k) {
                return history_time_text(
                    start.addSecs(qint64(k * packs + p) * 730 * 86400 / visits));
            };
            pack_q.addBindValue(id.serial_number);
            pack_q.addBindValue(time(0));
            pack_q.addBindValue(time(per_pack - 1));
            pack_q.addBindValue(id.bms_serial);
            pack_q.addBindValue(per_pack);
            if (!pack_q.exec() || !pack_q.next()) {
                std::fprintf(stderr, "%s\n", qPrintable(pack_q.lastError().text()));
                return false;
            }
            const qint64 pack_id = pack_q.value(0).toLongLong();
            pack_q.finish();
            bms_q.addBindValue(pack_id);
            bms_q.addBindValue(id.bms_serial);
            bms_q.addBindValue(time(0));
            bms_q.addBindValue(time(per_pack - 1));
            bms_q.exec();
            for (int k = 0; k < per_pack; ++k, ++made) {
                visit_q.addBindValue(pack_id);
                visit_q.addBindValue(time(k));
                visit_q.addBindValue(id.bms_serial);
                if (!visit_q.exec() || !visit_q.next())
                    return false;
                const qint64 visit = visit_q.value(0).toLongLong();
                visit_q.finish();
                if (made % 10 == 0) {
                    write_q.addBindValue(visit);
                    write_q.exec();
                }
                if (made % 20 == 0) {
                    report_q.addBindValue(visit);
                    report_q.exec();
                }
            }
        }
        for (QSqlQuery *query : {&pack_q, &bms_q, &visit_q, &write_q, &report_q})
            query->finish();
        if (!q.exec(QStringLiteral("COMMIT"))) {
            std::fprintf(stderr, "%s\n", qPrintable(q.lastError().text()));
            return false;
        }
        q.exec(QStringLiteral("ANALYZE"));
        q.finish();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    return true;
}

double run_bmsctl(const QStringList &args)
{
    QElapsedTimer clock;
    clock.start();
    QProcess p;
    p.start(QStringLiteral(BMSCTL_PATH), args);
    p.waitForFinished(60000);
    const double ms = clock.nsecsElapsed() / 1e6;
    if (p.exitCode() != 0) {
        std::fprintf(stderr, "bmsctl %s: %s\n", qPrintable(args.join(QLatin1Char(' '))),
                     p.readAllStandardError().constData());
        std::exit(1);
    }
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int packs = 10000, visits = 200000, runs = 30;
    QString url;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == QLatin1String("--packs"))
            packs = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--visits"))
            visits = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--runs"))
            runs = args.at(i + 1).toInt();
        else if (args.at(i) == QLatin1String("--database"))
            url = args.at(i + 1);
        else if (args.at(i) == QLatin1String("--record-once")) {
            // A process of its own, as a bmsctl command is: the driver loaded anew.
            std::printf("%.3f\n", record_one(args.at(i + 1), packs + 1));
            return 0;
        }
    }
    QTemporaryDir dir;
    const bool own = url.isEmpty();
    if (own)
        url = QStringLiteral("sqlite:%1/history.sqlite").arg(dir.path());
    std::printf("history: %s\n", qPrintable(url));

    // Recording, in a fresh process each time: an empty history, then the large one.
    // Before the large history is made, packs past its range.
    auto record_runs = [&](const char *what, int first_pack) {
        QVector<double> fresh, warm;
        for (int i = 0; i < runs; ++i) {
            QProcess p;
            p.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--packs"), QString::number(first_pack),
                     QStringLiteral("--record-once"), url});
            p.waitForFinished(60000);
            fresh << p.readAllStandardOutput().trimmed().toDouble();
        }
        for (int i = 0; i < runs; ++i)
            warm << record_one(url, first_pack + i);
        report(qPrintable(QStringLiteral("record a command, own process, %1").arg(what)),
               figures(fresh));
        report(qPrintable(QStringLiteral("record a command, driver loaded, %1").arg(what)),
               figures(warm));
    };
    if (own)
        record_runs("new history", packs);

    QElapsedTimer clock;
    clock.start();
    if (!fill(url, packs, visits))
        return 1;
    std::printf("filled %d packs, %d visits in %.1f s\n", packs, visits, clock.elapsed() / 1e3);
    record_runs(qPrintable(QStringLiteral("%1 visits").arg(visits)), 0);

    const QStringList db = {QStringLiteral("--database"), url, QStringLiteral("history")};
    QVector<double> timeline, timeline_json, by_bms, list;
    for (int i = 0; i < runs; ++i) {
        const PackIdentity id = pack_identity((i * 7919) % packs);
        timeline << run_bmsctl(db + QStringList{id.serial_number});
        timeline_json << run_bmsctl(db + QStringList{id.serial_number, QStringLiteral("--json")});
        by_bms << run_bmsctl(db + QStringList{id.bms_serial});
    }
    for (int i = 0; i < qMin(runs, 5); ++i)
        list << run_bmsctl(db + QStringList{QStringLiteral("--json")});
    report("bmsctl history SERIAL (whole process)", figures(timeline));
    report("bmsctl history SERIAL --json (whole process)", figures(timeline_json));
    report("bmsctl history BMS_SERIAL (whole process)", figures(by_bms));
    report(qPrintable(QStringLiteral("bmsctl history --json, all %1 packs").arg(packs)),
           figures(list));
    QVector<double> baseline;
    for (int i = 0; i < runs; ++i)
        baseline << run_bmsctl({QStringLiteral("--version")});
    report("bmsctl --version (the process alone)", figures(baseline));

    // The query alone, in this process.
    QString error;
    const auto location = parse_history_url(url, &error);
    HistoryStore store(*location);
    store.open(HistoryStore::Mode::Read, 2000);
    QVector<double> query;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer q;
        q.start();
        const auto pack = store.findPack(pack_identity((i * 104729) % packs).serial_number);
        const auto entries = store.timeline(*pack, QDateTime());
        if (!entries || entries->isEmpty())
            return 1;
        query << q.nsecsElapsed() / 1e6;
    }
    report("find + timeline query, in process", figures(query));
    return 0;
}
