// bmsctl end to end: the binary against the simulator, and against a bare
// pseudo-terminal where nothing may arrive at all.

#include "hex_text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

namespace
{

struct Result {
    int code = -1;
    QString out, err;
};

// BMSCTL_TEST_DELAY_PERCENT is read by bmsctl for these tests alone: its fixed
// waits (the pace of setting writes, the upgrade's command delays) shrink to that
// share, so a flash whose loader never answers fails in about 1.5 s instead of 6.
// Reply windows and timeouts keep their values. Nothing else sets it.
QProcessEnvironment fast_environment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("BMSCTL_TEST_DELAY_PERCENT"), QStringLiteral("10"));
    return env;
}

Result bmsctl(const QStringList &args)
{
    QProcess p;
    p.setProcessEnvironment(fast_environment());
    p.start(QStringLiteral(BMSCTL_PATH), args);
    p.closeWriteChannel(); // standard input is a pipe: no terminal to confirm on
    p.waitForFinished(30000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// A port with nobody behind it: whatever bmsctl sends waits on the master side.
struct Line {
    int master = -1, slave = -1;
    QString path;
    Line()
    {
        char name[128] = {};
        openpty(&master, &slave, name, nullptr, nullptr); // bmsctl sets the line up itself
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        path = QString::fromLocal8Bit(name);
    }
    ~Line() { ::close(master), ::close(slave); }
    QByteArray sent() const
    {
        char buffer[512];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        return QByteArray(buffer, n > 0 ? static_cast<int>(n) : 0);
    }
};

struct Sim {
    QProcess process;
    QString path;
    explicit Sim(const QStringList &args = {})
    {
        process.start(QStringLiteral(BMS_SIM_PATH), args);
        process.waitForReadyRead(10000);
        path = QString::fromLocal8Bit(process.readLine()).trimmed();
    }
    ~Sim() { process.terminate(), process.waitForFinished(5000); }
};

// A running bmsctl whose standard error is collected as it comes.
struct Running {
    QProcess process;
    QString err;
    explicit Running(const QStringList &args, const QString &input = QString())
    {
        if (!input.isEmpty())
            process.setStandardInputFile(input);
        process.start(QStringLiteral(BMSCTL_PATH), args);
    }
    bool said(const QString &text)
    {
        err += QString::fromUtf8(process.readAllStandardError());
        return err.contains(text);
    }
    void signal(int number) { ::kill(static_cast<pid_t>(process.processId()), number); }
    int finish()
    {
        process.waitForFinished(60000);
        err += QString::fromUtf8(process.readAllStandardError());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
};

const QByteArray CHANGED = R"({"format": "bmsctl-settings", "version": 1,
  "settings": {"capacity": 10400, "overvoltage": 4250, "balance_mode": "Always"}})";

} // namespace

class TestBmsctl : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<Sim> sim; // for the normal runs, one after the other

    // "%D" is the folder of the test's files; the port goes first.
    Result run(const QString &port, QStringList args)
    {
        for (QString &a : args)
            a.replace(QLatin1String("%D"), dir.path());
        return bmsctl(QStringList{QStringLiteral("--port"), port} + args);
    }

private slots:
    void initTestCase()
    {
        // good.hex as files come from the field: one line end converted twice (CR CR LF),
        // blank lines and spaces after the end record.
        const QByteArray good = generated_hex_file(20, 16, 5)
                                    .replace(":00000001FF\r\n", ":00000001FF \r\n\r\n  \n")
                                    .replace("\r\n:10001000", "\r\r\n:10001000");
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
            {"long.hex", generated_hex_file(40, 16, 5)},
            {"factory.json", QByteArray(CHANGED)
                                 .replace("4250", "5000")
                                 .replace("\"version\": 1,", "\"version\": 1, \"bms_serial\": "
                                                             "\"000000000000000000000001\",")}};
        for (const auto &[name, text] : files) {
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(text) == text.size());
        }
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
        row("monitor", {"monitor", "--interval", "100", "--count", "3", "--csv", "-"},
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
    // packs are sampled at the same time.
    void report()
    {
        const QStringList balanced = {"--load",        "ride", "--seed",        "38",
                                      "--cell-offset", "1:22", "--cell-offset", "7:6",
                                      "--cell-offset", "8:22", "--cell-offset", "9:10"};
        const Sim weak(balanced + QStringList{"--unbalanced", "--weak-cell", "3"});
        const Sim healthy(balanced + QStringList{"--unbalanced"});
        QProcess reports[2];
        const Sim *packs[2] = {&weak, &healthy};
        for (int i = 0; i < 2; ++i)
            reports[i].start(QStringLiteral(BMSCTL_PATH), {"--port", packs[i]->path, "report",
                                                           "--duration", "2", "--format", "json"});
        const QList<int> named[2] = {{3}, {}}; // cells the findings name; 0: the pack
        for (int i = 0; i < 2; ++i) {
            reports[i].closeWriteChannel();
            QVERIFY(reports[i].waitForFinished(30000) && reports[i].exitCode() == 0);
            const QJsonDocument doc = QJsonDocument::fromJson(reports[i].readAllStandardOutput());
            // 21 at 100 ms from 0 to 2 s; a loaded machine may merge a few turns
            QVERIFY(doc["sampling"]["samples"].toInt() > 10);
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
            QCOMPARE(cells, QSet<int>(named[i].begin(), named[i].end()));
        }
    }

    void port_missing_silent_or_refusing()
    {
        Result r = bmsctl({"--port", "/dev/no-such-port", "info"});
        QCOMPARE(r.code, 3);
        QVERIFY2(r.err.contains("/dev/no-such-port: No such file or directory"), qPrintable(r.err));

        const Line silent;
        r = run(silent.path, {"--timeout", "100", "set", "capacity=9000"});
        QCOMPARE(r.code, 4);
        QVERIFY2(r.err.contains("no answer from the BMS on " + silent.path), qPrintable(r.err));
        // The first read request and its three retries; no write.
        const QByteArray request = QByteArray::fromHex("55aa0322010028b1ff");
        QCOMPARE(silent.sent(), request.repeated(4));
        QVERIFY2(r.err.contains("RX/TX"), qPrintable(r.err));
        r = run(silent.path, {"--timeout", "50", "--retries", "1", "info"});
        QCOMPARE(r.code, 4);
        QCOMPARE(silent.sent(), request.repeated(2));

        const Sim refusing({"--refuse-registers", "0x5A"});
        r = run(refusing.path, {"set", "overvoltage=4250", "capacity=9000"});
        QCOMPARE(r.code, 1);
        QVERIFY2(
            r.out.simplified().contains("overvoltage FAILED: the BMS still holds 4200 mV after "
                                        "3 writes") &&
                r.out.simplified().contains("capacity written and confirmed"),
            qPrintable(r.out));
        QVERIFY2(r.err.contains("not confirmed: overvoltage"), qPrintable(r.err));
    }

    // A flash that succeeds, after its backup, and one whose loader never answers.
    void flash()
    {
        const Sim target({"--flash-dump", dir.filePath("flash.bin")});
        Result r = run(target.path, {"flash", "%D/good.hex", "--yes", "--backup-dir", "%D/saved"});
        QVERIFY2(r.code == 0 && r.out.contains("the BMS reports firmware 18"), qPrintable(r.err));
        QVERIFY2(r.err.indexOf("settings saved to " + dir.filePath("saved/0A3F")) <
                     r.err.indexOf("erasing the flash"),
                 qPrintable(r.err));
        QByteArray image;
        for (const QByteArray &line : generated_hex_file(20, 16, 5).split('\n'))
            if (line.mid(7, 2) == "00")
                image += QByteArray::fromHex(line.mid(9, 32));
        QFile dump(dir.filePath("flash.bin"));
        QVERIFY(dump.open(QIODevice::ReadOnly));
        QCOMPARE(dump.readAll(), image + QByteArray(14336 - image.size(), '\xFF'));

        const Sim deaf({"--no-loader"});
        r = run(deaf.path, {"flash", "%D/good.hex", "--yes", "--backup-dir", "%D/saved"});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains("flash failed at the erase") &&
                     r.err.contains("settings saved in " + dir.filePath("saved/0A3F")),
                 qPrintable(r.err));
    }

    // On a noisy line the retries carry every run through; a run that still fails
    // does not blame the wiring.
    void noisy_line()
    {
        const Sim noisy({"--drop", "0.2", "--corrupt", "0.1", "--seed", "7"});
        for (int i = 0; i < 10; ++i) {
            const Result r = run(noisy.path, {"--timeout", "100", "--retries", "6", "info"});
            QVERIFY2(r.code == 0, qPrintable(r.err));
        }
        // Replies in 32-byte pieces: put together, no retry needed.
        const Sim split({"--chunk", "32"});
        for (const QStringList &args :
             {QStringList{"info"}, QStringList{"backup", "-o", "%D/split.json"},
              QStringList{"restore", "%D/changed.json", "--yes"}}) {
            const Result r = run(split.path, QStringList{"--retries", "0"} + args);
            QVERIFY2(r.code == 0, qPrintable(r.err));
        }

        // Without retries some runs fail; the hint comes only where the very first
        // request went unanswered.
        for (int i = 0; i < 10; ++i) {
            const Result r = run(noisy.path, {"--timeout", "50", "--retries", "0", "info"});
            QVERIFY2(r.code == 0 || r.err.contains("RX/TX") == r.err.contains("register 0x00 "),
                     qPrintable(r.err));
        }
    }

    // A hang-up and a closed pipe neither end a flash nor a restore: the first
    // only warns; a second interrupt stops a restore after the write in flight.
    void hang_up_and_closed_pipe()
    {
        const Sim target;
        Running flash(
            {"--port", target.path, "flash", dir.filePath("long.hex"), "--yes", "--no-backup"});
        QTRY_VERIFY_WITH_TIMEOUT(flash.said("erasing the flash"), 10000);
        flash.signal(SIGHUP);
        flash.signal(SIGPIPE);
        QCOMPARE(flash.finish(), 0);
        QVERIFY2(flash.err.contains("the upgrade goes on"), qPrintable(flash.err));

        // Every write refused: without the stop, three rounds of 29 writes.
        const Sim deaf({"--refuse-writes", "1"});
        const Result saved = run(deaf.path, {"backup", "-o", "%D/all.json"});
        QCOMPARE(saved.code, 0);
        int master = -1, slave = -1;
        char name[128] = {};
        QVERIFY(openpty(&master, &slave, name, nullptr, nullptr) == 0);
        Running restore({"--port", deaf.path, "restore", dir.filePath("all.json"), "--all"},
                        QString::fromLocal8Bit(name));
        QTRY_VERIFY_WITH_TIMEOUT(restore.said("[y/N] "), 10000);
        QCOMPARE(::write(master, "y\n", 2), 2);
        restore.signal(SIGHUP);
        QTRY_VERIFY_WITH_TIMEOUT(restore.said("the restore goes on"), 10000);
        restore.signal(SIGINT);
        QCOMPARE(restore.finish(), 1);
        ::close(master), ::close(slave);
        QVERIFY2(restore.err.contains("stopping after the write in flight"),
                 qPrintable(restore.err));
        const QString out = QString::fromUtf8(restore.process.readAllStandardOutput());
        QVERIFY2(out.contains("not written: stopped at your request"), qPrintable(out));

        // The reader of the rows goes away: monitor stops, and says it is fine.
        QProcess piped;
        piped.start(QStringLiteral("bash"),
                    {"-c", QStringLiteral("'%1' --port %2 monitor --interval 20 --csv - | head -2; "
                                          "exit ${PIPESTATUS[0]}")
                               .arg(QStringLiteral(BMSCTL_PATH), target.path)});
        QVERIFY(piped.waitForFinished(30000));
        QCOMPARE(piped.exitCode(), 0);
        QCOMPARE(piped.readAllStandardOutput().count('\n'), 2);
    }

    // The simulator goes away mid-job, as a pulled adapter does: said at once, in
    // words that blame the port, and not one Qt warning.
    void vanishing_port()
    {
        auto target = std::make_unique<Sim>();
        Running flash(
            {"--port", target->path, "flash", dir.filePath("long.hex"), "--yes", "--no-backup"});
        QTRY_VERIFY_WITH_TIMEOUT(flash.said("line 1 of 40"), 10000);
        target.reset();
        QCOMPARE(flash.finish(), 1);
        QVERIFY2(flash.err.contains("flash: the port is gone (adapter unplugged?) at line") &&
                     !flash.err.contains("QIODevice") && !flash.err.contains("transmission"),
                 qPrintable(flash.err));

        target = std::make_unique<Sim>(QStringList{"--refuse-writes", "1"});
        QCOMPARE(run(target->path, {"backup", "-o", "%D/all.json"}).code, 0);
        Running restore(
            {"--port", target->path, "restore", dir.filePath("all.json"), "--all", "--yes"});
        QTRY_VERIFY_WITH_TIMEOUT(restore.process.bytesAvailable() > 0, 10000); // the diff
        target.reset();
        QCOMPARE(restore.finish(), 1);
        const QString out = QString::fromUtf8(restore.process.readAllStandardOutput());
        QVERIFY2(restore.err.contains("restore: the port is gone (adapter unplugged?)") &&
                     !restore.err.contains("QIODevice"),
                 qPrintable(restore.err));
        QVERIFY2(out.contains("the port was gone") && !out.contains("no answer to the read-back"),
                 qPrintable(out));

        // Nothing written: exit 3.
        target = std::make_unique<Sim>();
        Running monitor({"--port", target->path, "monitor", "--interval", "20", "--csv", "-"});
        QTRY_VERIFY_WITH_TIMEOUT(monitor.process.canReadLine(), 10000);
        target.reset();
        QCOMPARE(monitor.finish(), 3);
        QVERIFY2(monitor.err.contains("monitor: the port is gone (adapter unplugged?)") &&
                     !monitor.err.contains("QIODevice"),
                 qPrintable(monitor.err));
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
