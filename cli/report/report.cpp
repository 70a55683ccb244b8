#include "report.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>
#include <functional>

namespace
{

// Fixed decimals, and never "-0.0": a rounded-away minus reads as a discharge.
QString num(double x, int decimals = 0)
{
    if (std::abs(x) < 0.5 * std::pow(10.0, -decimals))
        x = 0;
    return QString::number(x, 'f', decimals);
}

double rounded(double x, int decimals)
{
    const double f = std::pow(10.0, decimals);
    return std::round(x * f) / f + 0.0;
}

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
void check_limits(const ReportInput &in, ReportAnalysis &a)
{
    for (int k = 1; k <= CELL_COUNT; ++k) {
        const size_t i = static_cast<size_t>(k - 1);
        for (const bool low : {true, false}) {
            const int limit = low ? in.undervoltage_mv : in.overvoltage_mv;
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
                           .arg(num(at_s(*worst), 1), num(amps(*worst), 1))
                           .arg(low ? "below" : "above", low ? "undervoltage" : "overvoltage")
                           .arg(limit)
                           .arg(count)
                           .arg(in.samples.size());
            f.numbers = {
                {low ? "min_mv" : "max_mv", v},     {"limit_mv", limit},
                {"at_s", rounded(at_s(*worst), 1)}, {"current_a", rounded(amps(*worst), 2)},
                {"samples_outside", count},         {"samples", in.samples.size()}};
            a.findings.append(f);
        }
    }
}

// The BMS cuts off at the critical temperature and releases `hysteresis` below it;
// a sensor that reached that band ran at the edge of a shutdown.
void check_temperatures(const ReportInput &in, ReportAnalysis &a)
{
    if (in.critical_temperature_c <= 0 || in.samples.isEmpty())
        return;
    const int from = in.critical_temperature_c - in.critical_temperature_hysteresis_c;
    for (const int sensor : {1, 2}) {
        const int max = static_cast<int>(sensor == 1 ? a.t1_c.max : a.t2_c.max);
        if (max < from)
            continue;
        const bool reached = max >= in.critical_temperature_c;
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
                       .arg(in.critical_temperature_c)
                       .arg(in.critical_temperature_hysteresis_c)
                       .arg(from);
        f.numbers = {{"sensor", QStringLiteral("T%1").arg(sensor)},
                     {"max_c", max},
                     {"critical_c", in.critical_temperature_c},
                     {"hysteresis_c", in.critical_temperature_hysteresis_c}};
        a.findings.append(f);
    }
}

// Under load each cell reads OCV + R*I (I negative while discharging), so the
// least-squares slope of its voltage against the current is its resistance in
// mV/A = mΩ. The charge drifts slowly and alike for every cell, so comparing a
// cell with the median of the ten cancels most of it.
void check_sag(const ReportInput &in, ReportAnalysis &a)
{
    const int n = in.samples.size();
    a.current_range_a = (a.current_ma.max - a.current_ma.min) / 1000.0;
    if (n < SAG_MIN_SAMPLES || a.current_range_a < SAG_MIN_CURRENT_RANGE_A) {
        a.sag_note = QStringLiteral("The sag under load could not be judged: the current "
                                    "ranged from %1 A to %2 A (%3 A) over %4 samples, and "
                                    "telling a weak cell from noise needs at least %5 A "
                                    "over at least %6 samples.")
                         .arg(num(a.current_ma.min / 1000.0, 1), num(a.current_ma.max / 1000.0, 1),
                              num(a.current_range_a, 1))
                         .arg(n)
                         .arg(num(SAG_MIN_CURRENT_RANGE_A, 0))
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
                .arg(num(slope, 1), num(median, 1), num(median > 0 ? slope / median : 0, 1),
                     num(SAG_FACTOR, 1), num(SAG_MARGIN_MV_PER_A, 0), num(a.current_range_a, 1))
                .arg(n);
        f.numbers = {{"slope_mv_per_a", rounded(slope, 2)},
                     {"median_mv_per_a", rounded(median, 2)},
                     {"factor_limit", SAG_FACTOR},
                     {"margin_mv_per_a", SAG_MARGIN_MV_PER_A},
                     {"current_range_a", rounded(a.current_range_a, 2)},
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
void check_spread(const ReportInput &in, ReportAnalysis &a)
{
    const int threshold = in.cell_disbalance_threshold_mv;
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
                   .arg(num(at_s(p), 1), num(amps(p), 1))
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
                   .arg(num(mean, 1))
                   .arg(widest);
    f.numbers = {{"spread_median_mv", median},
                 {"spread_mean_mv", rounded(mean, 1)},
                 {"spread_max_mv", widest},
                 {"threshold_mv", threshold},
                 {"load_corrected", a.sag_judged},
                 {"highest_cell", static_cast<int>(hi + 1)},
                 {"highest_mv", c[static_cast<size_t>(hi)]},
                 {"lowest_cell", static_cast<int>(lo + 1)},
                 {"lowest_mv", c[static_cast<size_t>(lo)]},
                 {"at_s", rounded(at_s(p), 1)},
                 {"current_a", rounded(amps(p), 2)},
                 {"samples_above", above},
                 {"samples", in.samples.size()}};
    a.findings.append(f);
}

QString date_text(const QDateTime &t)
{
    return t.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"));
}

QVector<ReportSetting> changed_settings(const ReportInput &in)
{
    QVector<ReportSetting> changed;
    for (const ReportSetting &s : in.settings)
        if (!s.before.isEmpty())
            changed.append(s);
    return changed;
}

// The rows every format shows for the pack over the sampling, in display units.
struct QuantityRow {
    QString name, unit;
    Stat stat;
    double scale;
    int decimals;
};

QVector<QuantityRow> quantity_rows(const ReportAnalysis &a)
{
    QVector<QuantityRow> rows{{"Pack voltage", "V", a.voltage_mv, 1000, 2},
                              {"Current", "A", a.current_ma, 1000, 2},
                              {"Remaining charge", "mAh", a.remaining_mah, 1, 0},
                              {"State of charge", "%", a.soc_percent, 1, 0},
                              {"Temperature T1", "°C", a.t1_c, 1, 1},
                              {"Temperature T2", "°C", a.t2_c, 1, 1},
                              {"Cell spread, as read", "mV", a.spread_mv, 1, 1}};
    // Under load a weak cell alone widens the spread as read; the balance of the
    // cells is the spread they would show at rest.
    if (a.sag_judged)
        rows.append(
            {"Cell spread, each cell's drop under load taken out", "mV", a.rest_spread_mv, 1, 1});
    return rows;
}

QStringList quantity_cells(const QuantityRow &r)
{
    return {r.name, r.unit, num(r.stat.min / r.scale, r.decimals),
            num(r.stat.mean / r.scale, r.decimals), num(r.stat.max / r.scale, r.decimals)};
}

QStringList cell_cells(const ReportAnalysis &a, size_t i)
{
    return {QString::number(i + 1),
            num(a.cell_mv[i].min),
            num(a.cell_mv[i].mean, 1),
            num(a.cell_mv[i].max),
            num(100 * a.balancing_share[i]) + " %",
            a.sag_judged ? num(a.sag_mv_per_a[i], 1) : QStringLiteral("–")};
}

QString sampling_text(const ReportInput &in, const ReportAnalysis &a)
{
    QString text = QStringLiteral("%1 samples over %2 s (%3 s asked for).")
                       .arg(a.sample_count)
                       .arg(num(a.span_s, 1))
                       .arg(in.duration_s);
    int gaps = 0;
    qint64 silent_ms = 0, from = 0, to = 0;
    for (int k = 1; k < in.samples.size(); ++k) {
        const qint64 before = in.samples[k - 1].ms, after = in.samples[k].ms;
        if (after - before <= REPORT_GAP_MS)
            continue;
        ++gaps;
        silent_ms += after - before;
        from = before;
        to = after;
    }
    if (gaps == 1)
        text += QStringLiteral(" The BMS did not answer between %1 s and %2 s: there are no "
                               "samples in between.")
                    .arg(num(from / 1000.0, 1), num(to / 1000.0, 1));
    else if (gaps > 1)
        text += QStringLiteral(" The BMS did not answer %1 times, for %2 s in all: there are "
                               "no samples in those gaps.")
                    .arg(gaps)
                    .arg(num(silent_ms / 1000.0, 1));
    return text;
}

QString numbers_text(const QJsonObject &numbers)
{
    QStringList parts;
    for (auto it = numbers.begin(); it != numbers.end(); ++it)
        parts << it.key() + " = " + it.value().toVariant().toString();
    return parts.join(", ");
}

QString sag_summary(const ReportAnalysis &a)
{
    if (!a.sag_judged)
        return a.sag_note;
    return QStringLiteral("Sag under load judged over a current range of %1 A: median %2 mV/A; "
                          "a cell is flagged above %3 times the median and at least %4 mV/A "
                          "above it.")
        .arg(num(a.current_range_a, 1), num(a.sag_median_mv_per_a, 1), num(SAG_FACTOR, 1),
             num(SAG_MARGIN_MV_PER_A, 0));
}

const QStringList CELL_HEADER = {"Cell", "Min mV", "Mean mV", "Max mV", "Balancing", "Sag mV/A"};
const QStringList QUANTITY_HEADER = {"Quantity", "Unit", "Min", "Mean", "Max"};

// --- HTML ---

QString esc(const QString &s)
{
    return s.toHtmlEscaped();
}

// Columns from `numeric_from` on are figures, right-aligned for comparison; tables
// of texts (NO_FIGURES) keep to the width of their content.
constexpr int NO_FIGURES = 1000;

QString html_table(const QStringList &header, const QVector<QStringList> &rows,
                   int numeric_from = 1)
{
    QString h =
        numeric_from == NO_FIGURES ? "<table class=texts>\n<thead><tr>" : "<table>\n<thead><tr>";
    for (int c = 0; c < header.size(); ++c)
        h += QStringLiteral("<th%1>%2</th>")
                 .arg(c >= numeric_from ? " class=n" : "", esc(header[c]));
    h += "</tr></thead>\n<tbody>\n";
    for (const QStringList &r : rows) {
        h += "<tr>";
        for (int c = 0; c < r.size(); ++c)
            h +=
                QStringLiteral("<td%1>%2</td>").arg(c >= numeric_from ? " class=n" : "", esc(r[c]));
        h += "</tr>\n";
    }
    return h + "</tbody></table>\n";
}

const char *const CSS = R"(
body { font: 14px/1.45 "DejaVu Sans", "Liberation Sans", Arial, sans-serif; color: #1a1a1a;
       background: #fff; max-width: 940px; margin: 24px auto; padding: 0 20px; }
h1 { font-size: 22px; margin: 0 0 4px; }
h2 { font-size: 17px; margin: 28px 0 8px; padding-bottom: 3px; border-bottom: 1px solid #bbb; }
p.meta { color: #555; margin: 0 0 12px; }
table { border-collapse: collapse; width: 100%; margin: 6px 0 10px; }
th, td { border: 1px solid #c8c8c8; padding: 3px 8px; text-align: left; vertical-align: top; }
th { background: #f0f0f0; }
.n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
table.identity, table.texts { width: auto; min-width: 50%; }
table.texts td:last-child { white-space: nowrap; }
table.identity th { font-weight: normal; color: #444; }
.finding { border-left: 5px solid #c0392b; background: #fbeeed; padding: 8px 12px; margin: 8px 0; }
.finding h3 { font-size: 15px; margin: 0 0 4px; }
.finding p { margin: 0 0 4px; }
.finding .numbers { font: 12px/1.4 "DejaVu Sans Mono", monospace; color: #444; }
.ok { border-left: 5px solid #2e7d32; background: #edf6ee; padding: 8px 12px; margin: 8px 0; }
.ok p { margin: 0; }
.note { color: #444; }
figure { margin: 8px 0; }
figure svg { width: 100%; height: auto; display: block; }
@media print {
  body { color: #000; background: #fff; margin: 0; max-width: none; padding: 0; font-size: 11pt; }
  .finding, .ok { background: none; }
  th { background: none; }
  thead { display: table-header-group; }
  tr, .finding, .ok, figure { break-inside: avoid; page-break-inside: avoid; }
  h2, h3 { break-after: avoid; page-break-after: avoid; }
}
)";

} // namespace

ReportAnalysis analyse(const ReportInput &in)
{
    ReportAnalysis a;
    const QVector<PackSample> &s = in.samples;
    a.sample_count = s.size();
    if (!s.isEmpty())
        a.span_s = (s.last().ms - s.first().ms) / 1000.0;
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

QByteArray render_html(const ReportInput &in, const ReportAnalysis &a)
{
    QString h = "<!DOCTYPE html>\n<html lang=en>\n<head>\n<meta charset=utf-8>\n";
    h += QStringLiteral("<title>Service report, pack %1</title>\n")
             .arg(esc(in.identity.serial_number));
    h += QStringLiteral("<style>%1</style>\n</head>\n<body>\n").arg(CSS);
    h += QStringLiteral("<h1>Battery service report: pack %1</h1>\n")
             .arg(esc(in.identity.serial_number));
    h += QStringLiteral("<p class=meta>Made %1 by bmsctl %2</p>\n")
             .arg(esc(date_text(in.generated_at)), esc(in.tool_version));

    h += "<h2>Pack</h2>\n<table class=identity>\n";
    const QStringList identity[] = {
        {"Serial number", in.identity.serial_number},
        {"BMS serial", in.identity.bms_serial},
        {"Firmware", QString::number(in.identity.firmware)},
        {"Capacity", QString::number(in.identity.capacity_mah) + " mAh"},
        {"Date of production", in.identity.date_of_production}};
    for (const QStringList &r : identity)
        h += QStringLiteral("<tr><th>%1</th><td>%2</td></tr>\n").arg(esc(r[0]), esc(r[1]));
    h += "</table>\n";

    h += "<h2>Findings</h2>\n";
    if (a.sample_count == 0)
        h += "<div class=finding><p>No samples were taken: the pack was not judged.</p></div>\n";
    else if (a.findings.isEmpty())
        h += "<div class=ok><p><strong>No findings.</strong> The cells, their balance and "
             "the temperatures stayed within the BMS's own limits.</p></div>\n";
    for (const Finding &f : a.findings)
        h += QStringLiteral("<div class=finding><h3>%1</h3><p>%2</p>"
                            "<p class=numbers>%3</p></div>\n")
                 .arg(esc(f.title), esc(f.reason), esc(numbers_text(f.numbers)));
    h += QStringLiteral("<p class=note>%1</p>\n").arg(esc(sag_summary(a)));

    h += "<h2>The pack over the sampling</h2>\n";
    h += QStringLiteral("<p class=note>%1</p>\n").arg(esc(sampling_text(in, a)));
    QVector<QStringList> rows;
    for (const QuantityRow &r : quantity_rows(a))
        rows.append(quantity_cells(r));
    h += html_table(QUANTITY_HEADER, rows, 2);

    h += "<h2>Cells</h2>\n";
    rows.clear();
    for (size_t i = 0; i < CELL_COUNT; ++i)
        rows.append(cell_cells(a, i));
    h += html_table(CELL_HEADER, rows);
    const QByteArray svg = render_cell_chart_svg(in, a);
    if (!svg.isEmpty()) {
        // Inline, without the XML prologue the generator writes before <svg>.
        h += "<figure>\n" + QString::fromUtf8(svg.mid(svg.indexOf("<svg"))) + "</figure>\n";
    } else if (a.sample_count > 0) {
        h += "<p class=note>The chart of the cell voltages could not be drawn here.</p>\n";
    }

    if (in.has_before) {
        h += QStringLiteral("<h2>Settings changed since %1</h2>\n").arg(esc(in.before_file));
        rows.clear();
        for (const ReportSetting &s : changed_settings(in))
            rows.append({s.name, s.before, s.value, s.unit});
        h += rows.isEmpty() ? QStringLiteral("<p>None: every setting is as in the backup.</p>\n")
                            : html_table({"Setting", "Before", "Now", "Unit"}, rows, NO_FIGURES);
    }
    h += "<h2>Settings</h2>\n";
    rows.clear();
    for (const ReportSetting &s : in.settings)
        rows.append({s.name, s.value, s.unit});
    h += html_table({"Setting", "Value", "Unit"}, rows, NO_FIGURES);
    h += "</body>\n</html>\n";
    return h.toUtf8();
}

QByteArray render_markdown(const ReportInput &in, const ReportAnalysis &a)
{
    const auto cell = [](QString s) { return s.replace('|', "\\|"); };
    const auto table = [&](const QStringList &header, const QVector<QStringList> &rows,
                           int numeric_from = 1) {
        QString t = "| " + header.join(" | ") + " |\n|";
        for (int c = 0; c < header.size(); ++c)
            t += c < numeric_from ? "---|" : "---:|";
        t += '\n';
        for (const QStringList &r : rows) {
            QStringList escaped;
            for (const QString &s : r)
                escaped << cell(s);
            t += "| " + escaped.join(" | ") + " |\n";
        }
        return t + '\n';
    };

    QString m =
        QStringLiteral("# Battery service report: pack %1\n\n").arg(in.identity.serial_number);
    m +=
        QStringLiteral("Made %1 by bmsctl %2\n\n").arg(date_text(in.generated_at), in.tool_version);
    m += "## Pack\n\n";
    m += table({"", ""},
               {{"Serial number", in.identity.serial_number},
                {"BMS serial", in.identity.bms_serial},
                {"Firmware", QString::number(in.identity.firmware)},
                {"Capacity", QString::number(in.identity.capacity_mah) + " mAh"},
                {"Date of production", in.identity.date_of_production}},
               NO_FIGURES);

    m += "## Findings\n\n";
    if (a.sample_count == 0)
        m += "No samples were taken: the pack was not judged.\n\n";
    else if (a.findings.isEmpty())
        m += "**No findings.** The cells, their balance and the temperatures stayed within the "
             "BMS's own limits.\n\n";
    for (const Finding &f : a.findings)
        m += QStringLiteral("- **%1.** %2  \n  `%3`\n")
                 .arg(f.title, f.reason, numbers_text(f.numbers));
    if (!a.findings.isEmpty())
        m += '\n';
    m += sag_summary(a) + "\n\n";

    m += "## The pack over the sampling\n\n" + sampling_text(in, a) + "\n\n";
    QVector<QStringList> rows;
    for (const QuantityRow &r : quantity_rows(a))
        rows.append(quantity_cells(r));
    m += table(QUANTITY_HEADER, rows, 2);
    m += "## Cells\n\n";
    rows.clear();
    for (size_t i = 0; i < CELL_COUNT; ++i)
        rows.append(cell_cells(a, i));
    m += table(CELL_HEADER, rows);

    if (in.has_before) {
        m += QStringLiteral("## Settings changed since %1\n\n").arg(in.before_file);
        rows.clear();
        for (const ReportSetting &s : changed_settings(in))
            rows.append({s.name, s.before, s.value, s.unit});
        m += rows.isEmpty() ? QStringLiteral("None: every setting is as in the backup.\n\n")
                            : table({"Setting", "Before", "Now", "Unit"}, rows, NO_FIGURES);
    }
    m += "## Settings\n\n";
    rows.clear();
    for (const ReportSetting &s : in.settings)
        rows.append({s.name, s.value, s.unit});
    m += table({"Setting", "Value", "Unit"}, rows, NO_FIGURES);
    return m.toUtf8();
}

QByteArray render_json(const ReportInput &in, const ReportAnalysis &a)
{
    const auto stat = [](const Stat &s) {
        return QJsonObject{
            {"min", rounded(s.min, 2)}, {"mean", rounded(s.mean, 2)}, {"max", rounded(s.max, 2)}};
    };
    QJsonArray settings, changed, cells, findings, samples;
    for (const ReportSetting &s : in.settings) {
        QJsonObject o{{"name", s.name}, {"unit", s.unit}, {"value", s.value}};
        if (!s.before.isEmpty()) {
            o["before"] = s.before;
            changed.append(QJsonObject{
                {"name", s.name}, {"unit", s.unit}, {"before", s.before}, {"after", s.value}});
        }
        settings.append(o);
    }
    for (size_t i = 0; i < CELL_COUNT; ++i) {
        QJsonObject o = stat(a.cell_mv[i]);
        o["cell"] = static_cast<int>(i + 1);
        o["balancing_share"] = rounded(a.balancing_share[i], 3);
        if (a.sag_judged)
            o["sag_mv_per_a"] = rounded(a.sag_mv_per_a[i], 2);
        cells.append(o);
    }
    for (const Finding &f : a.findings)
        findings.append(QJsonObject{{"kind", f.kind},
                                    {"cell", f.cell},
                                    {"title", f.title},
                                    {"reason", f.reason},
                                    {"numbers", f.numbers}});
    for (const PackSample &p : in.samples) {
        QJsonArray mv, balancing; // balancing as info --json has it: one flag per cell
        for (const int v : p.cells_mv)
            mv.append(v);
        for (int k = 0; k < CELL_COUNT; ++k)
            balancing.append(bool(p.balancing & (1u << k)));
        samples.append(QJsonObject{{"ms", p.ms},
                                   {"voltage_mv", p.voltage_mv},
                                   {"current_ma", p.current_ma},
                                   {"soc_percent", p.soc_percent},
                                   {"remaining_mah", p.remaining_mah},
                                   {"t1_c", p.temperatures_c[0]},
                                   {"t2_c", p.temperatures_c[1]},
                                   {"cells_mv", mv},
                                   {"balancing", balancing}});
    }
    QJsonObject sag{{"judged", a.sag_judged},
                    {"current_range_a", rounded(a.current_range_a, 2)},
                    {"factor_limit", SAG_FACTOR},
                    {"margin_mv_per_a", SAG_MARGIN_MV_PER_A},
                    {"min_current_range_a", SAG_MIN_CURRENT_RANGE_A},
                    {"min_samples", SAG_MIN_SAMPLES}};
    if (a.sag_judged)
        sag["median_mv_per_a"] = rounded(a.sag_median_mv_per_a, 2);
    else
        sag["note"] = a.sag_note;

    QJsonObject root{
        {"generated_at", in.generated_at.toUTC().toString(Qt::ISODate)},
        {"tool_version", in.tool_version},
        {"pack", QJsonObject{{"serial_number", in.identity.serial_number},
                             {"bms_serial", in.identity.bms_serial},
                             {"firmware", in.identity.firmware},
                             {"capacity_mah", in.identity.capacity_mah},
                             {"date_of_production", in.identity.date_of_production}}},
        {"settings", settings},
        {"thresholds",
         QJsonObject{{"cell_disbalance_threshold_mv", in.cell_disbalance_threshold_mv},
                     {"undervoltage_mv", in.undervoltage_mv},
                     {"overvoltage_mv", in.overvoltage_mv},
                     {"critical_temperature_c", in.critical_temperature_c},
                     {"critical_temperature_hysteresis_c", in.critical_temperature_hysteresis_c}}},
        {"sampling", QJsonObject{{"samples", a.sample_count},
                                 {"span_s", rounded(a.span_s, 3)},
                                 {"duration_s", in.duration_s}}},
        {"stats", QJsonObject{{"voltage_mv", stat(a.voltage_mv)},
                              {"current_ma", stat(a.current_ma)},
                              {"remaining_mah", stat(a.remaining_mah)},
                              {"soc_percent", stat(a.soc_percent)},
                              {"t1_c", stat(a.t1_c)},
                              {"t2_c", stat(a.t2_c)},
                              {"spread_mv", stat(a.spread_mv)},
                              {"rest_spread_mv",
                               a.sag_judged ? QJsonValue(stat(a.rest_spread_mv)) : QJsonValue()}}},
        {"cells", cells},
        {"sag", sag},
        {"findings", findings},
        {"samples", samples}};
    if (in.has_before)
        root["before"] = QJsonObject{{"file", in.before_file}, {"changed", changed}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}
