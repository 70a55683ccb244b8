#include "report_history.h"

#include "report/document.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace
{

QJsonValue resistances_json(const CellResistances &r)
{
    if (std::none_of(r.begin(), r.end(), [](const std::optional<double> &x) { return bool(x); }))
        return QJsonValue();
    QJsonArray cells;
    for (const std::optional<double> &cell : r)
        cells.append(cell ? QJsonValue(qRound(*cell * 100) / 100.0) : QJsonValue());
    return cells;
}

QString mohm(double x)
{
    return QString::number(x, 'f', 1);
}

} // namespace

CellResistances report_resistances(const ReportAnalysis &a)
{
    CellResistances r;
    if (a.sag_judged)
        for (size_t k = 0; k < r.size(); ++k)
            r[k] = a.sag_mv_per_a[k];
    return r;
}

ReportRecord report_record(const ReportAnalysis &a)
{
    ReportRecord record;
    record.verdict = QLatin1String(verdict_name(a.verdict));
    for (const Finding &f : a.findings)
        record.findings.append(QJsonObject{{QStringLiteral("kind"), f.kind},
                                           {QStringLiteral("cell"), f.cell},
                                           {QStringLiteral("fault"), f.fault},
                                           {QStringLiteral("title"), f.title}});
    record.resistance_mohm = report_resistances(a);
    return record;
}

QVector<Finding> resistance_rises(const PreviousReport &previous, const CellResistances &now)
{
    QVector<Finding> rises;
    const QString when = previous.generated_at.toUTC().toString(QStringLiteral("yyyy-MM-dd"));
    for (size_t k = 0; k < now.size(); ++k) {
        const std::optional<double> &before = previous.resistance_mohm[k];
        if (!before || !now[k])
            continue;
        const double rise = *now[k] - *before;
        if (rise <= RESISTANCE_RISE_SHARE * *before || rise < RESISTANCE_RISE_MIN_MOHM)
            continue;
        const int cell = static_cast<int>(k) + 1;
        Finding f;
        f.kind = QLatin1String(FINDING_RESISTANCE_RISE);
        f.cell = cell;
        f.title = QStringLiteral("Cell %1's resistance rose from %2 to %3 mΩ since the last "
                                 "report")
                      .arg(cell)
                      .arg(mohm(*before), mohm(*now[k]));
        f.reason = QStringLiteral("Cell %1 measured %2 mΩ on %3 and %4 mΩ now, %5 % more; a rise "
                                  "of more than %6 % and at least %7 mΩ marks a cell that is "
                                  "ageing faster than its neighbours.")
                       .arg(cell)
                       .arg(mohm(*before), when, mohm(*now[k]))
                       .arg(qRound(100 * rise / *before))
                       .arg(qRound(100 * RESISTANCE_RISE_SHARE))
                       .arg(RESISTANCE_RISE_MIN_MOHM);
        f.numbers = QJsonObject{{QStringLiteral("previous_mohm"), qRound(*before * 100) / 100.0},
                                {QStringLiteral("now_mohm"), qRound(*now[k] * 100) / 100.0},
                                {QStringLiteral("previous_report"),
                                 previous.generated_at.toUTC().toString(Qt::ISODate)}};
        rises.append(f);
    }
    return rises;
}

void compare_with_previous(ReportAnalysis &a, const PreviousReport &previous)
{
    const QVector<Finding> rises = resistance_rises(previous, report_resistances(a));
    if (rises.isEmpty())
        return;
    a.findings += rises;
    // A rise is no danger now: it makes an ok pack one to watch, and joins the
    // reasons of one that needs attention already.
    QStringList titles;
    for (const Finding &f : rises)
        titles << QStringLiteral("cell %1's resistance rose since the last report").arg(f.cell);
    if (a.verdict == Verdict::Ok) {
        a.verdict = Verdict::Attention;
        a.verdict_reason =
            QStringLiteral("Needs attention: %1.").arg(titles.join(QStringLiteral("; ")));
    } else if (a.verdict == Verdict::Attention) {
        if (a.verdict_reason.endsWith(QLatin1Char('.')))
            a.verdict_reason.chop(1);
        a.verdict_reason += QStringLiteral("; %1.").arg(titles.join(QStringLiteral("; ")));
    }
}

namespace
{

QJsonValue previous_json(const std::optional<PreviousReport> &previous)
{
    if (!previous)
        return QJsonValue();
    return QJsonObject{
        {QStringLiteral("generated_at"), previous->generated_at.toUTC().toString(Qt::ISODate)},
        {QStringLiteral("verdict"), previous->verdict},
        {QStringLiteral("resistance_mohm"), resistances_json(previous->resistance_mohm)}};
}

DocSection since_section(const PreviousReport &previous, const ReportAnalysis &a)
{
    DocSection s{QStringLiteral("Since the last report"), {}};
    DocBlock intro;
    intro.kind = DocBlock::Text;
    intro.text =
        QStringLiteral("The last report on this pack was made %1 UTC; its verdict was %2.")
            .arg(previous.generated_at.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm")),
                 previous.verdict.isEmpty() ? QStringLiteral("not recorded") : previous.verdict);
    s.blocks.append(intro);
    const CellResistances now = report_resistances(a);
    const auto figure = [](const std::optional<double> &x) {
        return x ? fixed_text(*x, 1) : QStringLiteral("–");
    };
    DocBlock table;
    table.kind = DocBlock::Table;
    table.table.kind = DocTable::Figures;
    table.table.header = QStringList{QStringLiteral("Cell"), QStringLiteral("Then, mΩ"),
                                     QStringLiteral("Now, mΩ"), QStringLiteral("Change")};
    bool any = false;
    for (size_t k = 0; k < now.size(); ++k) {
        const std::optional<double> &then = previous.resistance_mohm[k];
        any = any || then || now[k];
        QString change = QStringLiteral("–");
        if (then && now[k] && *then > 0) {
            change = fixed_text(100 * (*now[k] - *then) / *then, 0);
            if (change != QLatin1String("0") && !change.startsWith(QLatin1Char('-')))
                change.prepend(QLatin1Char('+'));
            change += QStringLiteral(" %");
        }
        table.table.rows.append({QString::number(k + 1), figure(then), figure(now[k]), change});
    }
    if (any) {
        s.blocks.append(table);
    } else {
        DocBlock note;
        note.kind = DocBlock::Note;
        note.text = QStringLiteral("Neither report could measure the cells' resistance: that "
                                   "takes a current that changes by several amperes while it "
                                   "is sampled.");
        s.blocks.append(note);
    }
    return s;
}

} // namespace

QByteArray render_report(const QString &format, const ReportInput &in, const ReportAnalysis &a,
                         const std::optional<PreviousReport> &previous)
{
    if (format == QLatin1String("json")) {
        QJsonObject root = QJsonDocument::fromJson(render_json(in, a)).object();
        root.insert(QStringLiteral("previous"), previous_json(previous));
        return QJsonDocument(root).toJson(QJsonDocument::Indented);
    }
    ReportDocument doc = build_report_document(in, a);
    if (previous) {
        // Right after the findings, which name any cell that rose.
        int at = 0;
        while (at < doc.sections.size() && doc.sections[at].title != QLatin1String("Findings"))
            ++at;
        doc.sections.insert(qMin(at + 1, doc.sections.size()), since_section(*previous, a));
    }
    return format == QLatin1String("md") ? write_markdown(doc)
                                         : write_html(doc, render_cell_chart_svg(in, a));
}
