#include "document.h"

#include <cstdlib>

namespace
{

// The offset of local time from UTC, "UTC+01:00"; "UTC" when there is none.
QString offset_text(const QDateTime &local)
{
    const int offset_min = local.offsetFromUtc() / 60;
    if (offset_min == 0)
        return QStringLiteral("UTC");
    return QStringLiteral("UTC%1%2:%3")
        .arg(offset_min < 0 ? '-' : '+')
        .arg(std::abs(offset_min) / 60, 2, 10, QLatin1Char('0'))
        .arg(std::abs(offset_min) % 60, 2, 10, QLatin1Char('0'));
}

// The technician reads local time; the offset keeps it unambiguous on paper.
QString date_text(const QDateTime &t)
{
    const QDateTime local = t.toLocalTime();
    return local.toString(QStringLiteral("yyyy-MM-dd HH:mm ")) + offset_text(local);
}

QString clock_text(const QDateTime &t)
{
    return t.toLocalTime().toString(QStringLiteral("HH:mm:ss"));
}

QString sag_summary(const ReportAnalysis &a)
{
    if (!a.sag_judged)
        return a.sag_note;
    return QStringLiteral("Each cell's internal resistance is its voltage change per ampere of "
                          "current change, judged over a current range of %1 A: median %2 mΩ; "
                          "a cell is named above %3 times the median and at least %4 mΩ above "
                          "it.")
        .arg(fixed_text(a.current_range_a, 1), fixed_text(a.sag_median_mv_per_a, 1),
             fixed_text(SAG_FACTOR, 1), fixed_text(SAG_MARGIN_MV_PER_A, 0));
}

QString sampling_text(const ReportInput &in, const ReportAnalysis &a)
{
    QString text = QStringLiteral("%1 samples over %2 s (%3 s asked for)")
                       .arg(a.sample_count)
                       .arg(fixed_text(a.span_s, 1))
                       .arg(in.duration_s);
    if (in.started_at.isValid())
        text += QStringLiteral(", from %1 to %2 (%3)")
                    .arg(clock_text(in.started_at),
                         clock_text(in.started_at.addMSecs(qRound64(a.span_s * 1000))),
                         offset_text(in.started_at.toLocalTime()));
    text += '.';
    if (a.silences.size() == 1) {
        const Silence &s = a.silences.first();
        text += QStringLiteral(" The BMS did not answer between %1 s and %2 s: there are no "
                               "samples in between.")
                    .arg(fixed_text(s.from_ms / 1000.0, 1), fixed_text(s.to_ms / 1000.0, 1));
    } else if (a.silences.size() > 1) {
        qint64 silent_ms = 0;
        for (const Silence &s : a.silences)
            silent_ms += s.to_ms - s.from_ms;
        text += QStringLiteral(" The BMS did not answer %1 times, for %2 s in all: there are "
                               "no samples in those gaps.")
                    .arg(a.silences.size())
                    .arg(fixed_text(silent_ms / 1000.0, 1));
    }
    return text;
}

DocBlock text_block(DocBlock::Kind kind, const QString &text)
{
    DocBlock b;
    b.kind = kind;
    b.text = text;
    return b;
}

DocBlock table_block(DocTable::Kind kind, const QStringList &header,
                     const QVector<QStringList> &rows, int numeric_from = 1)
{
    DocBlock b;
    b.kind = DocBlock::Table;
    b.table = {kind, header, rows, numeric_from};
    return b;
}

DocSection pack_section(const ReportInput &in)
{
    const PackIdentity &id = in.identity;
    DocSection s{QStringLiteral("Pack"),
                 {table_block(DocTable::KeyValues, {},
                              {{"Serial number", id.serial_number},
                               {"BMS serial", id.bms_serial},
                               {"Firmware", QString::number(id.firmware)},
                               {"Capacity", QString::number(id.capacity_mah) + " mAh"},
                               {"Date of production", id.date_of_production}})}};
    s.blocks.first().table.halves = true;
    return s;
}

DocSection findings_section(const ReportAnalysis &a)
{
    DocSection s{QStringLiteral("Findings"), {}};
    if (a.sample_count > 0 && a.findings.isEmpty()) {
        DocBlock b = text_block(DocBlock::Callout, "The cells, their balance, the temperatures "
                                                   "and the BMS's protections stayed within the "
                                                   "BMS's own limits.");
        b.title = QStringLiteral("No findings.");
        s.blocks.append(b);
    }
    for (const Finding &f : a.findings) {
        DocBlock b = text_block(DocBlock::Finding, f.reason);
        b.title = f.title;
        b.tone = f.fault ? DocBlock::Bad : DocBlock::Warning;
        s.blocks.append(b);
    }
    s.blocks.append(text_block(DocBlock::Note, sag_summary(a)));
    return s;
}

DocSection sampling_section(const ReportInput &in, const ReportAnalysis &a)
{
    struct Row {
        QString name, unit;
        Stat stat;
        double scale;
        int decimals;
    };
    QVector<Row> quantities{{"Pack voltage", "V", a.voltage_mv, 1000, 2},
                            {"Current", "A", a.current_ma, 1000, 2},
                            {"Remaining charge", "mAh", a.remaining_mah, 1, 0},
                            {"State of charge", "%", a.soc_percent, 1, 0},
                            {"Temperature T1", "°C", a.t1_c, 1, 1},
                            {"Temperature T2", "°C", a.t2_c, 1, 1},
                            {"Cell spread, as read", "mV", a.spread_mv, 1, 1}};
    // Under load a weak cell alone widens the spread as read; the balance of the
    // cells is the spread they would show at rest.
    if (a.sag_judged)
        quantities.append(
            {"Cell spread, each cell's drop under load taken out", "mV", a.rest_spread_mv, 1, 1});
    QVector<QStringList> rows;
    for (const Row &r : quantities)
        rows.append({r.name, r.unit, fixed_text(r.stat.min / r.scale, r.decimals),
                     fixed_text(r.stat.mean / r.scale, r.decimals),
                     fixed_text(r.stat.max / r.scale, r.decimals)});
    return {QStringLiteral("The pack over the sampling"),
            {text_block(DocBlock::Note, sampling_text(in, a)),
             table_block(DocTable::Figures, {"Quantity", "Unit", "Min", "Mean", "Max"}, rows, 2)}};
}

DocSection cells_section(const ReportAnalysis &a)
{
    QVector<QStringList> rows;
    for (size_t i = 0; i < CELL_COUNT; ++i)
        rows.append({QString::number(i + 1), fixed_text(a.cell_mv[i].min),
                     fixed_text(a.cell_mv[i].mean, 1), fixed_text(a.cell_mv[i].max),
                     fixed_text(100 * a.balancing_share[i]) + " %",
                     a.sag_judged ? fixed_text(a.sag_mv_per_a[i], 1) : QStringLiteral("–")});
    DocSection s{
        QStringLiteral("Cells"),
        {table_block(DocTable::Figures,
                     {"Cell", "Min, mV", "Mean, mV", "Max, mV", "Balancing", "Resistance, mΩ"},
                     rows)}};
    return s;
}

DocSection chart_section(const ReportAnalysis &a)
{
    DocSection s;
    if (a.sample_count > 0)
        s.blocks.append(
            text_block(DocBlock::Chart, "The chart of the cell voltages could not be drawn here."));
    return s;
}

// The discharge curve's eleven points may break between them on a narrow page.
QString wrappable(const ReportSetting &s, QString text)
{
    return s.name == QLatin1String("discharge_curve") ? text.replace(',', ", ") : text;
}

QVector<DocSection> settings_sections(const ReportInput &in)
{
    QVector<DocSection> sections;
    if (in.has_before) {
        QVector<QStringList> rows;
        for (const ReportSetting &s : in.settings)
            if (!s.before.isEmpty())
                rows.append({s.label, wrappable(s, s.before), wrappable(s, s.value)});
        sections.append(
            {QStringLiteral("Settings changed since %1").arg(in.before_file),
             {rows.isEmpty()
                  ? text_block(DocBlock::Text, "None: every setting is as in the backup.")
                  : table_block(DocTable::Texts, {"Setting", "Before", "Now"}, rows)}});
    }
    QVector<QStringList> rows;
    for (const ReportSetting &s : in.settings)
        rows.append({s.label, wrappable(s, s.value)});
    DocBlock table = table_block(DocTable::Texts, {"Setting", "Value"}, rows);
    table.table.halves = true;
    sections.append({QStringLiteral("Settings"), {table}});
    return sections;
}

// --- HTML ---

QString esc(const QString &s)
{
    return s.toHtmlEscaped();
}

QString html_table(const DocTable &t);

// Two tables side by side, the first half of the rows left: a list of 29
// settings then takes half the height of a printed page.
QString html_halves(const DocTable &t)
{
    DocTable left = t, right = t;
    left.halves = right.halves = false;
    const int split = (t.rows.size() + 1) / 2;
    left.rows = t.rows.mid(0, split);
    right.rows = t.rows.mid(split);
    return "<div class=halves>\n" + html_table(left) + html_table(right) + "</div>\n";
}

QString html_table(const DocTable &t)
{
    if (t.halves && t.rows.size() > 1)
        return html_halves(t);
    if (t.kind == DocTable::KeyValues) {
        QString h = "<table class=identity>\n";
        for (const QStringList &r : t.rows)
            h += QStringLiteral("<tr><th>%1</th><td>%2</td></tr>\n")
                     .arg(esc(r.value(0)), esc(r.value(1)));
        return h + "</table>\n";
    }
    // Tables of texts keep to the width of their content; figures line up right.
    const int numeric_from = t.kind == DocTable::Texts ? t.header.size() : t.numeric_from;
    QString h =
        t.kind == DocTable::Texts ? "<table class=texts>\n<thead><tr>" : "<table>\n<thead><tr>";
    for (int c = 0; c < t.header.size(); ++c)
        h += QStringLiteral("<th%1>%2</th>")
                 .arg(c >= numeric_from ? " class=n" : "", esc(t.header[c]));
    h += "</tr></thead>\n<tbody>\n";
    for (const QStringList &r : t.rows) {
        h += "<tr>";
        for (int c = 0; c < r.size(); ++c)
            h +=
                QStringLiteral("<td%1>%2</td>").arg(c >= numeric_from ? " class=n" : "", esc(r[c]));
        h += "</tr>\n";
    }
    return h + "</tbody></table>\n";
}

const char *const CSS = R"(
body { font: 14px/1.45 "DejaVu Sans", "Liberation Sans", Arial, sans-serif; color: #1a1a1a;
       background: #fff; max-width: 940px; margin: 24px auto; padding: 0 20px; }
h1 { font-size: 22px; margin: 0 0 4px; }
h2 { font-size: 17px; margin: 24px 0 8px; padding-bottom: 3px; border-bottom: 1px solid #bbb; }
p.meta { color: #555; margin: 0 0 10px; }
table { border-collapse: collapse; width: 100%; margin: 6px 0 10px; }
th, td { border: 1px solid #c8c8c8; padding: 3px 8px; text-align: left; vertical-align: top; }
th { background: #f0f0f0; }
.n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
table.identity, table.texts { width: auto; min-width: 50%; }
table.texts td:last-child { white-space: nowrap; }
table.identity th { font-weight: normal; color: #444; }
.halves { display: flex; gap: 16px; align-items: flex-start; }
.halves table { min-width: 0; flex: 1; }
.finding, .callout { border-left: 5px solid; padding: 8px 12px; margin: 8px 0; }
.good { border-color: #2e7d32; background: #edf6ee; }
.warning { border-color: #c77700; background: #fdf3e4; }
.bad { border-color: #c0392b; background: #fbeeed; }
.finding h3 { font-size: 15px; margin: 0 0 4px; }
.finding p, .callout p { margin: 0; }
.callout p strong { font-size: 16px; text-transform: uppercase; letter-spacing: 0.02em; }
.note { color: #444; }
figure { margin: 8px 0; }
figure svg { width: 100%; height: auto; display: block; }
.pair section + section { margin-top: 0; }
@page { size: A4; margin: 10mm 12mm; }
@media print {
  body { color: #000; background: #fff; margin: 0; max-width: none; padding: 0;
         font-size: 8pt; line-height: 1.25; }
  h1 { font-size: 13pt; margin: 0; }
  h2 { font-size: 10pt; margin: 6pt 0 2pt; padding-bottom: 1pt; }
  p.meta { margin: 0 0 3pt; }
  .finding h3 { font-size: 8.5pt; margin: 0; }
  th, td { padding: 0.3pt 4pt; }
  table { margin: 2pt 0 3pt; font-size: 7.5pt; line-height: 1.2; }
  .finding, .callout { padding: 2pt 6pt; margin: 3pt 0; border-left-width: 4pt; }
  .good, .warning, .bad { background: none; }
  .callout p strong { font-size: 9pt; }
  th { background: none; }
  thead { display: table-header-group; }
  tr, .finding, .callout, figure, .halves { break-inside: avoid; page-break-inside: avoid; }
  h2, h3 { break-after: avoid; page-break-after: avoid; }
  .pair { display: flex; gap: 10pt; align-items: flex-start; }
  .pair > section { flex: 1; min-width: 0; }
  .pair th.n { white-space: normal; }
  .halves { gap: 10pt; }
  table.texts td:first-child { white-space: nowrap; }
  table.texts td:last-child { white-space: normal; }
  figure { margin: 3pt 0; }
  figure svg { width: 66%; margin: 0 auto; }
}
)";

const char *tone_class(DocBlock::Tone tone)
{
    switch (tone) {
    case DocBlock::Good:
        return "good";
    case DocBlock::Warning:
        return "warning";
    case DocBlock::Bad:
        break;
    }
    return "bad";
}

QString html_block(const DocBlock &b, const QByteArray &chart_svg)
{
    switch (b.kind) {
    case DocBlock::Text:
        return QStringLiteral("<p>%1</p>\n").arg(esc(b.text));
    case DocBlock::Note:
        return QStringLiteral("<p class=note>%1</p>\n").arg(esc(b.text));
    case DocBlock::Callout:
        return QStringLiteral("<div class=\"callout %1\"><p>%2%3</p></div>\n")
            .arg(tone_class(b.tone),
                 b.title.isEmpty() ? QString()
                                   : QStringLiteral("<strong>%1</strong> ").arg(esc(b.title)),
                 esc(b.text));
    case DocBlock::Finding:
        return QStringLiteral("<div class=\"finding %1\"><h3>%2</h3><p>%3</p></div>\n")
            .arg(tone_class(b.tone), esc(b.title), esc(b.text));
    case DocBlock::Table:
        return html_table(b.table);
    case DocBlock::Chart:
        // Inline, without the XML prologue the generator writes before <svg>.
        if (!chart_svg.isEmpty())
            return "<figure>\n" + QString::fromUtf8(chart_svg.mid(chart_svg.indexOf("<svg"))) +
                   "</figure>\n";
        return QStringLiteral("<p class=note>%1</p>\n").arg(esc(b.text));
    }
    return {};
}

// --- Markdown ---

QString md_table(const DocTable &t)
{
    const auto cell = [](QString s) { return s.replace('|', "\\|"); };
    const QStringList header = t.kind == DocTable::KeyValues ? QStringList{"", ""} : t.header;
    const int numeric_from = t.kind == DocTable::Figures ? t.numeric_from : header.size();
    QString m = "| " + header.join(" | ") + " |\n|";
    for (int c = 0; c < header.size(); ++c)
        m += c < numeric_from ? "---|" : "---:|";
    m += '\n';
    for (const QStringList &r : t.rows) {
        QStringList escaped;
        for (const QString &s : r)
            escaped << cell(s);
        m += "| " + escaped.join(" | ") + " |\n";
    }
    return m + '\n';
}

QString md_block(const DocBlock &b)
{
    switch (b.kind) {
    case DocBlock::Text:
    case DocBlock::Note:
        return b.text + "\n\n";
    case DocBlock::Callout:
        return (b.title.isEmpty() ? QString() : "**" + b.title + "** ") + b.text + "\n\n";
    case DocBlock::Finding:
        return QStringLiteral("- **%1.** %2\n").arg(b.title, b.text);
    case DocBlock::Table:
        return md_table(b.table);
    case DocBlock::Chart:
        return {}; // tables only
    }
    return {};
}

} // namespace

ReportDocument build_report_document(const ReportInput &in, const ReportAnalysis &a)
{
    ReportDocument doc;
    doc.name = QStringLiteral("Service report, pack %1").arg(in.identity.serial_number);
    doc.title = QStringLiteral("Battery service report: pack %1").arg(in.identity.serial_number);
    doc.meta =
        QStringLiteral("Made %1 by bmsctl %2").arg(date_text(in.generated_at), in.tool_version);
    QStringList made_by;
    if (!in.shop.isNull())
        made_by << QStringLiteral("Shop: ") + in.shop;
    if (!in.technician.isNull())
        made_by << QStringLiteral("Technician: ") + in.technician;
    if (!in.job.isNull())
        made_by << QStringLiteral("Job: ") + in.job;
    if (!made_by.isEmpty())
        doc.lead.append(text_block(DocBlock::Text, made_by.join(QStringLiteral(" · "))));
    DocBlock verdict = text_block(DocBlock::Callout, a.verdict_reason);
    verdict.title = QStringLiteral("Verdict: %1.").arg(verdict_name(a.verdict));
    verdict.tone = a.verdict == Verdict::Fault       ? DocBlock::Bad
                   : a.verdict == Verdict::Attention ? DocBlock::Warning
                                                     : DocBlock::Good;
    doc.lead.append(verdict);
    doc.sections = {pack_section(in), findings_section(a), sampling_section(in, a),
                    cells_section(a), chart_section(a)};
    doc.sections[2].beside_next = true;
    doc.sections += settings_sections(in);
    return doc;
}

QByteArray write_html(const ReportDocument &doc, const QByteArray &chart_svg)
{
    QString h = "<!DOCTYPE html>\n<html lang=en>\n<head>\n<meta charset=utf-8>\n";
    h += QStringLiteral("<title>%1</title>\n").arg(esc(doc.name));
    h += QStringLiteral("<style>%1</style>\n</head>\n<body>\n").arg(CSS);
    h += QStringLiteral("<h1>%1</h1>\n").arg(esc(doc.title));
    h += QStringLiteral("<p class=meta>%1</p>\n").arg(esc(doc.meta));
    for (const DocBlock &b : doc.lead)
        h += html_block(b, chart_svg);
    bool paired = false;
    for (const DocSection &s : doc.sections) {
        if (s.beside_next && !paired)
            h += "<div class=pair>\n";
        h += "<section>\n";
        if (!s.title.isEmpty())
            h += QStringLiteral("<h2>%1</h2>\n").arg(esc(s.title));
        for (const DocBlock &b : s.blocks)
            h += html_block(b, chart_svg);
        h += "</section>\n";
        if (paired)
            h += "</div>\n";
        paired = s.beside_next && !paired;
    }
    h += "</body>\n</html>\n";
    return h.toUtf8();
}

QByteArray write_markdown(const ReportDocument &doc)
{
    QString m = QStringLiteral("# %1\n\n%2\n\n").arg(doc.title, doc.meta);
    for (const DocBlock &b : doc.lead)
        m += md_block(b);
    for (const DocSection &s : doc.sections) {
        if (!s.title.isEmpty())
            m += QStringLiteral("## %1\n\n").arg(s.title);
        for (int k = 0; k < s.blocks.size(); ++k) {
            m += md_block(s.blocks[k]);
            // A list of findings ends with a blank line.
            if (s.blocks[k].kind == DocBlock::Finding &&
                (k + 1 == s.blocks.size() || s.blocks[k + 1].kind != DocBlock::Finding))
                m += '\n';
        }
    }
    return m.toUtf8();
}
