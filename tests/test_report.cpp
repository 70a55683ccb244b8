// The service report as written: the same document in HTML and Markdown, the same
// findings in every format.

#include "document.h"
#include "report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
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
    in.settings = {{"capacity", "mAh", "8000", "7000"}, {"overvoltage", "mV", "4200", ""}};
    in.has_before = true;
    in.before_file = QStringLiteral("before.json");
    in.duration_s = 2;
    in.analysis.limits.cell_disbalance_threshold_mv = 20;
    for (int n = 0; n < 20; ++n) {
        PackSample s;
        s.ms = 100 * n;
        s.current_ma = n % 2 ? -2000 : -12000;
        for (size_t k = 0; k < CELL_COUNT; ++k)
            s.cells_mv[k] = 3900 + static_cast<int>(0.008 * s.current_ma) - (k == 3 ? 60 : 0);
        in.analysis.samples.append(s);
    }
    return in;
}

QStringList headings(const QString &text, const QString &pattern)
{
    QStringList found;
    auto it = QRegularExpression(pattern, QRegularExpression::MultilineOption).globalMatch(text);
    while (it.hasNext())
        found << it.next().captured(1);
    return found;
}

} // namespace

class TestReport : public QObject
{
    Q_OBJECT

private slots:
    // Every section, in the same order, in both documents; the finding in all three.
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
            sections << s.title;
        QVERIFY(sections.contains("Settings changed since before.json"));
        QCOMPARE(headings(html, "<h2>(.*)</h2>"), sections);
        QCOMPARE(headings(md, "^## (.*)$"), sections);
        QVERIFY(html.contains(title.toHtmlEscaped()) && md.contains(title));
        QCOMPARE(json["findings"][0]["title"].toString(), title);
        // A text with a pipe stays one table cell in Markdown.
        QVERIFY(md.contains("PK\\|7"));
        QVERIFY(html.contains("<svg"));
    }
};

QTEST_MAIN(TestReport)
#include "test_report.moc"
