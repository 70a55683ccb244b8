// bmsctl's long jobs and the signals that come during them: a flash, a restore,
// a monitor whose reader goes away.

#include "bmsctl_run.h"

#include <QTemporaryDir>
#include <QtTest>

class TestBmsctlSignals : public QObject, public TestFolder
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(write_file(dir.filePath("good.hex"), field_hex_file()));
        QVERIFY(write_file(dir.filePath("long.hex"), generated_hex_file(100, 16, 5)));
    }

    // A flash that succeeds, after its backup, and beside it one whose loader never
    // answers: its ten erase attempts at a hundredth of the delay.
    void flash()
    {
        const Sim target({"--flash-dump", dir.filePath("flash.bin")});
        const Sim deaf({"--no-loader"});
        QProcess runs[2];
        start_bmsctl(runs[0], {"--port", target.path, "flash", dir.filePath("good.hex"), "--yes",
                               "--backup-dir", dir.filePath("saved")});
        start_bmsctl(runs[1],
                     {"--port", deaf.path, "flash", dir.filePath("good.hex"), "--yes",
                      "--backup-dir", dir.filePath("kept")},
                     fast_environment(1));
        Result r = result_of(runs[0]);
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

        r = result_of(runs[1]);
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains("flash failed at the erase") &&
                     r.err.contains("settings saved in " + dir.filePath("kept/0A3F")),
                 qPrintable(r.err));
    }

    // A hang-up and a closed pipe neither end a flash nor a restore: the first
    // only warns; a second interrupt stops a restore after the write in flight.
    void hang_up_and_closed_pipe()
    {
        // The flash is held still (SIGSTOP) while the signals come, so that they find
        // it going on whatever the machine's load. Held once its lines go out: a
        // first interrupt within the flash's first millisecond is taken for a second.
        const Sim target;
        Running flash(
            {"--port", target.path, "flash", dir.filePath("long.hex"), "--yes", "--no-backup"},
            fast_environment());
        QVERIFY2(flash.waitFor("line 1 of 100"), qPrintable(flash.err));
        flash.signal(SIGSTOP);
        flash.signal(SIGHUP);
        flash.signal(SIGPIPE);
        flash.signal(SIGCONT);
        QCOMPARE(flash.finish(), 0);
        QVERIFY2(flash.err.contains("the upgrade goes on") && flash.err.contains("line 100 of 100"),
                 qPrintable(flash.err));

        // Every write refused: without the stop, three rounds of 29 writes.
        const Sim deaf({"--refuse-writes", "1"});
        const Result saved = run(deaf.path, {"backup", "-o", "%D/all.json"});
        QCOMPARE(saved.code, 0);
        int master = -1, slave = -1;
        char name[128] = {};
        QVERIFY(openpty(&master, &slave, name, nullptr, nullptr) == 0);
        // In real time: the writes go at their own pace while the signals come.
        Running restore({"--port", deaf.path, "restore", dir.filePath("all.json"), "--all"},
                        real_time(), QString::fromLocal8Bit(name));
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
};

QTEST_GUILESS_MAIN(TestBmsctlSignals)
#include "test_bmsctl_signals.moc"
