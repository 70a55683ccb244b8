#ifndef CLI_REPORT_HISTORY_H
#define CLI_REPORT_HISTORY_H

// The report and the service history: what a report leaves in it, and how a
// report compares with the same pack's previous one.

#include "history_records.h"
#include "report/report.h"

#include <optional>

constexpr const char *FINDING_RESISTANCE_RISE = "resistance_rise";
// A cell's resistance has risen when it is up by more than this share of what
// the previous report measured and by at least this much: small figures move by
// a fraction of a milliohm from one ride to the next.
constexpr double RESISTANCE_RISE_SHARE = 0.30;
constexpr double RESISTANCE_RISE_MIN_MOHM = 3.0;

// Each cell's resistance as the report measured it; nothing where it could not.
CellResistances report_resistances(const ReportAnalysis &a);

// The verdict, the findings and each cell's resistance of a report.
ReportRecord report_record(const ReportAnalysis &a);

// A finding for every cell whose resistance rose past the rule since `previous`.
QVector<Finding> resistance_rises(const PreviousReport &previous, const CellResistances &now);

// The rises added to the findings, and the verdict judged again with them.
void compare_with_previous(ReportAnalysis &a, const PreviousReport &previous);

// The report in `format` (html, md, json) with what the history adds: JSON's
// top-level "previous" (generated_at, verdict, resistance_mohm: ten figures or
// null; null itself without a previous report), and in HTML and Markdown a
// "Since the last report" section when there is one.
QByteArray render_report(const QString &format, const ReportInput &in, const ReportAnalysis &a,
                         const std::optional<PreviousReport> &previous);

#endif // CLI_REPORT_HISTORY_H
