// A report against the service history: the same pack reported twice, and what
// the second says about the first. bmsctl against the simulator, the history a
// SQLite file of the test's own.

#include "history_timeline.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

class TestRecordingReport : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
private slots:
    // The same pack reported twice, its cell 3 worn in between: the second report
    // names the previous one and the cell whose resistance rose, and no other. Both
    // sample in real time, for the simulator's load is.
    void report_compares_with_the_previous()
    {
        const QString db = sqlite_location(dir, "reports.sqlite");
        const QStringList ride{"--seed", "38", "--load", "ride"};
        QJsonObject reports[2];
        for (int i = 0; i < 2; ++i) {
            const Sim sim(i ? ride + QStringList{"--weak-cell", "3"} : ride);
            const Result r = bmsctl(db, sim.path, {"report", "--duration", "1", "--format", "json"},
                                    real_time());
            QVERIFY2(r.code == 0, qPrintable(r.err));
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
            QVERIFY2(cell.toDouble() > 1 && cell.toDouble() < 20,
                     qPrintable(QJsonDocument(before).toJson(QJsonDocument::Compact)));
        QStringList rises;
        for (const QJsonValue f : reports[1]["findings"].toArray())
            if (f["kind"] == "resistance_rise")
                rises << QString::number(f["cell"].toInt());
        QVERIFY2(rises == QStringList{"3"},
                 qPrintable(QJsonDocument(reports[1]["findings"].toArray()).toJson()));
        for (const QJsonValue f : reports[0]["findings"].toArray())
            QVERIFY(f["kind"] != "resistance_rise");

        // In Markdown (and HTML, from the same document), a section of its own; what
        // this third report measures does not matter here, it samples briefly.
        const Sim sim(ride);
        const Result md = bmsctl(db, sim.path, {"report", "--duration", "1", "--format", "md"});
        QCOMPARE(md.code, 0);
        QVERIFY2(md.out.contains("## Since the last report") &&
                     md.out.contains("its verdict was attention"),
                 qPrintable(md.out));
    }
};

QTEST_GUILESS_MAIN(TestRecordingReport)
#include "test_recording_report.moc"
