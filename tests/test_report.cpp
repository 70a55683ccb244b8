// The service report as written: one document in HTML and Markdown, the same
// content in JSON, and a whole run of bmsctl against the simulated pack.
// Runs in the time zone of Kolkata (set by CTest), whose half-hour offset shows
// that the pages give local time with its offset while JSON keeps UTC.

#include "document.h"
#include "report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

// Twenty samples under a stepping load; cell 4 sits 60 mV below the others.
ReportInput pack()
{
    ReportInput in;
    in.identity.serial_number = QStringLiteral("PK|7");
    in.identity.bms_serial = QStringLiteral("00112233445566778899AABB");
    in.generated_at = QDateTime(QDate(2026, 12, 6), QTime(12, 0), Qt::UTC);
    in.tool_version = QStringLiteral("1.0");
    in.settings = {{"capacity", "Battery capacity, mAh", "mAh", "8000", "7000"},
                   {"overvoltage", "Cell overvoltage, mV", "mV", "4200", ""}};
    in.has_before = true;
    in.before_file = QStringLiteral("before.json");
    in.duration_s = 2;
    in.shop = QStringLiteral("Volt & Co");
    in.analysis.limits.cell_disbalance_threshold_mv = 20;
    // Sized first and filled in place: GCC 12 misreads QVector::append of this type
    // as an overflow in a Release build.
    in.analysis.samples.resize(20);
    for (int n = 0; n < 20; ++n) {
        PackSample &s = in.analysis.samples[n];
        s.ms = 100 * n;
        s.current_ma = n % 2 ? -2000 : -12000;
        for (size_t k = 0; k < CELL_COUNT; ++k)
            s.cells_mv[k] = 3900 + static_cast<int>(0.008 * s.current_ma) - (k == 3 ? 60 : 0);
    }
    return in;
}

QStringList matches(const QString &text, const QString &pattern)
{
    QStringList found;
    auto it = QRegularExpression(pattern, QRegularExpression::MultilineOption).globalMatch(text);
    while (it.hasNext())
        found << it.next().captured(1);
    return found;
}

struct Sim {
    QProcess process;
    QString path;
    QJsonDocument truth; // with --truth: each cell's true figures
    explicit Sim(const QStringList &args)
    {
        process.start(QStringLiteral(BMS_SIM_PATH), args);
        process.waitForReadyRead(10000);
        path = QString::fromLocal8Bit(process.readLine()).trimmed();
        if (!args.contains(QStringLiteral("--truth")))
            return;
        if (!process.canReadLine())
            process.waitForReadyRead(10000);
        truth = QJsonDocument::fromJson(process.readLine());
    }
    ~Sim() { process.terminate(), process.waitForFinished(5000); }
};

} // namespace

class TestReport : public QObject
{
    Q_OBJECT

private slots:
    // Every section in the same order in both documents, headed by the verdict;
    // the finding, the verdict and who made it in all three formats.
    void formats_carry_the_same_content()
    {
        const ReportInput in = pack();
        const ReportAnalysis a = analyse(in.analysis);
        QCOMPARE(a.findings.size(), 1);
        const QString title = a.findings.first().title;
        QVERIFY(title.contains("cell 4"));

        const QString html = QString::fromUtf8(render_html(in, a));
        const QString md = QString::fromUtf8(render_markdown(in, a));
        const QJsonDocument json = QJsonDocument::fromJson(render_json(in, a));
        QStringList sections;
        for (const DocSection &s : build_report_document(in, a).sections)
            if (!s.title.isEmpty())
                sections << s.title;
        QVERIFY(sections.contains("Settings changed since before.json"));
        QCOMPARE(matches(html, "<h2>(.*)</h2>"), sections);
        QCOMPARE(matches(md, "^## (.*)$"), sections);
        for (const QString &text : {html, md}) {
            // Before the first section: who made it, then the verdict.
            const QString top = text.left(text.indexOf(sections.first()));
            QVERIFY2(top.contains("Shop: Volt &") && !top.contains("Technician") &&
                         top.contains("Verdict: attention.") &&
                         top.contains("Needs attention: cells out of balance"),
                     qPrintable(top));
            QVERIFY(text.contains("Made 2026-12-06 17:30 UTC+05:30"));
            QVERIFY(text.contains("Battery capacity, mAh") && !text.contains("capacity |"));
            QVERIFY2(!text.contains(QRegularExpression("\\w+_\\w+ = ")), "raw numbers");
        }
        QVERIFY(html.contains(title.toHtmlEscaped()) && md.contains(title));
        QVERIFY(md.contains("PK\\|7")); // a pipe stays inside its table cell
        QVERIFY(html.contains("<svg") && html.contains("pack current"));

        QCOMPARE(json["findings"][0]["title"].toString(), title);
        QCOMPARE(json["verdict"].toString(), QStringLiteral("attention"));
        QCOMPARE(json["verdict_reason"].toString(), a.verdict_reason);
        QCOMPARE(json["generated_at"].toString(), QStringLiteral("2026-12-06T12:00:00Z"));
        QCOMPARE(json["shop"].toString(), QStringLiteral("Volt & Co"));
        QVERIFY(json["technician"].isNull() && json["job"].isNull());
        QCOMPARE(json["settings"][0]["label"].toString(), QStringLiteral("Battery capacity, mAh"));
        QCOMPARE(json["cells"][3]["resistance_mohm"].toDouble(), 8.0);
        QCOMPARE(json["samples"][0]["current_direction"].toString(), QStringLiteral("out"));
    }

    // Too little change in the current: no resistance, and the reason in its place.
    void resistance_not_judged()
    {
        ReportInput in = pack();
        for (PackSample &s : in.analysis.samples)
            s.current_ma = -3000;
        const ReportAnalysis a = analyse(in.analysis);
        const QJsonDocument json = QJsonDocument::fromJson(render_json(in, a));
        QVERIFY(json["cells"][0]["resistance_mohm"].isNull());
        QVERIFY(json["cells"][0]["resistance_note"].toString().contains("could not be judged"));
        const QString md = QString::fromUtf8(render_markdown(in, a));
        QVERIFY(md.contains(QRegularExpression("^\\| 1 \\| [^\n]* \\| – \\|$",
                                               QRegularExpression::MultilineOption)));
    }

    // bmsctl against the simulator, three packs at once. One whose cell 3 has four
    // times the resistance of the others: every cell's figure within 20 % of the
    // simulator's truth, the verdict attention for cell 3 alone. A healthy one:
    // verdict ok. An empty one whose BMS keeps discharging below the undervoltage
    // limit: the one finding that says so, verdict fault. The shop and technician
    // come from report.conf, the job from the command line over the file's.
    void against_the_simulator()
    {
        QTemporaryDir config;
        QVERIFY(QDir(config.path()).mkpath("bmsctl"));
        QFile conf(config.filePath("bmsctl/report.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write("shop = Rad, Akku & Söhne\ntechnician = \"J. Novak\"\njob = 17\n"
                   "[other]\nshop = not this one\n");
        conf.close();

        const Sim weak({"--load", "ride", "--weak-cell", "3:4", "--truth"});
        const Sim healthy({"--load", "ride"});
        const Sim unsafe({"--load", "ride", "--soc", "0", "--protection-fault", "under"});
        // Its undervoltage delay at the shortest, 1 s, for a report that samples past
        // it, its grace and the poll cycle in 2 s.
        QProcess set;
        set.start(QStringLiteral(BMSCTL_PATH),
                  {"--port", unsafe.path, "--no-history", "set", "undervoltage_delay=1"});
        set.closeWriteChannel();
        QVERIFY2(set.waitForFinished(30000) && set.exitCode() == 0,
                 set.readAllStandardError().constData());
        // In real time, for the simulator's load is.
        QProcess reports[3];
        const QStringList args[3] = {
            {"--port", weak.path, "report", "--duration", "2", "--format", "json", "--job",
             "A-1147"},
            {"--port", healthy.path, "report", "--duration", "2", "--format", "md"},
            {"--port", unsafe.path, "report", "--duration", "2", "--format", "html"}};
        for (int i = 0; i < 3; ++i) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.remove("BMSCTL_TEST_DELAY_PERCENT"); // sampled in real time
            env.insert("XDG_CONFIG_HOME", config.path());
            // A history of its own each: the packs share a serial number, and a
            // report would compare with the other's.
            env.insert("XDG_DATA_HOME", config.filePath(QString::number(i)));
            reports[i].setProcessEnvironment(env);
            reports[i].start(QStringLiteral(BMSCTL_PATH), args[i]);
            reports[i].closeWriteChannel();
        }
        for (QProcess &r : reports)
            QVERIFY2(r.waitForFinished(30000) && r.exitCode() == 0,
                     r.readAllStandardError().constData());

        const QJsonDocument doc = QJsonDocument::fromJson(reports[0].readAllStandardOutput());
        QCOMPARE(doc["verdict"].toString(), QStringLiteral("attention"));
        QCOMPARE(doc["verdict_reason"].toString(),
                 QStringLiteral("Needs attention: cell 3 sags more than the others under load."));
        QCOMPARE(doc["shop"].toString(), QStringLiteral("Rad, Akku & Söhne"));
        QCOMPARE(doc["technician"].toString(), QStringLiteral("J. Novak"));
        QCOMPARE(doc["job"].toString(), QStringLiteral("A-1147"));
        const QJsonArray truth = weak.truth["resistance_mohm"].toArray();
        QCOMPARE(truth.size(), CELL_COUNT);
        for (int k = 0; k < CELL_COUNT; ++k) {
            const double seen = doc["cells"][k]["resistance_mohm"].toDouble();
            QVERIFY2(std::abs(seen - truth[k].toDouble()) <= 0.2 * truth[k].toDouble(),
                     qPrintable(QStringLiteral("cell %1: %2 mΩ, truly %3")
                                    .arg(k + 1)
                                    .arg(seen)
                                    .arg(truth[k].toDouble())));
        }
        const QJsonObject sample = doc["samples"][1].toObject();
        QVERIFY(sample["discharging_enabled"].toBool() && !sample["overheat"].toBool() &&
                sample["current_direction"] == QStringLiteral("out"));

        const QString md = QString::fromUtf8(reports[1].readAllStandardOutput());
        QVERIFY2(md.contains("Shop: Rad, Akku & Söhne · Technician: J. Novak · Job: 17\n\n"
                             "**Verdict: ok.** No findings"),
                 qPrintable(md.left(400)));

        const QString html = QString::fromUtf8(reports[2].readAllStandardOutput());
        QVERIFY2(html.contains("<strong>Verdict: fault.</strong> Unsafe now: the BMS did not stop "
                               "the discharge below the undervoltage limit.") &&
                     html.count("<div class=\"finding bad\"><h3>The BMS did not stop") == 1 &&
                     html.contains("stayed below the undervoltage limit of 3000 mV"),
                 qPrintable(html.mid(html.indexOf("<h2>Findings"), 1200)));
    }
};

QTEST_MAIN(TestReport)
#include "test_report.moc"
