#ifndef REPORT_ANALYSIS_H
#define REPORT_ANALYSIS_H

// The judgement of a pack from a sampling of its live registers: the figures over
// the sampling, each cell's sag under load, the spread between the cells, and the
// findings a technician would act on. A pure function of the samples and the BMS's
// own settings, so it can be tried on any series without a BMS; the front ends
// only lay its result out.

#include "monitor/display.h"

#include <QJsonObject>
#include <QString>
#include <QVector>

#include <array>

// Samples further apart than this have a silence of the BMS between them: nothing
// was measured there.
constexpr qint64 REPORT_GAP_MS = 1000;

// One sample of the live registers, decoded as the window decodes them.
struct PackSample : PackState {
    qint64 ms = 0; // since the start of sampling
};

// The BMS's own limits and delays, from its settings; a limit of 0 leaves that
// check out.
struct ReportLimits {
    int cell_disbalance_threshold_mv = 0, undervoltage_mv = 0, overvoltage_mv = 0;
    int shutdown_mv = 0;
    int critical_temperature_c = 0, critical_temperature_hysteresis_c = 0;
    // How long the BMS lets each limit be passed before it acts.
    int undervoltage_delay_ms = 0, overvoltage_delay_ms = 0, critical_temperature_delay_ms = 0;
};

// The limits as the BMS holds them in `image`.
ReportLimits report_limits(const RegisterImage &image);

// A setting the BMS holds differently from the backup the report compares with.
struct SettingChange {
    QString label; // the window's, with its unit: "Cell overvoltage, mV"
    QString before, now;
};

struct AnalysisInput {
    QVector<PackSample> samples;
    ReportLimits limits;
    QString before_file; // the backup compared with; empty: none
    QVector<SettingChange> changes;
};

// Finding kinds.
constexpr const char *FINDING_UNDERVOLTAGE = "cell_undervoltage";
constexpr const char *FINDING_OVERVOLTAGE = "cell_overvoltage";
constexpr const char *FINDING_BELOW_SHUTDOWN = "cell_below_shutdown";
constexpr const char *FINDING_TEMPERATURE = "temperature_near_critical";
constexpr const char *FINDING_OVERHEAT = "bms_overheat";
constexpr const char *FINDING_NOT_ACTING = "protection_not_acting";
constexpr const char *FINDING_SAG = "cell_sag";
constexpr const char *FINDING_SPREAD = "cell_spread";
constexpr const char *FINDING_SETTING_CHANGED = "setting_changed";

struct Finding {
    QString kind;        // one of FINDING_*
    int cell = 0;        // 1..10, 0 = the pack as a whole (or several cells)
    bool fault = false;  // the pack or the BMS is unsafe now
    QString title;       // one line
    QString reason;      // what was seen and the rule it broke, in sentences
    QJsonObject numbers; // the figures behind it, for machines
};

// The BMS is given its own delay for a protection plus one poll cycle of the
// window before the report holds it against it.
constexpr int PROTECTION_GRACE_MS = 600;
// Current below this either way is no current: a switched-off pack still reads a
// few tens of mA of noise.
constexpr int PROTECTION_MIN_CURRENT_MA = 100;

enum class Verdict { Ok, Attention, Fault };
const char *verdict_name(Verdict v); // "ok", "attention", "fault"

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

// A stretch without answers from the BMS, between two samples.
struct Silence {
    qint64 from_ms = 0, to_ms = 0;
};

struct ReportAnalysis {
    int sample_count = 0;
    double span_s = 0; // first to last sample
    QVector<Silence> silences;
    Stat voltage_mv, current_ma, remaining_mah, soc_percent, t1_c, t2_c;
    std::array<Stat, CELL_COUNT> cell_mv{};
    // The spread with each cell's own drop under load taken out; only when sag_judged.
    Stat rest_spread_mv;
    Stat spread_mv;                                   // highest minus lowest cell, per sample
    std::array<double, CELL_COUNT> balancing_share{}; // 0..1 of the samples
    bool sag_judged = false;
    QString sag_note; // why the sag could not be judged; empty when it was
    double current_range_a = 0;
    // Each cell's voltage change per ampere of current change: its internal
    // resistance, mV/A = mOhm. Only when sag_judged; sag_note says why not.
    std::array<double, CELL_COUNT> sag_mv_per_a{};
    double sag_median_mv_per_a = 0;
    QVector<Finding> findings; // empty: nothing to report
    Verdict verdict = Verdict::Ok;
    QString verdict_reason; // one sentence naming the findings that decided it
};

ReportAnalysis analyse(const AnalysisInput &in);

// Figures as the report writes them: fixed decimals, and never "-0.0" (a
// rounded-away minus reads as a discharge).
QString fixed_text(double x, int decimals = 0);
// Rounded for JSON, without a negative zero.
double rounded_to(double x, int decimals);

#endif // REPORT_ANALYSIS_H
