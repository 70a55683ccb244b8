#include "report_history.h"

ReportRecord report_record(const ReportAnalysis &a)
{
    ReportRecord record;
    record.verdict = a.findings.isEmpty() ? QStringLiteral("ok") : QStringLiteral("attention");
    for (const Finding &f : a.findings)
        record.findings.append(QJsonObject{{QStringLiteral("kind"), f.kind},
                                           {QStringLiteral("cell"), f.cell},
                                           {QStringLiteral("title"), f.title}});
    if (a.sag_judged)
        for (int k = 0; k < CELL_COUNT; ++k)
            record.resistance_mohm[static_cast<size_t>(k)] = a.sag_mv_per_a[static_cast<size_t>(k)];
    return record;
}
