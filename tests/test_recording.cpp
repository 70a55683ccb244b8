// What bmsctl and the window put into the service history without being asked,
// read back from the SQLite file: the binary against the simulator over a
// pseudo-terminal, and the window offscreen. A history that cannot be written
// changes nothing about the job.

#include "hex_text.h"
#include "history_store.h"
#include "mydialogwindow.h"
#include "upgrade/hex_file.h"
#include "upgrade/upgrade_commands.h"
#include "window_access.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonObject>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace
{

struct Result {
    int code = -1;
    QString out, err;
};

QProcessEnvironment environment(const QString &database)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("BMSCTL_TEST_DELAY_PERCENT"), QStringLiteral("10"));
    env.insert(QStringLiteral("BMSCTL_DATABASE"), database);
    return env;
}

void start(QProcess &p, const QString &database, const QString &port, const QStringList &args)
{
    p.setProcessEnvironment(environment(database));
    p.start(QStringLiteral(BMSCTL_PATH), QStringList{QStringLiteral("--port"), port} + args);
    p.closeWriteChannel();
}

Result bmsctl(const QString &database, const QString &port, const QStringList &args)
{
    QProcess p;
    start(p, database, port, args);
    p.waitForFinished(30000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

struct Sim {
    QProcess process;
    QString path;
    explicit Sim(const QStringList &args = {}) { path = start_sim(process, args); }
    ~Sim() { stop_sim(process); }
};

// The timeline of the simulator's pack, oldest first.
QVector<TimelineEntry> timeline(const QString &database)
{
    QString error;
    const auto location = parse_history_url(database, &error);
    HistoryStore store(*location);
    if (store.open(HistoryStore::Mode::Read, 5000) != HistoryStore::Opened::Ok)
        return {};
    const auto pack = store.findPack(QStringLiteral("SIM10S-0000042"));
    if (!pack || *pack < 0)
        return {};
    QVector<TimelineEntry> entries =
        store.timeline(*pack, QDateTime()).value_or(QVector<TimelineEntry>());
    std::reverse(entries.begin(), entries.end());
    return entries;
}

QStringList commands_of(const QVector<TimelineEntry> &entries)
{
    QStringList commands;
    for (const TimelineEntry &e : entries)
        commands << e.program + QLatin1Char(' ') + e.command;
    return commands;
}

QJsonObject only(const TimelineEntry &entry, const char *key)
{
    const QJsonArray list = entry.details.value(QLatin1String(key)).toArray();
    return list.size() == 1 ? list.first().toObject() : QJsonObject();
}

} // namespace

class TestRecording : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString database(const char *name) const
    {
        return QStringLiteral("sqlite:") + dir.filePath(QLatin1String(name));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QFile hex(dir.filePath(QStringLiteral("good.hex")));
        QVERIFY(hex.open(QIODevice::WriteOnly) && hex.write(generated_hex_file(20, 16, 5)) > 0);
    }

    // Every kind of command on one pack, then the pack's timeline: a visit each,
    // with the firmware and snapshot, and what each one did.
    void each_command_records()
    {
        const QString db = database("commands.sqlite");
        const Sim sim({QStringLiteral("--refuse-registers"), QStringLiteral("0x5A")});
        const QString backup = dir.filePath(QStringLiteral("backup.json"));
        const QStringList runs[] = {
            {"info"},
            {"monitor", "--interval", "100", "--count", "2"},
            {"set", "capacity=9000"},
            {"set", "overvoltage=4250"}, // refused by this BMS: written, not confirmed
            {"backup", "-o", backup},
            {"diff", backup},
            {"report", "--duration", "1", "--format", "json"},
            {"flash", dir.filePath(QStringLiteral("good.hex")), "--yes", "--backup-dir",
             dir.filePath(QStringLiteral("saved"))},
        };
        const int codes[] = {0, 0, 0, 1, 0, 0, 0, 0};
        for (int i = 0; i < 8; ++i) {
            const Result r = bmsctl(db, sim.path, runs[i]);
            QVERIFY2(r.code == codes[i], qPrintable(runs[i].join(' ') + ": " + r.err));
            QVERIFY2(!r.err.contains(QLatin1String("history")), qPrintable(r.err));
        }
        const QVector<TimelineEntry> t = timeline(db);
        QCOMPARE(commands_of(t),
                 QStringList({"bmsctl info", "bmsctl monitor", "bmsctl set", "bmsctl set",
                              "bmsctl backup", "bmsctl diff", "bmsctl report", "bmsctl flash"}));
        for (const TimelineEntry &e : t) {
            QCOMPARE(e.firmware, 18);
            QVERIFY(e.bms_serial.startsWith(QLatin1String("0A3F")));
            QVERIFY2(e.state.voltage_mv > 30000 && e.state.cells_mv[9] > 3000,
                     qPrintable(e.command));
            QCOMPARE(e.bench, QSysInfo::machineHostName());
        }
        QCOMPARE(t[0].done, QStringLiteral("read"));
        QCOMPARE(
            only(t[2], "settings_writes"),
            QJsonObject(
                {{"setting", "capacity"}, {"before", 7800}, {"after", 9000}, {"confirmed", true}}));
        QCOMPARE(only(t[3], "settings_writes"), QJsonObject({{"setting", "overvoltage"},
                                                             {"before", 4200},
                                                             {"after", 4250},
                                                             {"confirmed", false}}));
        QJsonObject saved = only(t[4], "backups");
        QCOMPARE(saved.value("path").toString(), backup);
        QCOMPARE(saved.value("settings")["capacity"].toInt(), 9000);
        const QJsonObject report = only(t[6], "reports");
        QVERIFY2(report.value("findings").isArray() &&
                     report.value("resistance_mohm").toArray().size() == 10,
                 qPrintable(QJsonDocument(report).toJson()));
        const QJsonObject flash = only(t[7], "flashes");
        QCOMPARE(flash.value("file_name").toString(), QStringLiteral("good.hex"));
        QCOMPARE(flash.value("size").toInt(), int(generated_hex_file(20, 16, 5).size()));
        QVERIFY(flash.value("succeeded").toBool() && flash.value("result") == "succeeded");
        QVERIFY(flash.value("firmware_before") == 18 && flash.value("firmware_after") == 18);
        QByteArray text = generated_hex_file(20, 16, 5);
        QBuffer buffer(&text);
        buffer.open(QIODevice::ReadOnly);
        FirmwareLoader firmware;
        load_firmware(buffer, firmware);
        const quint32 crc = crc32_words(0xFFFFFFFFu, firmware.image().data(), FIRMWARE_IMAGE_SIZE);
        QCOMPARE(
            flash.value("image_crc").toString(),
            QStringLiteral("0x%1").arg(crc, 8, 16, QLatin1Char('0')).toUpper().replace("0X", "0x"));
        saved = only(t[7], "backups"); // the flash's own backup, first
        QVERIFY2(saved.value("path").toString().startsWith(dir.filePath("saved/0A3F")),
                 qPrintable(saved.value("path").toString()));

        // Changed where this history did not see it: diff and restore say so, once.
        QCOMPARE(bmsctl(database("elsewhere.sqlite"), sim.path, {"set", "capacity=9100"}).code, 0);
        for (const QStringList &args :
             {QStringList{"diff", backup}, QStringList{"restore", backup, "--dry-run"}}) {
            const Result r = bmsctl(db, sim.path, args);
            QCOMPARE(r.code, 0);
            QCOMPARE(r.err.count(QLatin1String("no longer holds the settings last recorded")), 1);
            QVERIFY2(r.err.contains(QLatin1String("recorded for this pack")) &&
                         r.err.contains(QLatin1String(": capacity\n")),
                     qPrintable(r.err));
        }

        // --no-history records nothing; --database goes before the environment's.
        const int visits = timeline(db).size();
        QCOMPARE(bmsctl(db, sim.path, {"--no-history", "info"}).code, 0);
        QCOMPARE(bmsctl(database("elsewhere.sqlite"), sim.path, {"--database", db, "info"}).code,
                 0);
        QCOMPARE(timeline(db).size(), visits + 1);

        // A flash that fails: where it stopped, and nothing after.
        const Sim deaf({QStringLiteral("--no-loader")});
        QCOMPARE(bmsctl(db, deaf.path,
                        {"flash", dir.filePath(QStringLiteral("good.hex")), "--yes", "--no-backup"})
                     .code,
                 1);
        const QJsonObject failed = only(timeline(db).last(), "flashes");
        QVERIFY2(!failed.value("succeeded").toBool() && failed.value("firmware_after") == -1 &&
                     failed.value("result").toString().contains(QLatin1String("erase")),
                 qPrintable(QJsonDocument(failed).toJson()));
    }

    // The same pack reported twice, its cell 3 worn in between: the second report
    // names the previous one and the cell whose resistance rose, and no other.
    void report_compares_with_the_previous()
    {
        const QString db = database("reports.sqlite");
        const QStringList ride{"--seed", "38", "--load", "ride"};
        QJsonObject reports[2];
        for (int i = 0; i < 2; ++i) {
            const Sim sim(i ? ride + QStringList{"--weak-cell", "3"} : ride);
            const Result r =
                bmsctl(db, sim.path, {"report", "--duration", "2", "--format", "json"});
            QCOMPARE(r.code, 0);
            reports[i] = QJsonDocument::fromJson(r.out.toUtf8()).object();
        }
        QVERIFY(reports[0].contains("previous") && reports[0]["previous"].isNull());
        const QJsonObject previous = reports[1]["previous"].toObject();
        // The history keeps the time of the command that made it, its start.
        const auto time = [](const QJsonValue &v) {
            return QDateTime::fromString(v.toString(), Qt::ISODate);
        };
        const qint64 lead = time(previous["generated_at"]).secsTo(time(reports[0]["generated_at"]));
        QVERIFY2(lead >= 0 && lead <= 10, qPrintable(QString::number(lead)));
        const QJsonArray before = previous["resistance_mohm"].toArray();
        QCOMPARE(before.size(), 10);
        for (const QJsonValue cell : before)
            QVERIFY(cell.toDouble() > 1 && cell.toDouble() < 20);
        QStringList rises;
        for (const QJsonValue f : reports[1]["findings"].toArray())
            if (f["kind"] == "resistance_rise")
                rises << QString::number(f["cell"].toInt());
        QCOMPARE(rises, QStringList{"3"});
        for (const QJsonValue f : reports[0]["findings"].toArray())
            QVERIFY(f["kind"] != "resistance_rise");

        // In Markdown (and HTML, from the same document), a section of its own.
        const Sim sim(ride);
        const Result md = bmsctl(db, sim.path, {"report", "--duration", "1", "--format", "md"});
        QCOMPARE(md.code, 0);
        QVERIFY2(md.out.contains("## Since the last report") &&
                     md.out.contains("its verdict was attention"),
                 qPrintable(md.out));
    }

    // A history that cannot be written: one warning line, the job's own output and
    // exit code, and no more than the budget's delay.
    void unwritable_history_is_not_in_the_way()
    {
        // A folder that is a file, which not even root can write into.
        const QString broken[] = {QStringLiteral("sqlite:") +
                                      dir.filePath(QStringLiteral("good.hex/h.sqlite")),
                                  QStringLiteral("sqlite:/proc/no/such/folder/h.sqlite")};
        for (const QString &db : broken) {
            // The same jobs on two equal packs, one recorded and one not.
            const QStringList refusing{QStringLiteral("--refuse-registers"),
                                       QStringLiteral("0x5A")};
            const Sim recorded(refusing), unrecorded(refusing);
            for (const auto &[args, code] :
                 {std::pair<QStringList, int>{{"set", "capacity=9300"}, 0},
                  std::pair<QStringList, int>{{"set", "overvoltage=4250"}, 1},
                  std::pair<QStringList, int>{{"get", "capacity"}, 0}}) {
                const Result plain = bmsctl(database("plain.sqlite"), recorded.path, args);
                QElapsedTimer clock;
                clock.start();
                const Result r = bmsctl(db, unrecorded.path, args);
                QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
                QCOMPARE(r.code, code);
                QCOMPARE(plain.code, code);
                QCOMPARE(r.out, plain.out);
                QCOMPARE(r.err.count(QLatin1String("service history not recorded")), 1);
                QCOMPARE(r.err.split('\n').filter("history").size(), 1);
                QCOMPARE(r.err.split('\n').size(), plain.err.split('\n').size() + 1);
            }
        }
    }

    // Two commands at a time on one SQLite file, twenty times over: every visit kept.
    void concurrent_commands()
    {
        const QString db = database("concurrent.sqlite");
        const Sim a, b;
        for (int round = 0; round < 20; ++round) {
            QProcess p[2];
            start(p[0], db, a.path, {"info"});
            start(p[1], db, b.path, {"get", "capacity"});
            for (QProcess &one : p) {
                QVERIFY(one.waitForFinished(30000) && one.exitCode() == 0);
                QVERIFY2(one.readAllStandardError().isEmpty(), "a warning");
            }
        }
        QCOMPARE(timeline(db).size(), 40);
    }

    // The window: a visit once a connection has read the whole register space, and
    // a Set, confirmed when the polling reads it back.
    void window_records_a_connection_and_a_set()
    {
        const QString db = database("window.sqlite");
        QProcess sim;
        const QString path = start_sim(sim);
        {
            MyDialogWindow window;
            window.setHistory(db, true);
            connect_window(&window, path);
            QTRY_COMPARE_WITH_TIMEOUT(timeline(db).size(), 1, 10000);
            set_text(&window, "lineEdit_set_capacity", QStringLiteral("9500"));
            click(&window, "pushButton_set_capacity");
            QTRY_VERIFY_WITH_TIMEOUT(
                !timeline(db).value(0).details.value("settings_writes").isUndefined(), 10000);
            click(&window, "button_disconnect");
            QVERIFY(widget<QPlainTextEdit>(&window, "plainTextEdit")->toPlainText().isEmpty());
        }
        const QVector<TimelineEntry> t = timeline(db);
        QCOMPARE(commands_of(t), QStringList({"bms_tool connect"}));
        QCOMPARE(t[0].firmware, 18);
        QVERIFY(t[0].state.cells_mv[0] > 3000);
        QCOMPARE(
            only(t[0], "settings_writes"),
            QJsonObject(
                {{"setting", "capacity"}, {"before", 7800}, {"after", 9500}, {"confirmed", true}}));

        // --no-history, and a history that cannot be written: the log says so once.
        {
            MyDialogWindow window;
            window.setHistory(db, false);
            connect_window(&window, path);
            QTest::qWait(1500);
            click(&window, "button_disconnect");
        }
        QCOMPARE(timeline(db).size(), 1);
        {
            MyDialogWindow window;
            window.setHistory(QStringLiteral("sqlite:/proc/no/such/folder/h.sqlite"), true);
            connect_window(&window, path);
            auto *log = widget<QPlainTextEdit>(&window, "plainTextEdit");
            QTRY_VERIFY_WITH_TIMEOUT(!log->toPlainText().isEmpty(), 10000);
            QVERIFY2(log->toPlainText().startsWith("service history not recorded") &&
                         !log->toPlainText().contains('\n'),
                     qPrintable(log->toPlainText()));
        }
        stop_sim(sim);
    }
};

QTEST_MAIN(TestRecording)
#include "test_recording.moc"
