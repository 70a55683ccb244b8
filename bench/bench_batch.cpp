// bmsctl on several boards at once, each on its own simulator and pseudo-terminal:
// - flash: the wall time of one command flashing N boards against flashing one;
// - monitor --interval 100 on M ports: bmsctl's processor time (user + system,
//   from the kernel's accounting of the finished process) as a share of one core.
//
//   bench_batch [--boards N] [--lines L] [--ports M] [--seconds S]
//               [--sim PATH] [--bmsctl PATH]

#include "hex_text.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace
{

struct Options {
    int boards = 8;
    int lines = 100;
    int ports = 16;
    int seconds = 30;
    QString sim = QStringLiteral(BMS_SIM_PATH);
    QString bmsctl = QStringLiteral(BMSCTL_PATH);
};

bool parse(const QStringList &args, Options &o)
{
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString &a = args.at(i);
        const QString &v = args.at(i + 1);
        if (a == QLatin1String("--boards"))
            o.boards = v.toInt();
        else if (a == QLatin1String("--lines"))
            o.lines = v.toInt();
        else if (a == QLatin1String("--ports"))
            o.ports = v.toInt();
        else if (a == QLatin1String("--seconds"))
            o.seconds = v.toInt();
        else if (a == QLatin1String("--sim"))
            o.sim = v;
        else if (a == QLatin1String("--bmsctl"))
            o.bmsctl = v;
        else
            return false;
    }
    return args.size() % 2 == 1 && o.boards > 0 && o.lines > 0 && o.ports > 0 && o.seconds > 0;
}

struct Sim {
    QProcess process;
    QString path;
    Sim(const QString &program, int seed)
    {
        process.start(program, {QStringLiteral("--seed"), QString::number(seed)});
        process.waitForReadyRead(10000);
        path = QString::fromLocal8Bit(process.readLine()).trimmed();
    }
    ~Sim() { process.terminate(), process.waitForFinished(5000); }
};

std::vector<std::unique_ptr<Sim>> start_sims(const Options &o, int count)
{
    std::vector<std::unique_ptr<Sim>> sims;
    for (int i = 0; i < count; ++i)
        sims.push_back(std::make_unique<Sim>(o.sim, i + 1));
    return sims;
}

QString port_list(const std::vector<std::unique_ptr<Sim>> &sims, int count)
{
    QStringList paths;
    for (int i = 0; i < count; ++i)
        paths << sims[static_cast<size_t>(i)]->path;
    return paths.join(QLatin1Char(','));
}

double cpu_seconds_of_children()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Wall time and processor time of one bmsctl run; wall -1 when it failed.
struct Run {
    double wall_ms = -1, cpu_s = 0;
};

Run run_bmsctl(const Options &o, const QStringList &args)
{
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    const double cpu_before = cpu_seconds_of_children();
    QElapsedTimer clock;
    clock.start();
    p.start(o.bmsctl, args);
    p.waitForFinished(-1);
    Run r;
    r.cpu_s = cpu_seconds_of_children() - cpu_before;
    if (p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        r.wall_ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    return r;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Options o;
    if (!parse(app.arguments(), o)) {
        std::fprintf(stderr, "usage: bench_batch [--boards N] [--lines L] [--ports M] "
                             "[--seconds S] [--sim PATH] [--bmsctl PATH]\n");
        return 2;
    }
    QTemporaryDir dir;
    const QString hex = dir.filePath(QStringLiteral("firmware.hex"));
    {
        QFile f(hex);
        const QByteArray text = generated_hex_file(o.lines, 16, 7);
        if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
            return 1;
    }

    {
        const auto sims = start_sims(o, o.boards);
        const QStringList flash{QStringLiteral("flash"), hex, QStringLiteral("--yes"),
                                QStringLiteral("--no-backup")};
        const Run one =
            run_bmsctl(o, QStringList{QStringLiteral("--port"), port_list(sims, 1)} + flash);
        const Run all =
            run_bmsctl(o, QStringList{QStringLiteral("--port"), port_list(sims, o.boards)} + flash);
        if (one.wall_ms < 0 || all.wall_ms < 0) {
            std::fprintf(stderr, "bench_batch: a flash failed\n");
            return 1;
        }
        std::printf("flash, %d lines: 1 board %.0f ms, %d boards at once %.0f ms: ratio %.3f\n",
                    o.lines, one.wall_ms, o.boards, all.wall_ms, all.wall_ms / one.wall_ms);
    }

    const auto sims = start_sims(o, o.ports);
    for (int count : {1, o.ports}) {
        const Run r = run_bmsctl(
            o, {QStringLiteral("--port"), port_list(sims, count), QStringLiteral("monitor"),
                QStringLiteral("--interval"), QStringLiteral("100"), QStringLiteral("--duration"),
                QString::number(o.seconds), QStringLiteral("--csv"), QStringLiteral("-")});
        if (r.wall_ms < 0) {
            std::fprintf(stderr, "bench_batch: monitor failed\n");
            return 1;
        }
        std::printf("monitor --interval 100, %d port%s for %d s: %.2f s of processor time, "
                    "%.2f %% of one core\n",
                    count, count == 1 ? "" : "s", o.seconds, r.cpu_s,
                    100 * r.cpu_s / (r.wall_ms / 1000));
    }
    return 0;
}
