// Flashes a generated HEX file onto the simulated BMS through the real window and
// compares the wall time with what the protocol itself costs: every data line
// waits its 50 ms delay plus one status poll and its reply, the erase and the CRC
// check 500 ms plus one poll each.
//
//   bench_upgrade [--lines N] [--bytes B] [--polls K] [--sim PATH] [-- SIM_ARGS...]
//   bench_upgrade [--lines N] [--bytes B] --write-hex PATH   (only writes the file)

#include "hex_text.h"
#include "link/frame.h"
#include "mydialogwindow.h"
#include "upgrade/hex_file.h"
#include "upgrade/upgrade_commands.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSerialPort>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace
{

struct Options {
    int lines = 500;
    int bytes = 16;
    int polls = 200;
    QString sim = QStringLiteral(BMS_SIM_PATH);
    QStringList sim_args;
    QString write_hex;
    QString bmsctl; // flash with this bmsctl instead of the window
};

bool parse(const QStringList &args, Options &o)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString &a = args.at(i);
        const bool has_value = i + 1 < args.size();
        if (a == QLatin1String("--lines") && has_value)
            o.lines = args.at(++i).toInt();
        else if (a == QLatin1String("--bytes") && has_value)
            o.bytes = args.at(++i).toInt();
        else if (a == QLatin1String("--polls") && has_value)
            o.polls = args.at(++i).toInt();
        else if (a == QLatin1String("--sim") && has_value)
            o.sim = args.at(++i);
        else if (a == QLatin1String("--write-hex") && has_value)
            o.write_hex = args.at(++i);
        else if (a == QLatin1String("--bmsctl") && has_value)
            o.bmsctl = args.at(++i);
        else if (a == QLatin1String("--")) {
            o.sim_args = args.mid(i + 1);
            return true;
        } else
            return false;
    }
    return o.lines > 0 && o.bytes > 0 && o.bytes <= MAX_LINE_DATA_BYTES;
}

struct Stats {
    double median = 0, mean = 0, p95 = 0, max = 0;
    int lost = 0;
};

// Status poll round trip as the tool sees it: from the write to the whole reply.
Stats measure_poll_round_trip(const QString &port_name, int count)
{
    QSerialPort port;
    port.setPortName(port_name);
    port.setBaudRate(115200);
    Stats s;
    if (!port.open(QIODevice::ReadWrite))
        return s;
    const QByteArray poll = build_read_request(REG_LAST_PROCESSED_COMMAND, UPGRADE_STATUS_BYTES);
    std::vector<double> ms;
    QElapsedTimer clock;
    for (int i = 0; i < count; ++i) {
        port.readAll();
        clock.start();
        port.write(poll);
        port.waitForBytesWritten(1000);
        QByteArray reply;
        while (reply.size() < 12 && clock.elapsed() < 500)
            if (port.waitForReadyRead(500 - static_cast<int>(clock.elapsed())))
                reply += port.readAll();
        if (reply.size() < 12) {
            ++s.lost;
            continue;
        }
        ms.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
    }
    if (ms.empty())
        return s;
    std::sort(ms.begin(), ms.end());
    s.median = ms[ms.size() / 2];
    s.p95 = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
    s.max = ms.back();
    for (double v : ms)
        s.mean += v;
    s.mean /= static_cast<double>(ms.size());
    return s;
}

struct Run {
    bool ok = false;
    int retries = 0;
    qint64 erased_at = -1, sent_at = -1, end_at = -1; // ns from the click
};

// The window, as a technician flashes: connected, the path pasted, Flash! clicked.
Run flash_with_window(QApplication &app, const QString &pty, const QString &hex, int lines)
{
    // Quieten the per-line debug output: it is diagnostic and costs terminal time.
    qSetMessagePattern(QString());
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &msg) {
        if (type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    Run run;
    MyDialogWindow dialog;
    auto *log = dialog.findChild<QPlainTextEdit *>(QStringLiteral("plainTextEdit"));
    dialog.findChild<QComboBox *>(QStringLiteral("ports_combo_box"))->setEditText(pty);
    dialog.findChild<QPushButton *>(QStringLiteral("button_connect"))->click();
    dialog.findChild<QLineEdit *>(QStringLiteral("lineEdit_set_firmware_path"))->setText(hex);

    QElapsedTimer clock;
    QObject::connect(log, &QPlainTextEdit::textChanged, [&] {
        const QString last = log->document()->lastBlock().text();
        if (last == QLatin1String("Flash has been successfully erased"))
            run.erased_at = clock.nsecsElapsed();
        else if (last == QLatin1String("New firmware has been successfully sent."))
            run.sent_at = clock.nsecsElapsed();
        else if (last == QLatin1String("New firmware has been successfully flashed.") ||
                 last == QLatin1String("Firmware update failed")) {
            run.end_at = clock.nsecsElapsed();
            run.ok = last != QLatin1String("Firmware update failed");
            QTimer::singleShot(0, &app, &QCoreApplication::quit);
        }
    });
    // Let the polling settle as it would after a technician connects.
    QTimer::singleShot(300, [&] {
        clock.start();
        dialog.findChild<QPushButton *>(QStringLiteral("pushButton_fw_upgrade"))->click();
    });
    QTimer::singleShot((lines + 40) * 2000, &app, &QCoreApplication::quit);
    app.exec();
    for (const QString &line : log->toPlainText().split(QLatin1Char('\n')))
        run.retries += line.contains(QLatin1String("Attempt")) &&
                       !line.endsWith(QLatin1String("Attempt 1 of 10"));
    return run;
}

// The command line as a shop runs it: start-up, snapshot, upgrade, and the BMS
// read again after the CRC check, all in the wall time.
Run flash_with_bmsctl(const QString &bmsctl, const QString &pty, const QString &hex, int lines)
{
    Run run;
    QProcess flash;
    QElapsedTimer clock;
    clock.start();
    flash.start(bmsctl, {QStringLiteral("--port"), pty, QStringLiteral("flash"), hex,
                         QStringLiteral("--yes"), QStringLiteral("--no-backup")});
    flash.waitForFinished((lines + 40) * 2000);
    run.end_at = clock.nsecsElapsed();
    run.ok = flash.exitStatus() == QProcess::NormalExit && flash.exitCode() == 0;
    const QString err = QString::fromLocal8Bit(flash.readAllStandardError());
    run.retries = err.section(QStringLiteral(" retransmitted"), -2, -2).section(' ', -1).toInt();
    return run;
}

} // namespace

int main(int argc, char **argv)
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    Options opt;
    if (!parse(args, opt)) {
        std::fprintf(stderr,
                     "usage: bench_upgrade [--lines N] [--bytes B (1..%d)] [--polls K] "
                     "[--sim PATH] [--bmsctl PATH] [-- SIM_ARGS...]\n"
                     "       bench_upgrade [--lines N] [--bytes B] --write-hex PATH\n",
                     MAX_LINE_DATA_BYTES);
        return 2;
    }
    if (!opt.write_hex.isEmpty()) {
        QFile f(opt.write_hex);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 1;
        f.write(generated_hex_file(opt.lines, opt.bytes, 2024));
        return 0;
    }

    QApplication app(argc, argv);
    QStandardPaths::setTestModeEnabled(true); // the port that answered: not the user's settings
    QTemporaryDir dir;
    const QString dump = dir.filePath(QStringLiteral("flash.bin"));

    QProcess sim;
    sim.setProgram(opt.sim);
    sim.setArguments(QStringList{QStringLiteral("--flash-dump"), dump} + opt.sim_args);
    sim.start();
    if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000)) {
        std::fprintf(stderr, "bench_upgrade: cannot start %s\n", qPrintable(opt.sim));
        return 1;
    }
    const QString pty = QString::fromLocal8Bit(sim.readLine()).trimmed();

    const Stats rtt = measure_poll_round_trip(pty, opt.polls);

    const QString hex = dir.filePath(QStringLiteral("bench.hex"));
    {
        QFile f(hex);
        f.open(QIODevice::WriteOnly);
        f.write(generated_hex_file(opt.lines, opt.bytes, 2024));
    }

    const Run run = opt.bmsctl.isEmpty() ? flash_with_window(app, pty, hex, opt.lines)
                                         : flash_with_bmsctl(opt.bmsctl, pty, hex, opt.lines);

    sim.terminate();
    sim.waitForFinished(3000);
    QFile flash(dump);
    flash.open(QIODevice::ReadOnly);
    const QByteArray flashed = flash.readAll();
    FirmwareLoader loader;
    for (const QByteArray &line : generated_hex_file(opt.lines, opt.bytes, 2024).split('\n'))
        loader.add_line(QString::fromLatin1(line));
    const bool same = flashed == QByteArray(reinterpret_cast<const char *>(loader.image().data()),
                                            FIRMWARE_IMAGE_SIZE);

    const double poll = rtt.median;
    const double line_floor = opt.lines * (WRITE_DELAY_MS + poll);
    const double total_floor = line_floor + ERASE_DELAY_MS + CRC_DELAY_MS + 2 * poll;
    const double lines_wall = (run.sent_at - run.erased_at) / 1e6;
    const double total_wall = run.end_at / 1e6;
    std::printf("status poll round trip over %d polls: median %.2f ms, mean %.2f, p95 %.2f, "
                "max %.2f, lost %d\n",
                opt.polls, rtt.median, rtt.mean, rtt.p95, rtt.max, rtt.lost);
    std::printf("upgrade of %d lines x %d bytes with %s: %s, %d retries, flash %s the image\n",
                opt.lines, opt.bytes, opt.bmsctl.isEmpty() ? "the window" : "bmsctl flash",
                run.ok ? "success" : "FAILED", run.retries, same ? "equals" : "DIFFERS FROM");
    if (run.sent_at > 0)
        std::printf("line transfer: %.0f ms wall, floor %d x (%d + %.2f) = %.0f ms, overhead "
                    "%.2f%%\n",
                    lines_wall, opt.lines, WRITE_DELAY_MS, poll, line_floor,
                    100.0 * (lines_wall / line_floor - 1));
    std::printf("whole upgrade: %.0f ms wall, floor %.0f ms, ratio %.4f\n", total_wall, total_floor,
                total_wall / total_floor);
    return run.ok && same ? 0 : 1;
}
