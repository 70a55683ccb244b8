// What bmsctl puts into the service history without being asked, read back from
// the SQLite file: the binary against the simulator over a pseudo-terminal. A
// history that cannot be written changes nothing about the job.

#include "history_timeline.h"
#include "upgrade/hex_file.h"
#include "upgrade/upgrade_commands.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

class TestRecording : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(
            write_file(dir.filePath(QStringLiteral("good.hex")), generated_hex_file(20, 16, 5)));
    }

    // Every kind of command on one pack, then the pack's timeline: a visit each,
    // with the firmware and snapshot, and what each one did.
    void each_command_records()
    {
        const QString db = sqlite_location(dir, "commands.sqlite");
        const Sim sim({QStringLiteral("--refuse-registers"), QStringLiteral("0x5A")});
        const QString backup = dir.filePath(QStringLiteral("backup.json"));
        const QStringList runs[] = {
            {"info"},
            {"monitor", "--interval", "20", "--count", "2"},
            {"set", "capacity=9000"},
            {"set", "overvoltage=4250"}, // refused by this BMS: written, not confirmed
            {"backup", "-o", backup},
            {"diff", backup},
            {"report", "--duration", "1", "--format", "json"},
            {"flash", dir.filePath(QStringLiteral("good.hex")), "--yes", "--backup-dir",
             dir.filePath(QStringLiteral("saved"))},
        };
        const int codes[] = {0, 0, 0, 1, 0, 0, 0, 0};
        // Beside them, a flash that fails, on a history of its own: its loader's ten
        // erase attempts at a hundredth of the delay.
        const QString failed_db = sqlite_location(dir, "failed.sqlite");
        const Sim deaf({QStringLiteral("--no-loader")});
        QProcess failing;
        start_bmsctl(failing,
                     {"--port", deaf.path, "flash", dir.filePath(QStringLiteral("good.hex")),
                      "--yes", "--no-backup"},
                     with_database(failed_db, fast_environment(1)));
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
        QCOMPARE(
            bmsctl(sqlite_location(dir, "elsewhere.sqlite"), sim.path, {"set", "capacity=9100"})
                .code,
            0);
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
        QCOMPARE(
            bmsctl(sqlite_location(dir, "elsewhere.sqlite"), sim.path, {"--database", db, "info"})
                .code,
            0);
        QCOMPARE(timeline(db).size(), visits + 1);

        // The flash that fails: where it stopped, and nothing after.
        QCOMPARE(result_of(failing).code, 1);
        const QJsonObject failed = only(timeline(failed_db).value(0), "flashes");
        QVERIFY2(!failed.value("succeeded").toBool() && failed.value("firmware_after") == -1 &&
                     failed.value("result").toString().contains(QLatin1String("erase")),
                 qPrintable(QJsonDocument(failed).toJson()));
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
                QProcess plain_run, run;
                start_bmsctl(plain_run, QStringList{"--port", recorded.path} + args,
                             with_database(sqlite_location(dir, "plain.sqlite")));
                QElapsedTimer clock;
                clock.start();
                start_bmsctl(run, QStringList{"--port", unrecorded.path} + args, with_database(db));
                const Result r = result_of(run);
                QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
                const Result plain = result_of(plain_run);
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
        const QString db = sqlite_location(dir, "concurrent.sqlite");
        const Sim a, b;
        for (int round = 0; round < 20; ++round) {
            QProcess p[2];
            start_bmsctl(p[0], {"--port", a.path, "info"}, with_database(db));
            start_bmsctl(p[1], {"--port", b.path, "get", "capacity"}, with_database(db));
            for (QProcess &one : p) {
                QVERIFY(one.waitForFinished(30000) && one.exitCode() == 0);
                QVERIFY2(one.readAllStandardError().isEmpty(), "a warning");
            }
        }
        QCOMPARE(timeline(db).size(), 40);
    }
};

QTEST_GUILESS_MAIN(TestRecording)
#include "test_recording.moc"
