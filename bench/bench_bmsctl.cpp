// How close bmsctl comes to what the protocol itself costs, on the simulated BMS:
// - backup: wall time of the whole process against its floor of six request/reply
//   round trips, with the process start-up (bmsctl --version) shown apart;
// - monitor --interval 100: the spacing of the rows, from the CSV's own times.
//
//   bench_bmsctl [--runs N] [--rows N] [--sim PATH] [--bmsctl PATH] [-- SIM_ARGS...]

#include "bms_link.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace
{

struct Options {
    int runs = 20;
    int rows = 301;
    QString sim = QStringLiteral(BMS_SIM_PATH);
    QString bmsctl = QStringLiteral(BMSCTL_PATH);
    QStringList sim_args;
};

bool parse(const QStringList &args, Options &o)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        const bool has_value = i + 1 < args.size();
        if (a == QLatin1String("--runs") && has_value)
            o.runs = args.at(++i).toInt();
        else if (a == QLatin1String("--rows") && has_value)
            o.rows = args.at(++i).toInt();
        else if (a == QLatin1String("--sim") && has_value)
            o.sim = args.at(++i);
        else if (a == QLatin1String("--bmsctl") && has_value)
            o.bmsctl = args.at(++i);
        else if (a == QLatin1String("--")) {
            o.sim_args = args.mid(i + 1);
            return true;
        } else
            return false;
    }
    return o.runs > 0 && o.rows > 2;
}

struct Stats {
    double median = 0, p99 = 0, min = 0, max = 0;
};

Stats stats(std::vector<double> v)
{
    Stats s;
    if (v.empty())
        return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.p99 = v[std::min(v.size() - 1, static_cast<size_t>(0.99 * static_cast<double>(v.size())))];
    s.min = v.front();
    s.max = v.back();
    return s;
}

double ms_since(const QElapsedTimer &t)
{
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

// Wall time of one bmsctl run, in ms; negative when it did not end with exit 0.
double time_bmsctl(const QString &program, const QStringList &args)
{
    QProcess process;
    QEventLoop loop;
    QObject::connect(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer t;
    t.start();
    process.start(program, args);
    loop.exec();
    const double ms = ms_since(t);
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 ? ms : -1;
}

// Request/reply reads through the engine in this process, as bmsctl makes them.
std::vector<double> time_reads(const QString &port, const QVector<QPair<int, int>> &ranges, int n)
{
    BmsLink link;
    std::vector<double> times;
    if (!link.open(port))
        return times;
    QEventLoop loop;
    QObject::connect(&link, &BmsLink::readDone, &loop, &QEventLoop::quit);
    QObject::connect(&link, &BmsLink::readFailed, &loop, [&loop] { loop.exit(1); });
    for (int i = 0; i < n; ++i) {
        QElapsedTimer t;
        t.start();
        link.readRegisters(ranges);
        if (loop.exec() == 0)
            times.push_back(ms_since(t));
    }
    return times;
}

std::vector<double> row_intervals(const QString &csv_path)
{
    QFile file(csv_path);
    std::vector<double> intervals;
    if (!file.open(QIODevice::ReadOnly))
        return intervals;
    file.readLine(); // the header
    QDateTime previous;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine();
        const QDateTime time = QDateTime::fromString(
            QString::fromLatin1(line.left(line.indexOf(','))), Qt::ISODateWithMs);
        if (previous.isValid() && time.isValid())
            intervals.push_back(static_cast<double>(previous.msecsTo(time)));
        previous = time;
    }
    return intervals;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The engine logs every stored reply; thousands of them here.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    Options o;
    if (!parse(app.arguments(), o)) {
        std::fprintf(stderr, "usage: bench_bmsctl [--runs N] [--rows N] [--sim PATH] "
                             "[--bmsctl PATH] [-- SIM_ARGS...]\n");
        return 2;
    }

    QProcess sim;
    sim.start(o.sim, o.sim_args);
    QEventLoop wait_for_path;
    QObject::connect(&sim, &QProcess::readyReadStandardOutput, &wait_for_path, &QEventLoop::quit);
    QTimer::singleShot(10000, &wait_for_path, &QEventLoop::quit);
    wait_for_path.exec();
    const QString port = QString::fromLocal8Bit(sim.readLine()).trimmed();
    if (!port.startsWith(QLatin1String("/dev/"))) {
        std::fprintf(stderr, "bench_bmsctl: the simulator did not start\n");
        return 1;
    }

    const Stats round_trip = stats(time_reads(port, {{0, REGISTERS_PER_REQUEST}}, 200));
    const Stats snapshot = stats(time_reads(port, {{0, POLLED_REGISTER_COUNT}}, 50));
    std::vector<double> startup, backup;
    for (int i = 0; i < o.runs; ++i) {
        startup.push_back(time_bmsctl(o.bmsctl, {QStringLiteral("--version")}));
        backup.push_back(
            time_bmsctl(o.bmsctl, {QStringLiteral("--port"), port, QStringLiteral("backup")}));
    }
    if (*std::min_element(backup.begin(), backup.end()) < 0) {
        std::fprintf(stderr, "bench_bmsctl: a backup run failed\n");
        return 1;
    }
    const Stats start = stats(startup);
    const Stats whole = stats(backup);

    QTemporaryDir dir;
    const QString csv = dir.filePath(QStringLiteral("monitor.csv"));
    const double monitor_ms = time_bmsctl(
        o.bmsctl, {QStringLiteral("--port"), port, QStringLiteral("monitor"),
                   QStringLiteral("--interval"), QStringLiteral("100"), QStringLiteral("--count"),
                   QString::number(o.rows), QStringLiteral("--csv"), csv});
    const std::vector<double> gaps = row_intervals(csv);
    const Stats cadence = stats(gaps);
    sim.terminate();
    sim.waitForFinished(5000);

    const double floor = 6 * round_trip.median;
    std::printf("bmsctl on bms_sim, %d runs each (times in ms, median / p99 / max)\n\n", o.runs);
    std::printf("| measure | median | p99 | max |\n|---|---|---|---|\n");
    std::printf("| one round trip, 20 registers, in process | %.3f | %.3f | %.3f |\n",
                round_trip.median, round_trip.p99, round_trip.max);
    std::printf("| floor of a snapshot: 6 round trips | %.3f | | |\n", floor);
    std::printf("| snapshot (6 requests) in process | %.3f | %.3f | %.3f |\n", snapshot.median,
                snapshot.p99, snapshot.max);
    std::printf("| bmsctl --version (process start-up) | %.1f | %.1f | %.1f |\n", start.median,
                start.p99, start.max);
    std::printf("| bmsctl backup, wall | %.1f | %.1f | %.1f |\n", whole.median, whole.p99,
                whole.max);
    std::printf("| bmsctl backup less start-up | %.1f | | |\n", whole.median - start.median);
    std::printf("| monitor --interval 100: row spacing (%zu intervals) | %.0f | %.0f | %.0f |\n",
                gaps.size(), cadence.median, cadence.p99, cadence.max);
    std::printf("\nmonitor: %d rows in %.0f ms (%.1f ms per row)\n", o.rows, monitor_ms,
                monitor_ms / o.rows);
    return gaps.size() + 1 == static_cast<size_t>(o.rows) ? 0 : 1;
}
