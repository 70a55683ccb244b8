#ifndef CLI_REPORT_MADE_BY_H
#define CLI_REPORT_MADE_BY_H

// Who a report is made by: the shop, the technician and the job number, from the
// command line or, for those not given there, from the user's report.conf (an INI
// file with the keys shop, technician and job at the top level). A shop sets its
// name once instead of typing it for every pack.

#include <QString>

struct MadeBy {
    QString shop, technician, job; // null: not given
};

// $XDG_CONFIG_HOME/bmsctl/report.conf, ~/.config/bmsctl/report.conf without it.
QString report_config_path();

// Fills what `made_by` leaves null from the file at `path`; a missing file gives
// nothing. False, with the reason in *problem, when the file cannot be read.
bool complete_made_by(MadeBy &made_by, const QString &path, QString *problem);

#endif // CLI_REPORT_MADE_BY_H
