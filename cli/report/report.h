#ifndef CLI_REPORT_REPORT_H
#define CLI_REPORT_REPORT_H

// The service report of one pack: what the pack is, how it is set up and how it
// behaved while it was sampled, with the findings a technician would act on. The
// judgement itself is analyse() in the core; here it is laid out as one document
// (document.h) that render_html() and render_markdown() write in their own syntax,
// and as JSON for machines.
//
// render_html() and render_cell_chart_svg() draw the chart's text with QPainter,
// which needs fonts: the caller must have constructed a QGuiApplication (the
// "offscreen" platform is enough, no display is needed). Without one the chart is
// left out and the page says so. render_markdown() and render_json() need QtCore
// only.

#include "report/analysis.h"

#include <QByteArray>
#include <QDateTime>
#include <QSize>
#include <QString>
#include <QVector>

struct ReportSetting {
    QString name;  // as typed on the command line
    QString label; // as the window shows it, with its unit
    QString unit;
    QString value;  // in the window's units, as text
    QString before; // value in the backup when it differs; empty otherwise
};

struct ReportInput {
    PackIdentity identity;
    QDateTime generated_at; // UTC
    QDateTime started_at;   // UTC; the first sample; invalid: unknown
    QString tool_version;
    // Who made the report, for the customer; null when not given.
    QString shop, technician, job;
    QVector<ReportSetting> settings; // every setting, in table order
    bool has_before = false;         // compared with a backup: `before` is filled
    QString before_file;
    int duration_s = 0; // sampling time asked for
    AnalysisInput analysis;
};

QByteArray render_html(const ReportInput &in, const ReportAnalysis &a);
QByteArray render_markdown(const ReportInput &in, const ReportAnalysis &a);
QByteArray render_json(const ReportInput &in, const ReportAnalysis &a);

// The ten cell voltages over the sampling, and the pack current under them, as an
// SVG document of `size` pixels;
// cells named by a finding are drawn heavier. Empty without samples or without a
// QGuiApplication.
QByteArray render_cell_chart_svg(const ReportInput &in, const ReportAnalysis &a,
                                 QSize size = QSize(900, 500));

#endif // CLI_REPORT_REPORT_H
