// bmsctl on several boards at once, through its binary against several simulators.

#include "bmsctl_run.h"

#include <QDateTime>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

class TestBmsctlBatch : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    // Three boards, one of whose loaders never answers: the other two are flashed
    // whole, each after its own backup, and the summary names the one that failed.
    // The delays at a hundredth: the simulator's loader takes each command at once,
    // and the deaf one's ten erase attempts cost their reply windows alone.
    void flash_with_one_deaf_loader()
    {
        const QByteArray hex = generated_hex_file(20, 16, 5);
        QFile file(dir.filePath(QStringLiteral("good.hex")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(hex) == hex.size());
        file.close();
        std::vector<std::unique_ptr<Sim>> sims;
        for (int i = 0; i < 3; ++i) {
            QStringList args{QStringLiteral("--seed"), QString::number(i + 1)};
            args << (i == 1 ? QStringList{QStringLiteral("--no-loader")}
                            : QStringList{QStringLiteral("--flash-dump"),
                                          dir.filePath(QStringLiteral("flash%1.bin").arg(i))});
            sims.push_back(std::make_unique<Sim>(args));
        }
        const QString backups = dir.filePath(QStringLiteral("backups"));
        const Result r = bmsctl(
            {QStringLiteral("--port"), sims[0]->path + QLatin1Char(',') + sims[1]->path,
             QStringLiteral("--port"), sims[2]->path, QStringLiteral("flash"), file.fileName(),
             QStringLiteral("--yes"), QStringLiteral("--backup-dir"), backups},
            fast_environment(1));
        QVERIFY2(r.code == 1, qPrintable(r.err));
        const QStringList rows = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 4);
        QVERIFY2(rows[0].simplified() == QLatin1String("PORT BMS SERIAL BEFORE AFTER RESULT TIME"),
                 qPrintable(r.out));
        for (int i = 0; i < 3; ++i) {
            const QString row = rows[i + 1].simplified();
            QVERIFY2(row.startsWith(sims[static_cast<size_t>(i)]->path + QLatin1Char(' ')),
                     qPrintable(r.out));
            QVERIFY2(row.contains(i == 1 ? QLatin1String(" 18 - failed at the erase ")
                                         : QLatin1String(" 18 18 flashed ")),
                     qPrintable(r.out));
        }
        // Without a terminal, each progress line names its port.
        QVERIFY2(r.err.contains(sims[0]->path + QStringLiteral(": line 20 of 20 (100 %)")) &&
                     r.err.contains(sims[1]->path + QStringLiteral(": flash failed at the erase")),
                 qPrintable(r.err));

        QByteArray image;
        for (const QByteArray &line : hex.split('\n'))
            if (line.mid(7, 2) == "00")
                image += QByteArray::fromHex(line.mid(9, 32));
        image += QByteArray(14336 - image.size(), '\xFF');
        for (int i : {0, 2}) {
            QFile dump(dir.filePath(QStringLiteral("flash%1.bin").arg(i)));
            QVERIFY(dump.open(QIODevice::ReadOnly));
            QVERIFY(dump.readAll() == image);
        }
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("flash1.bin"))));
        // One backup per board, each named by its own BMS serial.
        const QStringList saved = QDir(backups).entryList(QDir::Files);
        QCOMPARE(saved.size(), 3);
        QSet<QString> serials;
        for (const QString &name : saved)
            serials.insert(name.left(24));
        QCOMPARE(serials.size(), 3);
    }

    // info --json and monitor's CSV on two boards; what runs on one port at a time
    // refuses several, and so does the same port named twice, with nothing sent.
    void two_ports()
    {
        const Sim a({QStringLiteral("--seed"), QStringLiteral("1")});
        const Sim b({QStringLiteral("--seed"), QStringLiteral("2"), QStringLiteral("--link"),
                     dir.filePath(QStringLiteral("link"))});
        const QString both = a.path + QLatin1Char(',') + b.path;

        // Each board of a batch is a visit of its own pack in the service history.
        const QString database =
            QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("h.sqlite"));
        Result r = bmsctl({QStringLiteral("--database"), database, QStringLiteral("--port"), both,
                           QStringLiteral("info"), QStringLiteral("--json")});
        QCOMPARE(r.code, 0);
        const QJsonArray list = QJsonDocument::fromJson(r.out.toUtf8()).array();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list[0][QStringLiteral("port")].toString(), a.path);
        QCOMPARE(list[1][QStringLiteral("port")].toString(), b.path);
        QVERIFY(list[0][QStringLiteral("bms_serial")] != list[1][QStringLiteral("bms_serial")]);
        QVERIFY(list[1][QStringLiteral("cells_mv")].toArray().size() == 10);

        r = bmsctl({QStringLiteral("--database"), database, QStringLiteral("--port"), both,
                    QStringLiteral("monitor"), QStringLiteral("--interval"), QStringLiteral("20"),
                    QStringLiteral("--count"), QStringLiteral("3"), QStringLiteral("--csv"),
                    QStringLiteral("-")});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 7);
        QVERIFY(lines[0].startsWith(QLatin1String("port,time,voltage_mv,")));
        QMap<QString, int> per_port;
        QDateTime last;
        for (const QString &line : lines.mid(1)) {
            const QStringList fields = line.split(QLatin1Char(','));
            QCOMPARE(fields.size(), lines[0].count(QLatin1Char(',')) + 1);
            ++per_port[fields[0]];
            const QDateTime time = QDateTime::fromString(fields[1], Qt::ISODateWithMs);
            QVERIFY2(time.isValid() && !(time < last), qPrintable(r.out));
            last = time;
        }
        QCOMPARE(per_port.value(a.path), 3);
        QCOMPARE(per_port.value(b.path), 3);
        r = bmsctl({QStringLiteral("--database"), database, QStringLiteral("history"),
                    QStringLiteral("--json")});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        const QJsonArray packs = QJsonDocument::fromJson(r.out.toUtf8()).array();
        QCOMPARE(packs.size(), 2);
        for (const QJsonValue &pack : packs)
            QCOMPARE(pack[QStringLiteral("visits")].toInt(), 2);

        r = bmsctl({QStringLiteral("--port"), a.path, QStringLiteral("--port"), b.path,
                    QStringLiteral("set"), QStringLiteral("capacity=9000")});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains("set works on one port at a time, 2 were given"),
                 qPrintable(r.err));
        r = bmsctl({QStringLiteral("--port"),
                    b.path + QLatin1Char(',') + dir.filePath(QStringLiteral("link")),
                    QStringLiteral("info")});
        QCOMPARE(r.code, 2);
        QVERIFY2(r.err.contains("are the same port") && r.out.isEmpty(), qPrintable(r.err));
        r = bmsctl({QStringLiteral("--port"), both, QStringLiteral("backup"), QStringLiteral("-o"),
                    dir.filePath(QStringLiteral("pack.json"))});
        QCOMPARE(r.code, 2);
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("pack.json"))));
    }

    // Files go one per board into the folder -o names, by BMS serial; a port that
    // cannot be opened costs its own board only.
    void files_per_board()
    {
        const Sim a({QStringLiteral("--seed"), QStringLiteral("1")});
        const Sim b({QStringLiteral("--seed"), QStringLiteral("2")});
        const QString both = a.path + QLatin1Char(',') + b.path;
        const QString out = dir.filePath(QStringLiteral("files"));
        Result r = bmsctl(
            {QStringLiteral("--port"), both, QStringLiteral("backup"), QStringLiteral("-o"), out});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        r = bmsctl({QStringLiteral("--port"), both, QStringLiteral("report"), QStringLiteral("-o"),
                    out, QStringLiteral("--format"), QStringLiteral("md"),
                    QStringLiteral("--duration"), QStringLiteral("1")});
        QVERIFY2(r.code == 0, qPrintable(r.err));
        r = bmsctl({QStringLiteral("--port"), both + QStringLiteral(",/dev/no-such-port"),
                    QStringLiteral("info"), QStringLiteral("--json")});
        QCOMPARE(r.code, 3);
        QVERIFY2(r.err.contains("cannot open /dev/no-such-port"), qPrintable(r.err));
        const QJsonArray list = QJsonDocument::fromJson(r.out.toUtf8()).array();
        QCOMPARE(list.size(), 2);
        QStringList expected;
        for (const QJsonValue &board : list)
            for (const char *suffix : {".json", ".md"})
                expected << board[QStringLiteral("bms_serial")].toString() + QLatin1String(suffix);
        expected.sort();
        QCOMPARE(QDir(out).entryList(QDir::Files, QDir::Name), expected);
        QFile report(QDir(out).filePath(expected[1]));
        QVERIFY(report.open(QIODevice::ReadOnly) &&
                report.readAll().contains(expected[1].left(24).toUtf8()));
    }

    // Two Ctrl-Cs during a batch flash stop every board after its command in flight,
    // and the summary says where each stopped.
    void interrupted_flash()
    {
        const QByteArray hex = generated_hex_file(400, 16, 9);
        QFile file(dir.filePath(QStringLiteral("long.hex")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(hex) == hex.size());
        file.close();
        const Sim a({QStringLiteral("--seed"), QStringLiteral("1")});
        const Sim b({QStringLiteral("--seed"), QStringLiteral("2")});
        QProcess p;
        p.setProcessEnvironment(fast_environment());
        p.setReadChannel(QProcess::StandardError);
        p.start(QStringLiteral(BMSCTL_PATH),
                {QStringLiteral("--port"), a.path + QLatin1Char(',') + b.path,
                 QStringLiteral("flash"), file.fileName(), QStringLiteral("--yes"),
                 QStringLiteral("--no-backup")});
        QByteArray err;
        while (!err.contains("line 1 of 400") && p.waitForReadyRead(10000))
            err += p.readAllStandardError();
        ::kill(static_cast<pid_t>(p.processId()), SIGINT);
        while (!err.contains("Ctrl-C again") && p.waitForReadyRead(10000))
            err += p.readAllStandardError();
        ::kill(static_cast<pid_t>(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(20000));
        err += p.readAllStandardError();
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        QCOMPARE(p.exitCode(), 1);
        QVERIFY2(out.count(QStringLiteral(" stopped after ")) == 2, qPrintable(out + err));
        QVERIFY2(err.contains("stopping every board after its command in flight"), err.constData());
    }
};

QTEST_GUILESS_MAIN(TestBmsctlBatch)
#include "test_bmsctl_batch.moc"
