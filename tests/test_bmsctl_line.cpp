// bmsctl on a line that fails it: no port, a silent one, a BMS that refuses, a
// noisy line, and a port that vanishes mid-job.

#include "bmsctl_run.h"

#include <QTemporaryDir>
#include <QtTest>

class TestBmsctlLine : public QObject, public TestFolder
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(write_file(dir.filePath("changed.json"),
                           R"({"format": "bmsctl-settings", "version": 1,
  "settings": {"capacity": 10400, "overvoltage": 4250, "balance_mode": "Always"}})"));
        QVERIFY(write_file(dir.filePath("long.hex"), generated_hex_file(100, 16, 5)));
    }

    // Four runs at once, each on a line of its own: no port, two silent ones, a BMS
    // that refuses one setting.
    void port_missing_silent_or_refusing()
    {
        const Line silent, also_silent;
        const Sim refusing({"--refuse-registers", "0x5A"});
        const QVector<Result> r =
            bmsctl_all({{"--port", "/dev/no-such-port", "info"},
                        {"--port", silent.path, "--timeout", "100", "set", "capacity=9000"},
                        {"--port", also_silent.path, "--timeout", "50", "--retries", "1", "info"},
                        {"--port", refusing.path, "set", "overvoltage=4250", "capacity=9000"}});

        QCOMPARE(r[0].code, 3);
        QVERIFY2(r[0].err.contains("/dev/no-such-port: No such file or directory"),
                 qPrintable(r[0].err));

        QCOMPARE(r[1].code, 4);
        QVERIFY2(r[1].err.contains("no answer from the BMS on " + silent.path),
                 qPrintable(r[1].err));
        // The first read request and its three retries; no write.
        const QByteArray request = QByteArray::fromHex("55aa0322010028b1ff");
        QCOMPARE(silent.sent(), request.repeated(4));
        QVERIFY2(r[1].err.contains("RX/TX"), qPrintable(r[1].err));
        QCOMPARE(r[2].code, 4);
        QCOMPARE(also_silent.sent(), request.repeated(2));

        QCOMPARE(r[3].code, 1);
        QVERIFY2(
            r[3].out.simplified().contains("overvoltage FAILED: the BMS still holds 4200 mV after "
                                           "3 writes") &&
                r[3].out.simplified().contains("capacity written and confirmed"),
            qPrintable(r[3].out));
        QVERIFY2(r[3].err.contains("not confirmed: overvoltage"), qPrintable(r[3].err));
    }

    // On a noisy line the retries carry every run through; a run that still fails
    // does not blame the wiring. Ten noisy packs, one run on each at a time.
    void noisy_line()
    {
        std::vector<std::unique_ptr<Sim>> noisy;
        for (int i = 0; i < 10; ++i)
            noisy.push_back(std::make_unique<Sim>(QStringList{"--drop", "0.2", "--corrupt", "0.1",
                                                              "--seed", QString::number(7 + i)}));
        const auto on_each = [&noisy](const QStringList &args) {
            QVector<QStringList> runs;
            for (const auto &sim : noisy)
                runs << QStringList{"--port", sim->path, "--no-history"} + args;
            return bmsctl_all(runs);
        };
        for (const Result &r : on_each({"--timeout", "100", "--retries", "6", "info"}))
            QVERIFY2(r.code == 0, qPrintable(r.err));

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
        for (const Result &r : on_each({"--timeout", "50", "--retries", "0", "info"}))
            QVERIFY2(r.code == 0 || r.err.contains("RX/TX") == r.err.contains("register 0x00 "),
                     qPrintable(r.err));
    }

    // The simulator goes away mid-job, as a pulled adapter does: said at once, in
    // words that blame the port, and not one Qt warning.
    void vanishing_port()
    {
        // The flash is held still (SIGSTOP) while its port goes, so that the port
        // goes in the middle of it whatever the machine's load.
        auto target = std::make_unique<Sim>();
        Running flash(
            {"--port", target->path, "flash", dir.filePath("long.hex"), "--yes", "--no-backup"},
            fast_environment());
        QVERIFY2(flash.waitFor("line 1 of 100"), qPrintable(flash.err));
        flash.signal(SIGSTOP);
        target.reset();
        flash.signal(SIGCONT);
        QCOMPARE(flash.finish(), 1);
        QVERIFY2(flash.err.contains("flash: the port is gone (adapter unplugged?) at line") &&
                     !flash.err.contains("QIODevice") && !flash.err.contains("transmission"),
                 qPrintable(flash.err));

        target = std::make_unique<Sim>(QStringList{"--refuse-writes", "1"});
        QCOMPARE(run(target->path, {"backup", "-o", "%D/all.json"}).code, 0);
        Running restore(
            {"--port", target->path, "restore", dir.filePath("all.json"), "--all", "--yes"},
            real_time());
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
        Running monitor({"--port", target->path, "monitor", "--interval", "20", "--csv", "-"},
                        fast_environment());
        QTRY_VERIFY_WITH_TIMEOUT(monitor.process.canReadLine(), 10000);
        target.reset();
        QCOMPARE(monitor.finish(), 3);
        QVERIFY2(monitor.err.contains("monitor: the port is gone (adapter unplugged?)") &&
                     !monitor.err.contains("QIODevice"),
                 qPrintable(monitor.err));
    }
};

QTEST_GUILESS_MAIN(TestBmsctlLine)
#include "test_bmsctl_line.moc"
