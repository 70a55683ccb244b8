#include "report_history.h"

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
    record.verdict = a.findings.isEmpty() ? QStringLiteral("ok") : QStringLiteral("attention");
    for (const Finding &f : a.findings)
        record.findings.append(QJsonObject{{QStringLiteral("kind"), f.kind},
                                           {QStringLiteral("cell"), f.cell},
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

QJsonValue previous_json(const std::optional<PreviousReport> &previous)
{
    if (!previous)
        return QJsonValue();
    return QJsonObject{
        {QStringLiteral("generated_at"), previous->generated_at.toUTC().toString(Qt::ISODate)},
        {QStringLiteral("verdict"), previous->verdict},
        {QStringLiteral("resistance_mohm"), resistances_json(previous->resistance_mohm)}};
}

QByteArray with_previous(const QByteArray &json, const std::optional<PreviousReport> &previous)
{
    QJsonObject root = QJsonDocument::fromJson(json).object();
    root.insert(QStringLiteral("previous"), previous_json(previous));
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}
