#ifndef CLI_REPORT_REPORT_H
#define CLI_REPORT_REPORT_H

// The service report of one pack: what the pack is, how it is set up and how it
// behaved while it was sampled, with the findings a technician would act on.
// analyse() turns the samples into figures and findings; the render_* functions
// write the same content as one self-contained HTML page, as Markdown and as JSON.
//
// render_html() and render_cell_chart_svg() draw the chart's text with QPainter,
// which needs fonts: the caller must have constructed a QGuiApplication (the
// "offscreen" platform is enough, no display is needed). Without one the chart is
// left out and the page says so. analyse(), render_markdown() and render_json()
// need QtCore only.

#include "monitor/display.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QSize>
#include <QString>
#include <QVector>

#include <array>

// Samples further apart than this have a silence of the BMS between them: nothing
// was measured there, and the chart leaves it blank.
constexpr qint64 REPORT_GAP_MS = 1000;

// One sample of the live registers, decoded as the window decodes them.
struct PackSample : PackState {
    qint64 ms = 0; // since the start of sampling
};

struct ReportSetting {
    QString name;
    QString unit;
    QString value;  // in the window's units, as text
    QString before; // value in the backup when it differs; empty otherwise
};

struct ReportInput {
    PackIdentity identity;
    QDateTime generated_at; // UTC
    QString tool_version;
    QVector<ReportSetting> settings; // every setting, in table order
    bool has_before = false;         // compared with a backup: `before` is filled
    QString before_file;
    // The BMS's own thresholds, from its settings; 0 leaves that check out.
    int cell_disbalance_threshold_mv = 0, undervoltage_mv = 0, overvoltage_mv = 0;
    int critical_temperature_c = 0, critical_temperature_hysteresis_c = 0;
    QVector<PackSample> samples;
    int duration_s = 0; // sampling time asked for
};

// Finding kinds.
constexpr const char *FINDING_UNDERVOLTAGE = "cell_undervoltage";
constexpr const char *FINDING_OVERVOLTAGE = "cell_overvoltage";
constexpr const char *FINDING_TEMPERATURE = "temperature_near_critical";
constexpr const char *FINDING_SAG = "cell_sag";
constexpr const char *FINDING_SPREAD = "cell_spread";

struct Finding {
    QString kind;        // one of FINDING_*
    int cell = 0;        // 1..10, 0 = the pack as a whole
    QString title;       // one line
    QString reason;      // what was seen and the rule it broke, with the figures
    QJsonObject numbers; // the figures behind it, for machines
};

// A cell sags more than the others when its voltage-per-ampere slope exceeds the
// median of the ten both by this factor and by this margin. The fit is only trusted
// when the current spanned at least SAG_MIN_CURRENT_RANGE_A over SAG_MIN_SAMPLES.
constexpr double SAG_FACTOR = 1.8;
constexpr double SAG_MARGIN_MV_PER_A = 8.0;
constexpr double SAG_MIN_CURRENT_RANGE_A = 5.0;
constexpr int SAG_MIN_SAMPLES = 10;

struct Stat {
    double min = 0, mean = 0, max = 0;
};

struct ReportAnalysis {
    int sample_count = 0;
    double span_s = 0; // first to last sample
    Stat voltage_mv, current_ma, remaining_mah, soc_percent, t1_c, t2_c;
    std::array<Stat, CELL_COUNT> cell_mv{};
    // The spread with each cell's own drop under load taken out; only when sag_judged.
    Stat rest_spread_mv;
    Stat spread_mv;                                   // highest minus lowest cell, per sample
    std::array<double, CELL_COUNT> balancing_share{}; // 0..1 of the samples
    bool sag_judged = false;
    QString sag_note; // why the sag could not be judged; empty when it was
    double current_range_a = 0;
    std::array<double, CELL_COUNT> sag_mv_per_a{}; // least-squares slope, ~ mOhm
    double sag_median_mv_per_a = 0;
    QVector<Finding> findings; // empty: nothing to report
};

ReportAnalysis analyse(const ReportInput &in);

QByteArray render_html(const ReportInput &in, const ReportAnalysis &a);
QByteArray render_markdown(const ReportInput &in, const ReportAnalysis &a);
QByteArray render_json(const ReportInput &in, const ReportAnalysis &a);

// The ten cell voltages over the sampling as an SVG document of `size` pixels;
// cells named by a finding are drawn heavier. Empty without samples or without a
// QGuiApplication.
QByteArray render_cell_chart_svg(const ReportInput &in, const ReportAnalysis &a,
                                 QSize size = QSize(900, 420));

#endif // CLI_REPORT_REPORT_H
