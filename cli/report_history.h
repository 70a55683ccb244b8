#ifndef CLI_REPORT_HISTORY_H
#define CLI_REPORT_HISTORY_H

// The report and the service history: what a report leaves in it, and how a
// report compares with the same pack's previous one.

#include "history_records.h"
#include "report/report.h"

// The verdict, the findings and each cell's resistance of a report.
ReportRecord report_record(const ReportAnalysis &a);

#endif // CLI_REPORT_HISTORY_H
