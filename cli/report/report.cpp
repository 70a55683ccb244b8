#include "report.h"
#include "document.h"

#include <QJsonArray>
#include <QJsonDocument>

QByteArray render_html(const ReportInput &in, const ReportAnalysis &a)
{
    return write_html(build_report_document(in, a), render_cell_chart_svg(in, a));
}

QByteArray render_markdown(const ReportInput &in, const ReportAnalysis &a)
{
    return write_markdown(build_report_document(in, a));
}

namespace
{

const char *direction(int current_ma)
{
    if (current_ma >= PROTECTION_MIN_CURRENT_MA)
        return "in";
    if (current_ma <= -PROTECTION_MIN_CURRENT_MA)
        return "out";
    return "none";
}

} // namespace

QByteArray render_json(const ReportInput &in, const ReportAnalysis &a)
{
    const auto stat = [](const Stat &s) {
        return QJsonObject{{"min", rounded_to(s.min, 2)},
                           {"mean", rounded_to(s.mean, 2)},
                           {"max", rounded_to(s.max, 2)}};
    };
    QJsonArray settings, changed, cells, findings, samples;
    for (const ReportSetting &s : in.settings) {
        QJsonObject o{{"name", s.name}, {"label", s.label}, {"unit", s.unit}, {"value", s.value}};
        if (!s.before.isEmpty()) {
            o["before"] = s.before;
            changed.append(QJsonObject{{"name", s.name},
                                       {"label", s.label},
                                       {"unit", s.unit},
                                       {"before", s.before},
                                       {"after", s.value}});
        }
        settings.append(o);
    }
    for (size_t i = 0; i < CELL_COUNT; ++i) {
        QJsonObject o = stat(a.cell_mv[i]);
        o["cell"] = static_cast<int>(i + 1);
        o["balancing_share"] = rounded_to(a.balancing_share[i], 3);
        if (a.sag_judged) {
            o["sag_mv_per_a"] = rounded_to(a.sag_mv_per_a[i], 2);
            o["resistance_mohm"] = rounded_to(a.sag_mv_per_a[i], 2);
        } else {
            o["resistance_mohm"] = QJsonValue();
            o["resistance_note"] = a.sag_note;
        }
        cells.append(o);
    }
    for (const Finding &f : a.findings)
        findings.append(QJsonObject{{"kind", f.kind},
                                    {"cell", f.cell},
                                    {"fault", f.fault},
                                    {"title", f.title},
                                    {"reason", f.reason},
                                    {"numbers", f.numbers}});
    for (const PackSample &p : in.analysis.samples) {
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
                                   {"balancing", balancing},
                                   {"charging", p.charging},
                                   {"overheat", p.overheat},
                                   {"charging_enabled", p.charging_enabled},
                                   {"discharging_enabled", p.discharging_enabled},
                                   {"current_direction", direction(p.current_ma)}});
    }
    QJsonObject sag{{"judged", a.sag_judged},
                    {"current_range_a", rounded_to(a.current_range_a, 2)},
                    {"factor_limit", SAG_FACTOR},
                    {"margin_mv_per_a", SAG_MARGIN_MV_PER_A},
                    {"min_current_range_a", SAG_MIN_CURRENT_RANGE_A},
                    {"min_samples", SAG_MIN_SAMPLES}};
    if (a.sag_judged)
        sag["median_mv_per_a"] = rounded_to(a.sag_median_mv_per_a, 2);
    else
        sag["note"] = a.sag_note;

    const auto text_or_null = [](const QString &s) {
        return s.isNull() ? QJsonValue() : QJsonValue(s);
    };
    const ReportLimits &l = in.analysis.limits;
    QJsonObject root{
        {"generated_at", in.generated_at.toUTC().toString(Qt::ISODate)},
        {"started_at", in.started_at.isValid()
                           ? QJsonValue(in.started_at.toUTC().toString(Qt::ISODateWithMs))
                           : QJsonValue()},
        {"tool_version", in.tool_version},
        {"verdict", verdict_name(a.verdict)},
        {"verdict_reason", a.verdict_reason},
        {"shop", text_or_null(in.shop)},
        {"technician", text_or_null(in.technician)},
        {"job", text_or_null(in.job)},
        {"pack", QJsonObject{{"serial_number", in.identity.serial_number},
                             {"bms_serial", in.identity.bms_serial},
                             {"firmware", in.identity.firmware},
                             {"capacity_mah", in.identity.capacity_mah},
                             {"date_of_production", in.identity.date_of_production}}},
        {"settings", settings},
        {"thresholds",
         QJsonObject{{"cell_disbalance_threshold_mv", l.cell_disbalance_threshold_mv},
                     {"undervoltage_mv", l.undervoltage_mv},
                     {"overvoltage_mv", l.overvoltage_mv},
                     {"shutdown_mv", l.shutdown_mv},
                     {"critical_temperature_c", l.critical_temperature_c},
                     {"critical_temperature_hysteresis_c", l.critical_temperature_hysteresis_c},
                     {"undervoltage_delay_ms", l.undervoltage_delay_ms},
                     {"overvoltage_delay_ms", l.overvoltage_delay_ms},
                     {"critical_temperature_delay_ms", l.critical_temperature_delay_ms},
                     {"protection_grace_ms", PROTECTION_GRACE_MS}}},
        {"sampling", QJsonObject{{"samples", a.sample_count},
                                 {"span_s", rounded_to(a.span_s, 3)},
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
