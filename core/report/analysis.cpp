#include "report/analysis.h"

#include "settings/settings.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace
{

Stat stat_of(const QVector<PackSample> &s, const std::function<double(const PackSample &)> &get)
{
    Stat st;
    if (s.isEmpty())
        return st;
    st.min = st.max = get(s.first());
    double sum = 0;
    for (const PackSample &p : s) {
        const double v = get(p);
        st.min = std::min(st.min, v);
        st.max = std::max(st.max, v);
        sum += v;
    }
    st.mean = sum / s.size();
    return st;
}

double at_s(const PackSample &p)
{
    return p.ms / 1000.0;
}

double amps(const PackSample &p)
{
    return p.current_ma / 1000.0;
}

// A cell below undervoltage or above overvoltage, at its worst sample.
void check_limits(const AnalysisInput &in, ReportAnalysis &a)
{
    for (int k = 1; k <= CELL_COUNT; ++k) {
        const size_t i = static_cast<size_t>(k - 1);
        for (const bool low : {true, false}) {
            const int limit = low ? in.limits.undervoltage_mv : in.limits.overvoltage_mv;
            if (limit <= 0)
                continue;
            int count = 0;
            const PackSample *worst = nullptr;
            for (const PackSample &p : in.samples) {
                const int v = p.cells_mv[i];
                if (low ? v >= limit : v <= limit)
                    continue;
                ++count;
                if (!worst || (low ? v < worst->cells_mv[i] : v > worst->cells_mv[i]))
                    worst = &p;
            }
            if (!worst)
                continue;
            const int v = worst->cells_mv[i];
            Finding f;
            f.kind = low ? FINDING_UNDERVOLTAGE : FINDING_OVERVOLTAGE;
            f.cell = k;
            f.title = low ? QStringLiteral("Cell %1 below the undervoltage limit").arg(k)
                          : QStringLiteral("Cell %1 above the overvoltage limit").arg(k);
            f.reason = QStringLiteral("Cell %1 %2 %3 mV at %4 s (pack current %5 A), %6 the "
                                      "BMS's %7 setting of %8 mV, in %9 of %10 samples.")
                           .arg(k)
                           .arg(low ? "fell to" : "rose to")
                           .arg(v)
                           .arg(fixed_text(at_s(*worst), 1), fixed_text(amps(*worst), 1))
                           .arg(low ? "below" : "above", low ? "undervoltage" : "overvoltage")
                           .arg(limit)
                           .arg(count)
                           .arg(in.samples.size());
            f.numbers = {{low ? "min_mv" : "max_mv", v},
                         {"limit_mv", limit},
                         {"at_s", rounded_to(at_s(*worst), 1)},
                         {"current_a", rounded_to(amps(*worst), 2)},
                         {"samples_outside", count},
                         {"samples", in.samples.size()}};
            a.findings.append(f);
        }
    }
}

// The BMS cuts off at the critical temperature and releases `hysteresis` below it;
// a sensor that reached that band ran at the edge of a shutdown.
void check_temperatures(const AnalysisInput &in, ReportAnalysis &a)
{
    if (in.limits.critical_temperature_c <= 0 || in.samples.isEmpty())
        return;
    const int from = in.limits.critical_temperature_c - in.limits.critical_temperature_hysteresis_c;
    for (const int sensor : {1, 2}) {
        const int max = static_cast<int>(sensor == 1 ? a.t1_c.max : a.t2_c.max);
        if (max < from)
            continue;
        const bool reached = max >= in.limits.critical_temperature_c;
        Finding f;
        f.kind = FINDING_TEMPERATURE;
        f.title = QStringLiteral("Temperature sensor T%1 %2 the critical temperature")
                      .arg(sensor)
                      .arg(reached ? "at or above" : "near");
        f.reason = QStringLiteral("Sensor T%1 reached %2 °C. The BMS's critical temperature "
                                  "is %3 °C with a hysteresis of %4 °C, so anything from %5 °C "
                                  "on is at the edge of a protective shutdown.")
                       .arg(sensor)
                       .arg(max)
                       .arg(in.limits.critical_temperature_c)
                       .arg(in.limits.critical_temperature_hysteresis_c)
                       .arg(from);
        f.numbers = {{"sensor", QStringLiteral("T%1").arg(sensor)},
                     {"max_c", max},
                     {"critical_c", in.limits.critical_temperature_c},
                     {"hysteresis_c", in.limits.critical_temperature_hysteresis_c}};
        a.findings.append(f);
    }
}

// Under load each cell reads OCV + R*I (I negative while discharging), so the
// least-squares slope of its voltage against the current is its resistance in
// mV/A = mΩ. The charge drifts slowly and alike for every cell, so comparing a
// cell with the median of the ten cancels most of it.
void check_sag(const AnalysisInput &in, ReportAnalysis &a)
{
    const int n = in.samples.size();
    a.current_range_a = (a.current_ma.max - a.current_ma.min) / 1000.0;
    if (n < SAG_MIN_SAMPLES || a.current_range_a < SAG_MIN_CURRENT_RANGE_A) {
        a.sag_note =
            QStringLiteral("The sag under load could not be judged: the current "
                           "ranged from %1 A to %2 A (%3 A) over %4 samples, and "
                           "telling a weak cell from noise needs at least %5 A "
                           "over at least %6 samples.")
                .arg(fixed_text(a.current_ma.min / 1000.0, 1),
                     fixed_text(a.current_ma.max / 1000.0, 1), fixed_text(a.current_range_a, 1))
                .arg(n)
                .arg(fixed_text(SAG_MIN_CURRENT_RANGE_A, 0))
                .arg(SAG_MIN_SAMPLES);
        return;
    }
    a.sag_judged = true;
    const double mean_i = a.current_ma.mean / 1000.0;
    double var_i = 0;
    for (const PackSample &p : in.samples)
        var_i += (amps(p) - mean_i) * (amps(p) - mean_i);
    for (size_t i = 0; i < CELL_COUNT; ++i) {
        double cov = 0;
        for (const PackSample &p : in.samples)
            cov += (amps(p) - mean_i) * (p.cells_mv[i] - a.cell_mv[i].mean);
        a.sag_mv_per_a[i] = cov / var_i;
    }
    std::array<double, CELL_COUNT> sorted = a.sag_mv_per_a;
    std::sort(sorted.begin(), sorted.end());
    a.sag_median_mv_per_a = (sorted[CELL_COUNT / 2 - 1] + sorted[CELL_COUNT / 2]) / 2;
    const double median = a.sag_median_mv_per_a;
    for (int k = 1; k <= CELL_COUNT; ++k) {
        const double slope = a.sag_mv_per_a[static_cast<size_t>(k - 1)];
        if (slope <= median * SAG_FACTOR || slope - median < SAG_MARGIN_MV_PER_A)
            continue;
        Finding f;
        f.kind = FINDING_SAG;
        f.cell = k;
        f.title = QStringLiteral("Cell %1 sags more than the others under load").arg(k);
        f.reason =
            QStringLiteral("Cell %1 loses %2 mV per ampere of load against a median of %3 mV/A "
                           "for the ten cells (%4 times as much), so its internal resistance "
                           "is about %2 mΩ: the cell is ageing or its connection is poor. "
                           "A cell is flagged above %5 times the median and at least %6 mV/A "
                           "above it; the current ranged over %7 A in %8 samples.")
                .arg(k)
                .arg(fixed_text(slope, 1), fixed_text(median, 1),
                     fixed_text(median > 0 ? slope / median : 0, 1), fixed_text(SAG_FACTOR, 1),
                     fixed_text(SAG_MARGIN_MV_PER_A, 0), fixed_text(a.current_range_a, 1))
                .arg(n);
        f.numbers = {{"slope_mv_per_a", rounded_to(slope, 2)},
                     {"median_mv_per_a", rounded_to(median, 2)},
                     {"factor_limit", SAG_FACTOR},
                     {"margin_mv_per_a", SAG_MARGIN_MV_PER_A},
                     {"current_range_a", rounded_to(a.current_range_a, 2)},
                     {"samples", n}};
        a.findings.append(f);
    }
}

// The spread is judged against the BMS's own balancing threshold. Balance is about
// charge, not load: under current a weak cell sags and would look out of balance,
// so where the sag could be judged each cell's own drop under load is taken out
// first, and the cells compare as they would stand at rest. The current and the
// cells come in separate requests, so a load step between the two misplaces that
// correction in the one sample it falls into (by the weak cell's excess sag times
// the step: hundreds of mV); an imbalance of charge is there in every sample, so
// the pack is judged on its median sample, not its widest.
void check_spread(const AnalysisInput &in, ReportAnalysis &a)
{
    const int threshold = in.limits.cell_disbalance_threshold_mv;
    if (in.samples.isEmpty())
        return;
    const auto at_rest = [&a](const PackSample &p) {
        std::array<int, CELL_COUNT> mv = p.cells_mv;
        if (a.sag_judged)
            for (size_t k = 0; k < mv.size(); ++k)
                mv[k] -= static_cast<int>(std::lround(a.sag_mv_per_a[k] * p.current_ma / 1000.0));
        return mv;
    };
    QVector<QPair<int, int>> spreads; // spread, sample
    int above = 0;
    double sum = 0;
    for (int n = 0; n < in.samples.size(); ++n) {
        const std::array<int, CELL_COUNT> mv = at_rest(in.samples[n]);
        const auto [lo, hi] = std::minmax_element(mv.begin(), mv.end());
        spreads.append({*hi - *lo, n});
        above += *hi - *lo > threshold;
        sum += *hi - *lo;
    }
    std::sort(spreads.begin(), spreads.end());
    const int median = spreads[(spreads.size() - 1) / 2].first;
    const int widest = spreads.last().first;
    const double mean = sum / in.samples.size();
    if (a.sag_judged)
        a.rest_spread_mv = {static_cast<double>(spreads.first().first), mean,
                            static_cast<double>(widest)};
    if (threshold <= 0 || median <= threshold)
        return;
    const PackSample &p = in.samples[spreads[(spreads.size() - 1) / 2].second];
    const std::array<int, CELL_COUNT> c = at_rest(p);
    const auto lo = std::min_element(c.begin(), c.end()) - c.begin();
    const auto hi = std::max_element(c.begin(), c.end()) - c.begin();
    Finding f;
    f.kind = FINDING_SPREAD;
    f.title = QStringLiteral("Cells out of balance: %1 mV between cell %2 and cell %3")
                  .arg(median)
                  .arg(hi + 1)
                  .arg(lo + 1);
    f.reason = QStringLiteral("In the median sample (half of the %1 samples spread as much or "
                              "more), at %2 s with the pack at %3 A, cell %4 (highest) read %5 "
                              "mV and cell %6 (lowest) %7 mV%8: a spread of %9 mV, above the "
                              "BMS's disbalance threshold of %10 mV. The spread was above it in "
                              "%11 of the %1 samples; its mean was %12 mV, its widest %13 mV.")
                   .arg(in.samples.size())
                   .arg(fixed_text(at_s(p), 1), fixed_text(amps(p), 1))
                   .arg(hi + 1)
                   .arg(c[static_cast<size_t>(hi)])
                   .arg(lo + 1)
                   .arg(c[static_cast<size_t>(lo)])
                   .arg(a.sag_judged ? QStringLiteral(" once each cell's own drop under load is "
                                                      "taken out")
                                     : QString())
                   .arg(median)
                   .arg(threshold)
                   .arg(above)
                   .arg(fixed_text(mean, 1))
                   .arg(widest);
    f.numbers = {{"spread_median_mv", median},
                 {"spread_mean_mv", rounded_to(mean, 1)},
                 {"spread_max_mv", widest},
                 {"threshold_mv", threshold},
                 {"load_corrected", a.sag_judged},
                 {"highest_cell", static_cast<int>(hi + 1)},
                 {"highest_mv", c[static_cast<size_t>(hi)]},
                 {"lowest_cell", static_cast<int>(lo + 1)},
                 {"lowest_mv", c[static_cast<size_t>(lo)]},
                 {"at_s", rounded_to(at_s(p), 1)},
                 {"current_a", rounded_to(amps(p), 2)},
                 {"samples_above", above},
                 {"samples", in.samples.size()}};
    a.findings.append(f);
}

} // namespace

QString fixed_text(double x, int decimals)
{
    if (std::abs(x) < 0.5 * std::pow(10.0, -decimals))
        x = 0;
    return QString::number(x, 'f', decimals);
}

double rounded_to(double x, int decimals)
{
    const double f = std::pow(10.0, decimals);
    return std::round(x * f) / f + 0.0;
}

ReportLimits report_limits(const RegisterImage &image)
{
    const auto held = [&image](Setting setting) {
        return decode_setting(setting_def(setting), image).toInt();
    };
    ReportLimits l;
    l.cell_disbalance_threshold_mv = held(Setting::CellDisbalanceThreshold);
    l.undervoltage_mv = held(Setting::Undervoltage);
    l.overvoltage_mv = held(Setting::Overvoltage);
    l.critical_temperature_c = held(Setting::CriticalTemperature);
    l.critical_temperature_hysteresis_c = held(Setting::CriticalTemperatureHysteresis);
    return l;
}

ReportAnalysis analyse(const AnalysisInput &in)
{
    ReportAnalysis a;
    const QVector<PackSample> &s = in.samples;
    a.sample_count = s.size();
    if (!s.isEmpty())
        a.span_s = (s.last().ms - s.first().ms) / 1000.0;
    for (int k = 1; k < s.size(); ++k)
        if (s[k].ms - s[k - 1].ms > REPORT_GAP_MS)
            a.silences.append({s[k - 1].ms, s[k].ms});
    a.voltage_mv = stat_of(s, [](const PackSample &p) { return p.voltage_mv; });
    a.current_ma = stat_of(s, [](const PackSample &p) { return p.current_ma; });
    a.remaining_mah = stat_of(s, [](const PackSample &p) { return p.remaining_mah; });
    a.soc_percent = stat_of(s, [](const PackSample &p) { return p.soc_percent; });
    a.t1_c = stat_of(s, [](const PackSample &p) { return p.temperatures_c[0]; });
    a.t2_c = stat_of(s, [](const PackSample &p) { return p.temperatures_c[1]; });
    a.spread_mv = stat_of(s, [](const PackSample &p) {
        const auto [lo, hi] = std::minmax_element(p.cells_mv.begin(), p.cells_mv.end());
        return *hi - *lo;
    });
    for (size_t i = 0; i < CELL_COUNT; ++i) {
        a.cell_mv[i] = stat_of(s, [i](const PackSample &p) { return p.cells_mv[i]; });
        a.balancing_share[i] =
            stat_of(s, [i](const PackSample &p) { return (p.balancing >> i) & 1; }).mean;
    }
    check_limits(in, a);
    check_temperatures(in, a);
    check_sag(in, a);
    check_spread(in, a);
    return a;
}
