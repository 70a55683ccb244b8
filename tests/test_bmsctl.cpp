// bmsctl end to end: the binary's commands against the simulator, its help, and
// bad input of every kind against a bare pseudo-terminal where nothing may arrive.

#include "bmsctl_run.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

const QByteArray CHANGED = R"({"format": "bmsctl-settings", "version": 1,
  "settings": {"capacity": 10400, "overvoltage": 4250, "balance_mode": "Always"}})";

} // namespace

class TestBmsctl : public QObject, public TestFolder
{
    Q_OBJECT

    std::unique_ptr<Sim> sim; // for the normal runs, one after the other

private slots:
    void initTestCase()
    {
        const QByteArray good = field_hex_file();
        const QByteArray record = hex_record(0, 0x0000, QByteArray(16, 'A')).toLatin1() + "\r\n";
        const QByteArray end = ":00000001FF\r\n";
        const QPair<const char *, QByteArray> files[] = {
            {"changed.json", CHANGED},
            {"malformed.json", R"({"format": "bmsctl-settings", "version": )"},
            {"not_allowed.json", QByteArray(CHANGED).replace("10400", "70000")},
            {"good.hex", good},
            {"empty.hex", ""},
            {"two_bases.hex",
             QByteArray(good).replace(
                 "\r\n:10006000", "\r\n" + hex_record(4, 0, QByteArray("\x00\x01", 2)).toLatin1() +
                                      "\r\n:10006000")},
            {"overlap.hex",
             record + hex_record(0, 0x0008, QByteArray(16, 'B')).toLatin1() + "\r\n" + end},
            {"repeated.hex", record.repeated(1000) + end},
            {"bad_checksum.hex",
             generated_hex_file(20, 16, 5).replace("\r\n:10002000", "\r\n:10002100")},
            {"no_end.hex", generated_hex_file(20, 16, 5, false)},
            {"factory.json", QByteArray(CHANGED)
                                 .replace("4250", "5000")
                                 .replace("\"version\": 1,", "\"version\": 1, \"bms_serial\": "
                                                             "\"000000000000000000000001\",")}};
        for (const auto &[name, text] : files)
            QVERIFY(write_file(dir.filePath(name), text));
        sim = std::make_unique<Sim>();
    }

    void cleanupTestCase() { sim.reset(); }

    // Rows run in order on one simulator: a row sees what the rows before it wrote.
    void normal_run_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("expected"); // each in standard output, spaces collapsed
        QTest::addColumn<int>("lines");            // of standard output; -1: any
        const auto row = [](const char *name, QStringList args, QStringList expected,
                            int lines = -1) { QTest::newRow(name) << args << expected << lines; };
        row("ports", {"ports", "--json"}, {"["});
        row("info", {"info", "--json"},
            {"\"serial_number\": \"SIM10S-0000042\"", "\"capacity_mah\": 7800",
             "\"date_of_production\": \"2023-06-15\"", "\"bms_serial\": \"0A3F", "\"firmware\": 18",
             "\"voltage_mv\"", "\"current_ma\"", "\"soc_percent\"", "\"remaining_mah\"",
             "\"temperatures_c\"", "\"cells_mv\"", "\"balancing\""});
        row("get", {"get", "capacity", "short_circuit_delay", "balance_mode"},
            {"capacity 7800 mAh", "short_circuit_delay 100 µs",
             "balance_mode Charging&Overvoltage"},
            3);
        row("set",
            {"set", "capacity=9000",
             "discharge_curve=3000,3350,3480,3560,3620,3680,3760,3850,3940,4040,4160"},
            {"capacity written and confirmed 9000 mAh", "discharge_curve written and confirmed"});
        row("backup", {"backup", "-o", "%D/backup.json"}, {}, 0);
        row("diff with its backup", {"diff", "%D/backup.json"}, {"No differences"}, 1);
        row("restore", {"restore", "%D/changed.json", "--yes"},
            {"capacity 9000 mAh 10400 mAh", "3 written and confirmed, 0 unchanged, 0 failed"});
        row("diff after restore", {"diff", "%D/changed.json"}, {"No differences"}, 1);
        row("restore of the backup", {"restore", "%D/backup.json", "--yes"},
            {"3 written and confirmed, 26 unchanged, 0 failed"});
        row("set of what it holds", {"set", "capacity=9000"}, {"capacity unchanged 9000 mAh"});
        row("monitor", {"monitor", "--interval", "20", "--count", "3", "--csv", "-"},
            {"time,voltage_mv,current_ma,soc_percent,remaining_mah,t1_c,t2_c,cell1_mv,"}, 4);
    }

    void normal_run()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, expected);
        QFETCH(int, lines);
        const Result r = run(sim->path, args);
        QVERIFY2(r.code == 0, qPrintable(QString::number(r.code) + r.err));
        for (const QString &text : expected)
            QVERIFY2(r.out.simplified().contains(text), qPrintable(r.out));
        if (lines >= 0)
            QCOMPARE(r.out.count(QLatin1Char('\n')), lines);
    }

    // On a terminal, restore asks on standard error, and only once the diff is out on
    // standard output (here a file, as with "| tee log"); no is no write at all.
    void restore_asks_after_the_diff()
    {
        int master = -1, slave = -1;
        char name[128] = {};
        QVERIFY(openpty(&master, &slave, name, nullptr, nullptr) == 0);
        QProcess p;
        p.setProcessEnvironment(fast_environment());
        p.setStandardInputFile(QString::fromLocal8Bit(name));
        p.setStandardOutputFile(dir.filePath("restore.out"));
        p.start(QStringLiteral(BMSCTL_PATH),
                {"--port", sim->path, "restore", dir.filePath("changed.json")});
        QString err;
        QTRY_VERIFY_WITH_TIMEOUT(
            (err += QString::fromUtf8(p.readAllStandardError())).endsWith("[y/N] "), 10000);
        QFile out(dir.filePath("restore.out"));
        QVERIFY(out.open(QIODevice::ReadOnly));
        QVERIFY2(out.readAll().contains("settings in " + dir.filePath("changed.json").toUtf8() +
                                        " differ."),
                 qPrintable(err));
        QCOMPARE(::write(master, "n\n", 2), 2);
        QVERIFY(p.waitForFinished(10000));
        ::close(master), ::close(slave);
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(
            QString::fromUtf8(p.readAllStandardError()).contains("not confirmed, nothing written"));
        QVERIFY(!run(sim->path, {"diff", "%D/changed.json"}).out.contains("No differences"));
    }

    // Bad input of every kind: exit 2, one line on standard error per problem,
    // and not one byte on the line.
    void bad_input_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("named"); // what the message must name
        const auto row = [](const char *name, QStringList args, const char *named) {
            QTest::newRow(name) << args << QString::fromUtf8(named);
        };
        row("unknown command", {"flush"}, "\"flush\"");
        row("help on an unknown command", {"help", "flush"}, "\"flush\"");
        row("unknown option", {"info", "--jsn"}, "'jsn'");
        row("unknown setting", {"get", "overvoltag"}, "\"overvoltag\"");
        row("value not allowed", {"set", "discharge_overcurrent=40"},
            "17, 22, 28, 33, 39, 44, 50 A");
        row("malformed file", {"restore", "%D/malformed.json", "--yes"},
            "malformed.json: not valid JSON at line 1");
        row("unreadable file", {"diff", "%D/missing.json"}, "missing.json");
        row("value not allowed in a file", {"restore", "%D/not_allowed.json", "--yes"},
            "settings.capacity: 70000 is not allowed: 1 to 32000 mAh");
        row("cross-check", {"set", "undervoltage=3000", "shutdown_voltage=3000"},
            "shutdown_voltage (3000 mV) must be below undervoltage");
        row("no terminal to confirm", {"restore", "%D/changed.json"}, "--yes");
        row("unwritable output", {"backup", "-o", "%D/missing/backup.json"}, "missing/backup.json");
        row("bad record checksum", {"flash", "%D/bad_checksum.hex", "--yes"},
            "the record checksum is wrong on line 4");
        row("no end record", {"flash", "%D/no_end.hex", "--yes"}, "no end-of-file record");
        row("empty firmware file", {"flash", "%D/empty.hex", "--yes"}, "empty.hex is empty");
        row("data under two bases", {"flash", "%D/two_bases.hex", "--yes"},
            "line 9 holds data under the extended address 0x00010000 (set on line 8), line 2 "
            "under 0x08000000");
        row("overlapping records", {"flash", "%D/overlap.hex", "--yes"},
            "line 2 writes flash byte 0x0008, which line 1 writes already");
        row("one record repeated", {"flash", "%D/repeated.hex", "--yes"},
            "line 897 brings the data past the 14336 bytes the flash holds (16000 bytes");
        row("flash without a terminal", {"flash", "%D/good.hex"}, "--yes");
        row("bad backup for the report", {"report", "--before", "%D/not_allowed.json"},
            "report: --before: ");
        row("report duration", {"report", "--duration", "2.5"}, "--duration 2.5");
        row("--timeout twice", {"--timeout", "100", "--timeout", "200", "info"}, "--timeout");
        row("a second --port for set", {"--port", "/dev/null", "set", "capacity=9000"},
            "one port at a time");
        row("--only twice",
            {"restore", "%D/changed.json", "--only", "capacity", "--only", "overvoltage", "--yes"},
            "--only");
        row("-o twice", {"backup", "-o", "%D/a.json", "-o", "%D/b.json"}, "-o");
        row("existing log", {"monitor", "--csv", "%D/changed.json"}, "--append");
    }

    void bad_input()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, named);
        const Line line;
        const Result r = run(line.path, args);
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.startsWith("bmsctl: ") && r.err.contains(named), qPrintable(r.err));
        QCOMPARE(r.out, QString());
        QCOMPARE(line.sent(), QByteArray());
    }

    // The overview lists every command once; a command's help is the same whichever
    // way it is asked for, and needs no port.
    void help()
    {
        const Result overview = bmsctl({"help"});
        QCOMPARE(overview.code, 0);
        QCOMPARE(bmsctl({"--help"}).out, overview.out);
        for (const char *name : {"ports", "info", "monitor", "report", "get", "set", "backup",
                                 "diff", "restore", "flash", "help"})
            QVERIFY2(overview.out.contains(QRegularExpression(QStringLiteral("\n  %1 ").arg(name))),
                     name);
        const Result flash = bmsctl({"help", "flash"});
        QCOMPARE(flash.code, 0);
        QVERIFY2(flash.out.startsWith(
                     "Usage: bmsctl [--port PATH] [--timeout MS] [--retries N] flash FILE.hex") &&
                     flash.out.contains("--ignore-checksums"),
                 qPrintable(flash.out));
        QCOMPARE(bmsctl({"flash", "--help"}).out, flash.out);
        QVERIFY(bmsctl({"help", "set"}).out.contains("discharge_curve"));
    }

    // A ride with a weak cell 3 names that cell and no other; without it, nothing.
    // Seed 38's unbalanced cells, four lifted, lie within about 10 mV of each other, well
    // inside the BMS's disbalance threshold of 20 mV: the pack is balanced. The two
    // packs are sampled at the same time, in real time: the simulator's load is.
    void report()
    {
        const QStringList balanced = {"--load",        "ride", "--seed",        "38",
                                      "--cell-offset", "1:22", "--cell-offset", "7:6",
                                      "--cell-offset", "8:22", "--cell-offset", "9:10"};
        const Sim weak(balanced + QStringList{"--unbalanced", "--weak-cell", "3"});
        const Sim healthy(balanced + QStringList{"--unbalanced"});
        const QVector<Result> reports = bmsctl_all(
            {{"--port", weak.path, "--no-history", "report", "--duration", "1", "--format", "json"},
             {"--port", healthy.path, "--no-history", "report", "--duration", "1", "--format",
              "json"}},
            real_time());
        const QList<int> named[2] = {{3}, {}}; // cells the findings name; 0: the pack
        for (int i = 0; i < 2; ++i) {
            QVERIFY2(reports[i].code == 0, qPrintable(reports[i].err));
            const QJsonDocument doc = QJsonDocument::fromJson(reports[i].out.toUtf8());
            // 11 at 100 ms from 0 to 1 s; a loaded machine may merge a few turns
            QVERIFY(doc["sampling"]["samples"].toInt() > 5);
            const QJsonArray flags = doc["samples"][0]["balancing"].toArray();
            QVERIFY(flags.size() == 10 && flags.first().isBool());
            const QRegularExpression cell(QStringLiteral("\\b[Cc]ell (\\d+)"));
            QSet<int> cells;
            for (const QJsonValue f : doc["findings"].toArray()) {
                cells << f["cell"].toInt();
                auto it = cell.globalMatch(f["title"].toString() + ' ' + f["reason"].toString());
                while (it.hasNext())
                    cells << it.next().captured(1).toInt();
            }
            QVERIFY2(cells == QSet<int>(named[i].begin(), named[i].end()),
                     QJsonDocument(doc["findings"].toArray()).toJson().constData());
        }
    }

    // A factory value the window's lists do not offer: refused with both ways out,
    // which then both work; a backup from another board is said, not refused.
    void values_outside_the_lists_and_other_boards()
    {
        const Sim board;
        Result r = run(board.path, {"restore", "%D/factory.json", "--yes"});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains("settings.overvoltage") && r.err.contains("--force") &&
                     r.err.contains("--except overvoltage") &&
                     r.err.contains("was saved from BMS 000000000000000000000001"),
                 qPrintable(r.err));
        r = run(board.path, {"diff", "%D/factory.json"});
        QVERIFY2(r.code == 0 && r.err.count("was saved from BMS") == 1, qPrintable(r.err));

        r = run(board.path, {"restore", "%D/factory.json", "--yes", "--except", "overvoltage"});
        QVERIFY2(r.code == 0 && r.out.simplified().contains("2 written and confirmed"),
                 qPrintable(r.out + r.err));
        r = run(board.path, {"restore", "%D/factory.json", "--yes", "--force"});
        QVERIFY2(r.code == 0 && r.out.simplified().contains("overvoltage written and confirmed"),
                 qPrintable(r.out + r.err));

        // The same file on standard input: no differences left.
        QProcess diff;
        diff.setStandardInputFile(dir.filePath("factory.json"));
        diff.start(QStringLiteral(BMSCTL_PATH), {"--port", board.path, "diff", "-"});
        QVERIFY(diff.waitForFinished(30000));
        QCOMPARE(diff.exitCode(), 0);
        QVERIFY(diff.readAllStandardOutput().contains("No differences"));
    }

    // An existing log is kept unless told: --append adds rows without a header.
    // JSON lines hold balancing as info --json does, ten flags.
    void monitor_logs()
    {
        const QString csv = dir.filePath("ride.csv");
        Result r = run(sim->path, {"monitor", "--interval", "50", "--count", "2", "--csv", csv});
        QCOMPARE(r.code, 0);
        r = run(sim->path,
                {"monitor", "--interval", "50", "--count", "2", "--csv", csv, "--append"});
        QCOMPARE(r.code, 0);
        QFile log(csv);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QCOMPARE(text.count("time,"), 1);
        QCOMPARE(text.count('\n'), 5);

        r = run(sim->path, {"monitor", "--interval", "50", "--count", "1", "--jsonl", "-"});
        const QJsonArray flags = QJsonDocument::fromJson(r.out.toUtf8())["balancing"].toArray();
        QCOMPARE(flags.size(), 10);
        QVERIFY(flags.first().isBool());
    }
};

QTEST_GUILESS_MAIN(TestBmsctl)
#include "test_bmsctl.moc"
