// bms_soak: the real dialog against the simulated BMS on a faulty line for a long
// time. It clicks Set buttons now and then, runs one firmware upgrade halfway
// through, and reports replies accepted against replies the simulator sent clean,
// memory every minute, peak memory and CPU. scripts/soak builds and runs it.
//
//   bms_soak [--minutes N] [--no-upgrade] [--sim-args "ARGS"]
//
// Exit status 0 only if nothing crashed, memory stayed flat after the first minute
// (apart from the upgrade log, which the log pane keeps by design), the upgrade
// succeeded and the link carried replies throughout.

#include "dialog_access.h"

#include "app/program_state.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>

namespace
{

long long accepted_replies = 0;
long long debug_lines = 0;
long long warnings = 0;
QMap<QString, int> warning_texts;

void count_messages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg || type == QtInfoMsg) {
        ++debug_lines;
        if (text == QLatin1String("Correct reply received, copied to the bms registers array"))
            ++accepted_replies;
        return;
    }
    ++warnings;
    // The same warning a thousand times says no more than once.
    if (++warning_texts[text] <= 3)
        std::fprintf(stderr, "[tool] %s\n", qPrintable(text));
    if (type == QtFatalMsg)
        std::abort();
}

long status_kb(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
    return -1;
}

double cpu_seconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

QString hex_record(int type, quint16 address, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(static_cast<char>(data.size()));
    bytes.append(static_cast<char>(address >> 8));
    bytes.append(static_cast<char>(address & 0xFF));
    bytes.append(static_cast<char>(type));
    bytes.append(data);
    quint8 sum = 0;
    for (char c : bytes)
        sum = static_cast<quint8>(sum + static_cast<quint8>(c));
    bytes.append(static_cast<char>(static_cast<quint8>(0x100 - sum)));
    return ':' + QString::fromLatin1(bytes.toHex().toUpper());
}

// A whole application image: 896 records of 16 bytes, as a linker would write it.
// Leaves the image in `image`.
bool write_hex_file(const QString &path, QByteArray &image)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    QTextStream out(&f);
    out << hex_record(4, 0, QByteArray::fromHex("0000")) << '\n';
    quint32 x = 0x12345678;
    for (int address = 0; address < FIRMWARE_IMAGE_SIZE; address += 16) {
        QByteArray data;
        for (int i = 0; i < 16; ++i) {
            x = x * 1664525u + 1013904223u;
            data.append(static_cast<char>(x >> 24));
        }
        out << hex_record(0, static_cast<quint16>(address), data) << '\n';
        image.append(data);
    }
    out << hex_record(1, 0, {}) << '\n';
    return true;
}

struct Setting {
    const char *input;
    const char *button;
    const char *shown;
    QStringList values;
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
            std::fprintf(stderr, "usage: bms_soak [--minutes N] [--no-upgrade] [--sim-args "
                                 "\"ARGS\"]\n");
            return 2;
        }
    }
    qInstallMessageHandler(count_messages);

    QTemporaryDir dir;
    const QString hex_path = dir.filePath(QStringLiteral("soak.hex"));
    QByteArray image;
    if (!write_hex_file(hex_path, image))
        return 1;
    // The simulator writes its flash here after the CRC check, to be compared with
    // the file's image.
    const QString flash_path = dir.filePath(QStringLiteral("flash.bin"));
    sim_args << "--flash-dump" << flash_path;

    QProcess sim;
    sim.start(QStringLiteral(BMS_SIM_PATH), sim_args);
    if (!sim.waitForStarted(5000))
        return 1;
    QElapsedTimer wait;
    wait.start();
    while (!sim.canReadLine() && wait.elapsed() < 10000)
        sim.waitForReadyRead(200);
    const QString pty = QString::fromLocal8Bit(sim.readLine()).trimmed();
    std::printf("[soak] %d minutes, bms_sim %s on %s\n", minutes, qPrintable(sim_args.join(' ')),
                qPrintable(pty));

    MyDialogWindow dialog;
    dialog.show();
    auto *box = widget<QComboBox>(&dialog, "ports_combo_box");
    box->addItem(pty);
    box->setCurrentIndex(box->count() - 1);
    widget<QPushButton>(&dialog, "button_connect")->click();

    auto *label = widget<QLabel>(&dialog, "label_connection_state");
    auto *log = widget<QPlainTextEdit>(&dialog, "plainTextEdit");

    const QList<Setting> settings = {
        {"lineEdit_set_overvoltage_voltage",
         "pushButton_set_overvoltage_voltage",
         "lineEdit_overvoltage",
         {"4150", "4200"}},
        {"lineEdit_set_capacity",
         "pushButton_set_capacity",
         "lineEdit_battery_capacity",
         {"12400", "7800"}},
        {"lineEdit_set_adc_offset",
         "pushButton_set_adc_offset",
         "lineEdit_adc_offset",
         {"-5", "-12"}},
        {"lineEdit_set_serial_number",
         "pushButton_set_serial_number",
         "lineEdit_serial_number",
         {"SOAK-0000001", "SIM10S-0000042"}},
    };
    int writes = 0;
    int writes_seen = 0;
    int writes_not_seen = 0;
    QString pending_field;
    QString pending_value;

    enum { NotStarted, Running, Succeeded, Failed, Unavailable } upgrade_outcome = NotStarted;
    QElapsedTimer upgrade_clock;
    double upgrade_seconds = 0;
    int upgrade_retries = 0;

    QVector<long> rss_per_minute;
    int rss_before_upgrade = -1; // indices into rss_per_minute
    int rss_after_upgrade = -1;
    int disconnected_seconds = 0;
    long long accepted_last_minute = 0;
    double cpu_last_minute = cpu_seconds();
    const double cpu_start = cpu_last_minute;
    QElapsedTimer clock;
    clock.start();

    // Settings: one Set click every 7 s, checked in the display 6 s later.
    QTimer settings_timer;
    QObject::connect(&settings_timer, &QTimer::timeout, [&] {
        if (!pending_field.isEmpty()) {
            const QString shown = widget<QLineEdit>(&dialog, qPrintable(pending_field))->text();
            if (shown.trimmed() == pending_value)
                ++writes_seen;
            else
                ++writes_not_seen;
            pending_field.clear();
        }
        if (upgrade_outcome == Running)
            return; // a write restarts polling, which would crowd the upgrade's status polls
        const Setting &s = settings[writes % settings.size()];
        const QString value = s.values[(writes / settings.size()) % s.values.size()];
        widget<QLineEdit>(&dialog, s.input)->setText(value);
        widget<QPushButton>(&dialog, s.button)->click();
        pending_field = QString::fromLatin1(s.shown);
        pending_value = value;
        ++writes;
    });
    settings_timer.start(7000);

    QTimer second_timer;
    QObject::connect(&second_timer, &QTimer::timeout, [&] {
        if (label->text() != QLatin1String("BMS IS CONNECTED"))
            ++disconnected_seconds;
        if (upgrade_outcome == Running) {
            const QString text = log->toPlainText();
            if (text.contains(QLatin1String("New firmware has been successfully flashed.")))
                upgrade_outcome = Succeeded;
            else if (text.contains(QLatin1String("Firmware update failed")))
                upgrade_outcome = Failed;
            else if (upgrade_clock.elapsed() > 5000 &&
                     !text.contains(QLatin1String("Firmware has been loaded")))
                upgrade_outcome = Unavailable;
            if (upgrade_outcome != Running) {
                upgrade_seconds = static_cast<double>(upgrade_clock.elapsed()) / 1000.0;
                rss_after_upgrade = rss_per_minute.size(); // the next sample
                static const QRegularExpression retry(QStringLiteral("Attempt ([2-9]|10) of"));
                upgrade_retries = static_cast<int>(text.count(retry));
                const char *names[] = {"", "", "succeeded", "failed", "not available"};
                std::printf("[soak] upgrade %s after %.0f s, %d retransmissions\n",
                            names[upgrade_outcome], upgrade_seconds, upgrade_retries);
                std::fflush(stdout);
            }
        }
    });
    second_timer.start(1000);

    QTimer minute_timer;
    QObject::connect(&minute_timer, &QTimer::timeout, [&] {
        const long rss = status_kb("VmRSS");
        rss_per_minute << rss;
        const double cpu = cpu_seconds();
        std::printf("[soak] minute %d: VmRSS %ld kB, accepted %lld (+%lld), CPU %.1f %%, "
                    "writes %d seen %d, not connected %d s\n",
                    rss_per_minute.size(), rss, accepted_replies,
                    accepted_replies - accepted_last_minute, 100.0 * (cpu - cpu_last_minute) / 60.0,
                    writes, writes_seen, disconnected_seconds);
        std::fflush(stdout);
        accepted_last_minute = accepted_replies;
        cpu_last_minute = cpu;
        ::kill(static_cast<pid_t>(sim.processId()), SIGUSR2);
    });
    minute_timer.start(60000);

    QTimer::singleShot(minutes * 60000 / 2, [&] {
        if (!upgrade)
            return;
        rss_before_upgrade = rss_per_minute.size() - 1;
        std::printf("[soak] upgrade starts\n");
        std::fflush(stdout);
        widget<QLineEdit>(&dialog, "lineEdit_set_firmware_path")->setText(hex_path);
        upgrade_clock.start();
        upgrade_outcome = Running;
        widget<QPushButton>(&dialog, "pushButton_fw_upgrade")->click();
    });

    QTimer::singleShot(minutes * 60000 + 500, [&] { app.quit(); });
    // bms_sim's stderr (its statistics) flows into ours and is kept for the summary.
    QString sim_err;
    QObject::connect(&sim, &QProcess::readyReadStandardError, [&] {
        const QByteArray bytes = sim.readAllStandardError();
        std::fprintf(stderr, "%s", bytes.constData());
        sim_err += QString::fromLocal8Bit(bytes);
    });
    app.exec();

    const double wall = static_cast<double>(clock.elapsed()) / 1000.0;
    const double cpu = cpu_seconds() - cpu_start;
    widget<QPushButton>(&dialog, "button_disconnect")->click();
    sim.terminate();
    const bool sim_ended = sim.waitForFinished(5000);
    sim_err += QString::fromLocal8Bit(sim.readAllStandardError());

    long long clean = -1; // from the last statistics line, printed as the simulator ended
    QRegularExpressionMatchIterator it =
        QRegularExpression(QStringLiteral("clean (\\d+)")).globalMatch(sim_err);
    while (it.hasNext())
        clean = it.next().captured(1).toLongLong();

    // Memory: flat after the first minute. The upgrade's log lines stay in the log
    // pane by design, so the minutes before it and the minutes after it are each
    // compared with their own first sample.
    long growth = 0;
    auto grow = [&](int from, int to) {
        for (int i = from + 1; from >= 0 && i <= to && i < rss_per_minute.size(); ++i)
            growth = std::max(growth, rss_per_minute[i] - rss_per_minute[from]);
    };
    if (rss_before_upgrade < 0) {
        grow(0, rss_per_minute.size() - 1);
    } else {
        grow(0, rss_before_upgrade);
        grow(rss_after_upgrade, rss_per_minute.size() - 1);
    }

    std::printf("[soak] summary after %.0f s:\n", wall);
    std::printf("[soak]   replies accepted by the tool: %lld; sent clean by bms_sim: %lld\n",
                accepted_replies, clean);
    std::printf("[soak]   settings written %d, seen in the display %d, not seen %d\n", writes,
                writes_seen, writes_not_seen);
    std::printf("[soak]   seconds not connected: %d\n", disconnected_seconds);
    std::printf("[soak]   peak memory VmHWM %ld kB; growth after minute 1 (upgrade log aside) "
                "%ld kB\n",
                status_kb("VmHWM"), growth);
    std::printf("[soak]   CPU %.1f s over %.0f s: %.1f %% of one core\n", cpu, wall,
                100.0 * cpu / wall);
    std::printf("[soak]   warnings %lld, debug lines %lld\n", warnings, debug_lines);
    QFile flash(flash_path);
    const bool flashed = flash.open(QIODevice::ReadOnly) && flash.readAll() == image;
    if (upgrade)
        std::printf("[soak]   upgrade %s in %.0f s with %d retransmissions; the simulator's "
                    "flash %s the file\n",
                    upgrade_outcome == Succeeded ? "succeeded" : "did not succeed", upgrade_seconds,
                    upgrade_retries, flashed ? "equals" : "DIFFERS FROM");

    bool ok = sim_ended && sim.exitStatus() == QProcess::NormalExit && accepted_replies > 0;
    ok = ok && growth <= 1024;
    if (upgrade)
        ok = ok && upgrade_outcome == Succeeded && flashed;
    std::printf("[soak] %s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
