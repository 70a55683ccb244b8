// bms_soak: the real dialog against the simulated BMS on a faulty line for a long
// time, with a Set click every 7 s and one firmware upgrade halfway through.
// scripts/soak builds and runs it.
//
//   bms_soak [--minutes N] [--no-upgrade] [--sim-args "ARGS"]
//
// bms_sim prints its reply statistics (sent clean, dropped, corrupted, ...) each
// minute and as it ends; this driver prints what the tool accepted beside them.
// Exit status 0 only if nothing crashed, memory stayed flat after the first minute
// (the upgrade's log lines aside, which the log pane keeps by design), the upgrade
// succeeded with the simulator's flash equal to the file, and replies were accepted.

#include "hex_text.h"
#include "mydialogwindow.h"
#include "window_access.h"

#include "upgrade/firmware_image.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLoggingCategory>
#include <QPlainTextEdit>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>

namespace
{

long long accepted = 0;
long long warnings = 0;

void count_messages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg || type == QtInfoMsg) {
        if (text == QLatin1String("Correct reply received, copied to the bms registers array"))
            ++accepted;
        return;
    }
    if (++warnings <= 20)
        std::fprintf(stderr, "[tool] %s\n", qPrintable(text));
    if (type == QtFatalMsg)
        std::abort();
}

long status_kb(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    f.open(QIODevice::ReadOnly);
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(QByteArray(field) + ':'))
            return line.mid(qstrlen(field) + 1).trimmed().split(' ').value(0).toLong();
    return -1;
}

double cpu_seconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Each setting: line edit, button, display field, two values taken in turn.
const char *const settings[][5] = {
    {"lineEdit_set_overvoltage_voltage", "pushButton_set_overvoltage_voltage",
     "lineEdit_overvoltage", "4150", "4200"},
    {"lineEdit_set_capacity", "pushButton_set_capacity", "lineEdit_battery_capacity", "12400",
     "7800"},
    {"lineEdit_set_adc_offset", "pushButton_set_adc_offset", "lineEdit_adc_offset", "-5", "-12"},
    {"lineEdit_set_serial_number", "pushButton_set_serial_number", "lineEdit_serial_number",
     "SOAK-0000001", "SIM10S-0000042"},
};

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int minutes = 10;
    bool upgrade = true;
    QStringList sim_args = {"--seed", "6",       "--drop", "0.03",    "--corrupt",
                            "0.03",   "--split", "0.03",   "--delay", "110"};
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--minutes" && i + 1 < args.size())
            minutes = args[++i].toInt();
        else if (args[i] == "--no-upgrade")
            upgrade = false;
        else if (args[i] == "--sim-args" && i + 1 < args.size())
            sim_args = args[++i].split(' ', Qt::SkipEmptyParts);
        else {
            std::fprintf(stderr, "usage: bms_soak [--minutes N] [--no-upgrade] "
                                 "[--sim-args \"ARGS\"]\n");
            return 2;
        }
    }
    qInstallMessageHandler(count_messages);
    // The accepted replies are counted from their debug lines; the port that
    // answered is remembered in a settings file of its own, not the user's.
    QLoggingCategory::setFilterRules(QStringLiteral("bms.link.reply.debug=true"));
    QStandardPaths::setTestModeEnabled(true);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each report line as it happens, through tee

    // A whole image: 896 records of 16 bytes. The simulator writes its flash to
    // flash.bin after the CRC check, to be compared with the file's data.
    QTemporaryDir dir;
    const QString hex_path = dir.filePath(QStringLiteral("soak.hex"));
    const QByteArray hex_file = generated_hex_file(FIRMWARE_IMAGE_SIZE / 16, 16, 0x12345678);
    QByteArray image;
    for (const QByteArray &line : hex_file.split('\n'))
        if (line.mid(7, 2) == "00")
            image += QByteArray::fromHex(line.mid(9, 2 * QByteArray::fromHex(line.mid(1, 2))[0]));
    QFile hex_out(hex_path);
    if (!hex_out.open(QIODevice::WriteOnly) || hex_out.write(hex_file) != hex_file.size())
        return 1;
    hex_out.close();
    const QString flash_path = dir.filePath(QStringLiteral("flash.bin"));
    sim_args << "--flash-dump" << flash_path;

    QProcess sim;
    const QString pty = start_sim(sim, sim_args);
    if (pty.isEmpty())
        return 1;
    std::printf("[soak] %d minutes, bms_sim %s on %s\n", minutes, qPrintable(sim_args.join(' ')),
                qPrintable(pty));

    MyDialogWindow dialog;
    dialog.show();
    connect_window(&dialog, pty);
    auto *log = widget<QPlainTextEdit>(&dialog, "plainTextEdit");

    int writes = 0, writes_seen = 0;
    QString pending_field, pending_value;
    enum { Off, Running, Succeeded, Failed } outcome = Off;
    const char *outcome_names[] = {"not run", "running", "succeeded", "failed"};
    long rss_base = -1, growth = 0;
    qint64 upgrade_start_ms = 0;
    int minute = 0, not_connected_s = 0;
    double cpu_minute = cpu_seconds();
    const double cpu_start = cpu_minute;
    QElapsedTimer clock;
    clock.start();

    // One Set click every 7 s, looked for in the display at the next click.
    QTimer settings_timer;
    QObject::connect(&settings_timer, &QTimer::timeout, [&] {
        if (!pending_field.isEmpty() &&
            text_of(&dialog, qPrintable(pending_field)).trimmed() == pending_value)
            ++writes_seen;
        pending_field.clear();
        if (outcome == Running)
            return; // a write restarts polling, which would crowd the upgrade's status polls
        const auto &s = settings[writes % 4];
        pending_value = QString::fromLatin1(s[3 + (writes / 4) % 2]);
        pending_field = QString::fromLatin1(s[2]);
        set_text(&dialog, s[0], pending_value);
        click(&dialog, s[1]);
        ++writes;
    });
    settings_timer.start(7000);

    QTimer second_timer;
    QObject::connect(&second_timer, &QTimer::timeout, [&] {
        if (widget<QLabel>(&dialog, "label_connection_state")->text() != "BMS IS CONNECTED")
            ++not_connected_s;
        const QString text = log->toPlainText();
        if (outcome == Running && (text.contains("New firmware has been successfully flashed.") ||
                                   text.contains("Firmware update failed"))) {
            outcome = text.contains("Firmware update failed") ? Failed : Succeeded;
            std::printf("[soak] upgrade %s after %lld s, %d retransmissions\n",
                        outcome_names[outcome], (clock.elapsed() - upgrade_start_ms) / 1000,
                        static_cast<int>(text.count(QRegularExpression("Attempt ([2-9]|10) of"))));
            rss_base = -1; // its log lines stay: memory is compared afresh from here
        }
    });
    second_timer.start(1000);

    QTimer minute_timer;
    QObject::connect(&minute_timer, &QTimer::timeout, [&] {
        const long rss = status_kb("VmRSS");
        if (rss_base < 0)
            rss_base = rss;
        if (outcome != Running)
            growth = std::max(growth, rss - rss_base);
        const double cpu = cpu_seconds();
        std::printf("[soak] minute %d: VmRSS %ld kB, accepted %lld, CPU %.1f %%, writes %d seen "
                    "%d, not connected %d s\n",
                    ++minute, rss, accepted, 100.0 * (cpu - cpu_minute) / 60.0, writes, writes_seen,
                    not_connected_s);
        cpu_minute = cpu;
        ::kill(static_cast<pid_t>(sim.processId()), SIGUSR2); // its statistics
    });
    minute_timer.start(60000);

    if (upgrade)
        QTimer::singleShot(minutes * 30000, [&] {
            std::printf("[soak] upgrade starts\n");
            set_text(&dialog, "lineEdit_set_firmware_path", hex_path);
            outcome = Running;
            upgrade_start_ms = clock.elapsed();
            click(&dialog, "pushButton_fw_upgrade");
        });
    QTimer::singleShot(minutes * 60000 + 500, &app, &QApplication::quit);
    app.exec();

    const double wall = static_cast<double>(clock.elapsed()) / 1000.0;
    const double cpu = cpu_seconds() - cpu_start;
    click(&dialog, "button_disconnect");
    sim.terminate(); // prints its last statistics line
    const bool sim_ok = sim.waitForFinished(5000) && sim.exitStatus() == QProcess::NormalExit;
    QFile flash(flash_path);
    const bool flashed = flash.open(QIODevice::ReadOnly) && flash.readAll() == image;

    std::printf("[soak] summary after %.0f s: replies accepted %lld; settings written %d, seen "
                "%d; not connected %d s; warnings %lld\n",
                wall, accepted, writes, writes_seen, not_connected_s, warnings);
    std::printf("[soak] peak VmHWM %ld kB, growth after minute 1 %ld kB; CPU %.1f s: %.1f %% of "
                "one core\n",
                status_kb("VmHWM"), growth, cpu, 100.0 * cpu / wall);
    if (upgrade)
        std::printf("[soak] upgrade %s; the simulator's flash %s the file\n",
                    outcome_names[outcome], flashed ? "equals" : "DIFFERS FROM");
    const bool ok =
        sim_ok && accepted > 0 && growth <= 1024 && (!upgrade || (outcome == Succeeded && flashed));
    std::printf("[soak] %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
