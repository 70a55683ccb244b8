#include "report/analysis.h"

#include "settings/settings.h"

#include <QJsonArray>

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

// "Cell 3", "Cells 2 and 7", "Cells 1, 4 and 9", "All ten cells".
QString cells_text(const QList<int> &cells)
{
    if (cells.size() == CELL_COUNT)
        return QStringLiteral("All ten cells");
    if (cells.size() == 1)
        return QStringLiteral("Cell %1").arg(cells.first());
    QStringList numbers;
    for (const int k : cells)
        numbers << QString::number(k);
    const QString last = numbers.takeLast();
    return QStringLiteral("Cells %1 and %2").arg(numbers.join(QStringLiteral(", ")), last);
}

QJsonArray cells_json(const QList<int> &cells)
{
    QJsonArray out;
    for (const int k : cells)
        out.append(k);
    return out;
}

// The lowest (or highest) cell of a sample, 0-based.
size_t extreme_cell(const PackSample &p, bool low)
{
    const auto it = low ? std::min_element(p.cells_mv.begin(), p.cells_mv.end())
                        : std::max_element(p.cells_mv.begin(), p.cells_mv.end());
    return static_cast<size_t>(it - p.cells_mv.begin());
}

// The longest stretch of consecutive samples, unbroken by a silence of the BMS, in
// which `holds` is true of every sample: first and last index, or {-1, -1}.
QPair<int, int> longest_run(const QVector<PackSample> &s,
                            const std::function<bool(const PackSample &)> &holds)
{
    QPair<int, int> best{-1, -1};
    qint64 best_ms = -1;
    int from = -1;
    for (int k = 0; k <= s.size(); ++k) {
        const bool on =
            k < s.size() && holds(s[k]) && (from < 0 || s[k].ms - s[k - 1].ms <= REPORT_GAP_MS);
        if (on && from < 0)
            from = k;
        if (on)
            continue;
        if (from >= 0 && s[k - 1].ms - s[from].ms > best_ms) {
            best = {from, k - 1};
            best_ms = s[k - 1].ms - s[from].ms;
        }
        // A sample that holds after a silence starts a stretch of its own.
        from = k < s.size() && holds(s[k]) ? k : -1;
    }
    return best;
}

// Cells past a voltage limit in any sample: one finding per limit, naming the
// cells, at the worst sample. Cells already named by `covered` are left to it.
QList<int> check_cell_limit(const AnalysisInput &in, ReportAnalysis &a, const char *kind, int limit,
                            const QList<int> &covered)
{
    if (limit <= 0)
        return {};
    const bool low = kind != QLatin1String(FINDING_OVERVOLTAGE);
    QList<int> cells;
    int count = 0;
    const PackSample *worst = nullptr;
    size_t worst_cell = 0;
    for (const PackSample &p : in.samples) {
        bool outside = false;
        for (int k = 1; k <= CELL_COUNT; ++k) {
            const int v = p.cells_mv[static_cast<size_t>(k - 1)];
            if ((low ? v >= limit : v <= limit) || covered.contains(k))
                continue;
            outside = true;
            if (!cells.contains(k))
                cells << k;
            const size_t i = static_cast<size_t>(k - 1);
            if (!worst ||
                (low ? v < worst->cells_mv[worst_cell] : v > worst->cells_mv[worst_cell])) {
                worst = &p;
                worst_cell = i;
            }
        }
        count += outside;
    }
    if (!worst)
        return {};
    std::sort(cells.begin(), cells.end());
    const int v = worst->cells_mv[worst_cell];
    const bool shutdown = kind == QLatin1String(FINDING_BELOW_SHUTDOWN);
    const QString what = shutdown ? QStringLiteral("the BMS's shutdown voltage")
                         : low    ? QStringLiteral("the undervoltage limit")
                                  : QStringLiteral("the overvoltage limit");
    const QString setting = shutdown ? QStringLiteral("shutdown voltage")
                            : low    ? QStringLiteral("undervoltage limit")
                                     : QStringLiteral("overvoltage limit");
    Finding f;
    f.kind = kind;
    f.cell = cells.size() == 1 ? cells.first() : 0;
    f.fault = shutdown;
    f.title = QStringLiteral("%1 %2 %3").arg(cells_text(cells), low ? "below" : "above", what);
    f.reason =
        QStringLiteral("%1 went %2 the BMS's %3 of %4 mV in %5 of %6 samples; the worst was "
                       "cell %7 at %8 mV, %9 mV %2 it, %10 s into the sampling with the pack "
                       "at %11 A.%12")
            .arg(cells_text(cells), low ? "below" : "above", setting)
            .arg(limit)
            .arg(count)
            .arg(in.samples.size())
            .arg(worst_cell + 1)
            .arg(v)
            .arg(std::abs(v - limit))
            .arg(fixed_text(at_s(*worst), 1), fixed_text(amps(*worst), 1),
                 shutdown ? QStringLiteral(" A cell this low is deeply discharged: the pack "
                                           "must not be used until it has been checked.")
                          : QString());
    f.numbers = {{"cells", cells_json(cells)},
                 {"worst_cell", static_cast<int>(worst_cell + 1)},
                 {low ? "min_mv" : "max_mv", v},
                 {"limit_mv", limit},
                 {"at_s", rounded_to(at_s(*worst), 1)},
                 {"current_a", rounded_to(amps(*worst), 2)},
                 {"samples_outside", count},
                 {"samples", in.samples.size()}};
    a.findings.append(f);
    return cells;
}

// The BMS is to open its discharge switch when a cell stays below undervoltage,
// its charge switch when one stays above overvoltage, and both when a sensor
// stays above the critical temperature, each after its own delay. A current that
// still flows the wrong way with the switch on, for longer than that delay and one
// poll of the window, is a BMS that did not act. Returns the cells (or, for the
// temperature, nothing) it names.
QList<int> check_protection(const AnalysisInput &in, ReportAnalysis &a, const QString &protection)
{
    const ReportLimits &l = in.limits;
    const bool under = protection == QLatin1String("undervoltage");
    const bool over = protection == QLatin1String("overvoltage");
    const int limit = under  ? l.undervoltage_mv
                      : over ? l.overvoltage_mv
                             : l.critical_temperature_c;
    const int delay_ms = under  ? l.undervoltage_delay_ms
                         : over ? l.overvoltage_delay_ms
                                : l.critical_temperature_delay_ms;
    if (limit <= 0)
        return {};
    const auto hottest = [](const PackSample &p) {
        return std::max(p.temperatures_c[0], p.temperatures_c[1]);
    };
    const auto past = [&](const PackSample &p) {
        if (under)
            return p.cells_mv[extreme_cell(p, true)] < limit &&
                   p.current_ma <= -PROTECTION_MIN_CURRENT_MA && p.discharging_enabled;
        if (over)
            return p.cells_mv[extreme_cell(p, false)] > limit &&
                   p.current_ma >= PROTECTION_MIN_CURRENT_MA && p.charging_enabled;
        return hottest(p) > limit && (p.charging_enabled || p.discharging_enabled);
    };
    const auto [first, last] = longest_run(in.samples, past);
    if (first < 0)
        return {};
    const qint64 lasted_ms = in.samples[last].ms - in.samples[first].ms;
    if (lasted_ms <= delay_ms + PROTECTION_GRACE_MS)
        return {};

    QList<int> cells;
    QStringList sensors;
    int worst = under ? limit : 0;
    double peak_a = 0;
    for (int n = first; n <= last; ++n) {
        const PackSample &p = in.samples[n];
        peak_a = std::max(peak_a, std::abs(amps(p)));
        for (int k = 1; k <= CELL_COUNT && (under || over); ++k) {
            const int v = p.cells_mv[static_cast<size_t>(k - 1)];
            if (under ? v < limit : v > limit) {
                if (!cells.contains(k))
                    cells << k;
                worst = under ? std::min(worst, v) : std::max(worst, v);
            }
        }
        if (!under && !over)
            for (int t = 0; t < 2; ++t)
                if (p.temperatures_c[static_cast<size_t>(t)] > limit) {
                    const QString name = QStringLiteral("T%1").arg(t + 1);
                    if (!sensors.contains(name))
                        sensors << name;
                    worst = std::max(worst, p.temperatures_c[static_cast<size_t>(t)]);
                }
    }
    std::sort(cells.begin(), cells.end());
    sensors.sort();

    Finding f;
    f.kind = FINDING_NOT_ACTING;
    f.cell = cells.size() == 1 ? cells.first() : 0;
    f.fault = true;
    const QString lasted = fixed_text(lasted_ms / 1000.0, 1);
    const QString allowed = fixed_text((delay_ms + PROTECTION_GRACE_MS) / 1000.0, 1);
    const QString delay = fixed_text(delay_ms / 1000.0, delay_ms % 1000 ? 1 : 0);
    if (under || over) {
        f.title = under ? QStringLiteral("The BMS did not stop the discharge below the "
                                         "undervoltage limit")
                        : QStringLiteral("The BMS did not stop the charge above the overvoltage "
                                         "limit");
        f.reason = QStringLiteral("%1 stayed %2 the %3 of %4 mV (%5 mV at worst, %6 mV %2 it) "
                                  "for %7 s while the pack went on %8 at up to %9 A with %8 "
                                  "enabled. The BMS's own delay for this is %10 s: it should "
                                  "have opened its %11 switch within %12 s.")
                       .arg(cells_text(cells), under ? "below" : "above",
                            under ? "undervoltage limit" : "overvoltage limit")
                       .arg(limit)
                       .arg(worst)
                       .arg(std::abs(worst - limit))
                       .arg(lasted, under ? "discharging" : "charging", fixed_text(peak_a, 1),
                            delay, under ? "discharge" : "charge", allowed);
    } else {
        f.title = QStringLiteral("The BMS did not switch off above the critical temperature");
        f.reason =
            QStringLiteral("%1 stayed above the critical temperature of %2 °C "
                           "(%3 °C at worst, %4 °C above it) for %5 s with the charge "
                           "or discharge switch still on. The BMS's own delay for this "
                           "is %6 s: it should have opened both switches within %7 s.")
                .arg((sensors.size() > 1 ? QStringLiteral("Sensors ") : QStringLiteral("Sensor ")) +
                     sensors.join(QStringLiteral(" and ")))
                .arg(limit)
                .arg(worst)
                .arg(worst - limit)
                .arg(lasted, delay, allowed);
    }
    f.numbers = {{"protection", protection},
                 {under || over ? "limit_mv" : "limit_c", limit},
                 {under  ? "min_mv"
                  : over ? "max_mv"
                         : "max_c",
                  worst},
                 {"past_limit_by", std::abs(worst - limit)},
                 {"lasted_s", rounded_to(lasted_ms / 1000.0, 1)},
                 {"from_s", rounded_to(at_s(in.samples[first]), 1)},
                 {"delay_s", rounded_to(delay_ms / 1000.0, 1)},
                 {"allowed_s", rounded_to((delay_ms + PROTECTION_GRACE_MS) / 1000.0, 1)},
                 {"peak_current_a", rounded_to(peak_a, 2)}};
    if (under || over)
        f.numbers.insert(QStringLiteral("cells"), cells_json(cells));
    else
        f.numbers.insert(QStringLiteral("sensors"), QJsonArray::fromStringList(sensors));
    a.findings.append(f);
    return cells;
}

// The BMS's own overheat flag, with the hottest sensor behind it.
bool check_overheat(const AnalysisInput &in, ReportAnalysis &a)
{
    int flagged = 0, first = -1, hottest_c = -1000, sensor = 1;
    for (int n = 0; n < in.samples.size(); ++n) {
        const PackSample &p = in.samples[n];
        if (!p.overheat)
            continue;
        ++flagged;
        if (first < 0)
            first = n;
        for (int t = 0; t < 2; ++t)
            if (p.temperatures_c[static_cast<size_t>(t)] > hottest_c) {
                hottest_c = p.temperatures_c[static_cast<size_t>(t)];
                sensor = t + 1;
            }
    }
    if (!flagged)
        return false;
    Finding f;
    f.kind = FINDING_OVERHEAT;
    f.fault = true;
    f.title =
        QStringLiteral("The BMS reports overheat: sensor T%1 at %2 °C").arg(sensor).arg(hottest_c);
    f.reason = QStringLiteral("The BMS set its overheat flag in %1 of %2 samples, from %3 s into "
                              "the sampling on. The hottest sensor was T%4 at %5 °C%6. The pack "
                              "must cool down and the cause be found before it is used again.")
                   .arg(flagged)
                   .arg(in.samples.size())
                   .arg(fixed_text(at_s(in.samples[first]), 1))
                   .arg(sensor)
                   .arg(hottest_c)
                   .arg(in.limits.critical_temperature_c > 0
                            ? QStringLiteral("; the BMS's critical temperature is %1 °C")
                                  .arg(in.limits.critical_temperature_c)
                            : QString());
    f.numbers = {
        {"sensor", QStringLiteral("T%1").arg(sensor)},      {"max_c", hottest_c},
        {"critical_c", in.limits.critical_temperature_c},   {"samples_flagged", flagged},
        {"from_s", rounded_to(at_s(in.samples[first]), 1)}, {"samples", in.samples.size()}};
    a.findings.append(f);
    return true;
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

// A cell's voltage change against the current: v = c + r*I + k*Q, with Q the
// charge drawn since the start. Its resistance r is mV/A = mOhm; the k*Q term
// takes the open-circuit voltage's drift with the charge out of it, which would
// otherwise lean on r whenever the load is heavier early or late in the sampling.
// The current and the cells come in separate requests, so a load step between
// the two pairs a cell reading with the wrong current (off by r times the step,
// tens of mV against a few of noise): those samples are found by their residual
// and the fit is made again without them.
double fit_resistance(const QVector<PackSample> &s, const QVector<double> &charge, size_t cell)
{
    QVector<bool> keep(s.size(), true);
    double r = 0, k = 0, c = 0;
    for (int pass = 0; pass < 2; ++pass) {
        double n = 0, mi = 0, mq = 0, mv = 0;
        for (int j = 0; j < s.size(); ++j)
            if (keep[j]) {
                n += 1;
                mi += amps(s[j]);
                mq += charge[j];
                mv += s[j].cells_mv[cell];
            }
        if (n < 3)
            break;
        mi /= n;
        mq /= n;
        mv /= n;
        double sii = 0, sqq = 0, siq = 0, siv = 0, sqv = 0;
        for (int j = 0; j < s.size(); ++j) {
            if (!keep[j])
                continue;
            const double di = amps(s[j]) - mi, dq = charge[j] - mq, dv = s[j].cells_mv[cell] - mv;
            sii += di * di;
            sqq += dq * dq;
            siq += di * dq;
            siv += di * dv;
            sqv += dq * dv;
        }
        const double det = sii * sqq - siq * siq;
        // Without charge drawn (or with it in step with the current) the drift
        // cannot be told apart: the plain slope it is.
        if (sii <= 0)
            break;
        if (sqq > 0 && det > 1e-6 * sii * sqq) {
            r = (siv * sqq - sqv * siq) / det;
            k = (sqv * sii - siv * siq) / det;
        } else {
            r = siv / sii;
            k = 0;
        }
        c = mv - r * mi - k * mq;
        if (pass == 1)
            break;
        QVector<double> residuals;
        for (int j = 0; j < s.size(); ++j)
            residuals << std::abs(s[j].cells_mv[cell] - (c + r * amps(s[j]) + k * charge[j]));
        QVector<double> sorted = residuals;
        std::sort(sorted.begin(), sorted.end());
        const double mad = sorted[sorted.size() / 2];
        const double cut = std::max(5 * 1.4826 * mad, 4.0);
        for (int j = 0; j < s.size(); ++j)
            keep[j] = residuals[j] <= cut;
    }
    return r;
}

// A cell that loses much more per ampere than the others is ageing or badly
// connected. Its own resistance and the median of the ten are compared, so a
// fit that is off for all cells alike names no cell.
void check_sag(const AnalysisInput &in, ReportAnalysis &a)
{
    const int n = in.samples.size();
    a.current_range_a = (a.current_ma.max - a.current_ma.min) / 1000.0;
    if (n < SAG_MIN_SAMPLES || a.current_range_a < SAG_MIN_CURRENT_RANGE_A) {
        a.sag_note =
            QStringLiteral("The cells' internal resistance could not be judged: the current "
                           "ranged from %1 A to %2 A (%3 A) over %4 samples, and telling it "
                           "from noise needs a change of at least %5 A over at least %6 "
                           "samples.")
                .arg(fixed_text(a.current_ma.min / 1000.0, 1),
                     fixed_text(a.current_ma.max / 1000.0, 1), fixed_text(a.current_range_a, 1))
                .arg(n)
                .arg(fixed_text(SAG_MIN_CURRENT_RANGE_A, 0))
                .arg(SAG_MIN_SAMPLES);
        return;
    }
    a.sag_judged = true;
    QVector<double> charge(n, 0.0); // A s drawn since the first sample, signed
    for (int j = 1; j < n; ++j)
        charge[j] = charge[j - 1] + (amps(in.samples[j - 1]) + amps(in.samples[j])) / 2 *
                                        (in.samples[j].ms - in.samples[j - 1].ms) / 1000.0;
    for (size_t i = 0; i < CELL_COUNT; ++i)
        a.sag_mv_per_a[i] = fit_resistance(in.samples, charge, i);
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
            QStringLiteral("Cell %1 has an internal resistance of %2 mΩ against a median of %3 "
                           "mΩ for the ten cells (%4 times as much): it loses %2 mV for every "
                           "ampere of load, so it is ageing or its connection is poor. A cell "
                           "is named above %5 times the median and at least %6 mΩ above it; "
                           "the current ranged over %7 A in %8 samples.")
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

// A setting changed since the backup is not wrong in itself, but a technician
// should know who changed what before handing the pack back.
void check_changes(const AnalysisInput &in, ReportAnalysis &a)
{
    if (in.changes.isEmpty())
        return;
    QStringList changes;
    QJsonArray numbers;
    for (const SettingChange &c : in.changes) {
        changes << QStringLiteral("%1 was %2 and is %3").arg(c.label, c.before, c.now);
        numbers.append(QJsonObject{{"setting", c.label}, {"before", c.before}, {"now", c.now}});
    }
    Finding f;
    f.kind = FINDING_SETTING_CHANGED;
    f.title = in.changes.size() == 1
                  ? QStringLiteral("A setting changed since %1").arg(in.before_file)
                  : QStringLiteral("%1 settings changed since %2")
                        .arg(in.changes.size())
                        .arg(in.before_file);
    f.reason =
        QStringLiteral("Since %1 was saved, %2 changed on the BMS: %3.")
            .arg(in.before_file,
                 in.changes.size() == 1 ? QStringLiteral("one setting")
                                        : QStringLiteral("%1 settings").arg(in.changes.size()),
                 changes.join(QStringLiteral("; ")));
    f.numbers = {{"file", in.before_file}, {"changes", numbers}};
    a.findings.append(f);
}

// "Cell 3 ..." becomes "cell 3 ..." inside a sentence; "BMS ..." stays as it is.
QString inside_sentence(QString title)
{
    if (title.size() > 1 && title[0].isUpper() && (title[1].isLower() || title[1].isSpace()))
        title[0] = title[0].toLower();
    return title;
}

void judge(ReportAnalysis &a)
{
    QStringList faults, all;
    for (const Finding &f : a.findings) {
        all << inside_sentence(f.title);
        if (f.fault)
            faults << inside_sentence(f.title);
    }
    if (!faults.isEmpty()) {
        a.verdict = Verdict::Fault;
        a.verdict_reason = QStringLiteral("Unsafe now: %1.").arg(faults.join(QStringLiteral("; ")));
    } else if (!all.isEmpty()) {
        a.verdict = Verdict::Attention;
        a.verdict_reason =
            QStringLiteral("Needs attention: %1.").arg(all.join(QStringLiteral("; ")));
    } else {
        a.verdict = Verdict::Ok;
        a.verdict_reason =
            a.sample_count > 0
                ? QStringLiteral("No findings: every check passed against the BMS's own limits.")
                : QStringLiteral("Not judged: no samples were taken.");
    }
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

const char *verdict_name(Verdict v)
{
    switch (v) {
    case Verdict::Ok:
        return "ok";
    case Verdict::Attention:
        return "attention";
    case Verdict::Fault:
        break;
    }
    return "fault";
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
    l.shutdown_mv = held(Setting::ShutdownVoltage);
    l.critical_temperature_c = held(Setting::CriticalTemperature);
    l.critical_temperature_hysteresis_c = held(Setting::CriticalTemperatureHysteresis);
    l.undervoltage_delay_ms = 1000 * held(Setting::UndervoltageDelay);
    l.overvoltage_delay_ms = 1000 * held(Setting::OvervoltageDelay);
    // The window shows whole seconds; the BMS waits the milliseconds it holds.
    l.critical_temperature_delay_ms = register_value(image, REG_CRITICAL_TEMP_DELAY);
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
    // What the BMS failed to do comes first: it is what makes a pack unsafe.
    const QList<int> under = check_protection(in, a, QStringLiteral("undervoltage"));
    const QList<int> over = check_protection(in, a, QStringLiteral("overvoltage"));
    check_protection(in, a, QStringLiteral("temperature"));
    const bool overheat = check_overheat(in, a);
    const QList<int> shut =
        check_cell_limit(in, a, FINDING_BELOW_SHUTDOWN, in.limits.shutdown_mv, {});
    check_cell_limit(in, a, FINDING_UNDERVOLTAGE, in.limits.undervoltage_mv, under + shut);
    check_cell_limit(in, a, FINDING_OVERVOLTAGE, in.limits.overvoltage_mv, over);
    // The BMS's own overheat flag says more than a temperature near its limit.
    if (!overheat)
        check_temperatures(in, a);
    check_sag(in, a);
    check_spread(in, a);
    check_changes(in, a);
    judge(a);
    return a;
}
