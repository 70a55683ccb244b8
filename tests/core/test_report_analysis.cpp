// The service report's judgement of a pack, on synthetic rides.

#include "report/analysis.h"
#include "report/setting_labels.h"

#include <QJsonArray>
#include <QRandomGenerator>
#include <QtTest>

namespace
{

// 120 samples 0.5 s apart; the current steps at random between lo_a and hi_a. Each
// cell is 8 mΩ (cell `weak`, if any, 32 mΩ) with a few mV of noise on a slowly
// falling open-circuit voltage and its own small offset.
AnalysisInput ride(int weak, double lo_a, double hi_a)
{
    AnalysisInput in;
    in.limits.cell_disbalance_threshold_mv = 50;
    in.limits.undervoltage_mv = 3000;
    in.limits.overvoltage_mv = 4200;
    in.limits.critical_temperature_c = 60;
    in.limits.critical_temperature_hysteresis_c = 5;
    QRandomGenerator rng(7);
    for (int n = 0; n < 120; ++n) {
        PackSample s;
        s.ms = 500 * n;
        s.current_ma = -static_cast<int>(1000 * (lo_a + rng.generateDouble() * (hi_a - lo_a)));
        s.temperatures_c[0] = 25;
        s.temperatures_c[1] = 27;
        for (int k = 1; k <= CELL_COUNT; ++k) {
            const double ohm = k == weak ? 0.032 : 0.008;
            const double ocv = 3900 - 0.2 * n + 2 * k;
            const auto mv = std::lround(ocv + ohm * s.current_ma + rng.bounded(-3, 4));
            s.cells_mv[static_cast<size_t>(k - 1)] = static_cast<int>(mv);
            s.voltage_mv += static_cast<int>(mv);
        }
        in.samples.append(s);
    }
    return in;
}

// The BMS's limits as the simulator ships them.
ReportLimits limits()
{
    ReportLimits l;
    l.cell_disbalance_threshold_mv = 20;
    l.undervoltage_mv = 3000;
    l.overvoltage_mv = 4200;
    l.shutdown_mv = 2800;
    l.critical_temperature_c = 60;
    l.critical_temperature_hysteresis_c = 5;
    l.undervoltage_delay_ms = 4000;
    l.overvoltage_delay_ms = 2000;
    l.critical_temperature_delay_ms = 5000;
    return l;
}

// 10 s at the window's 100 ms: cells at `ocv_mv` with their own resistances, a
// current of `amps` (negative: discharge), both switches on, 25 °C.
AnalysisInput steady(int ocv_mv, double amps, const std::array<double, CELL_COUNT> &mohm = {})
{
    AnalysisInput in;
    in.limits = limits();
    for (int n = 0; n <= 100; ++n) {
        PackSample s;
        s.ms = 100 * n;
        s.current_ma = static_cast<int>(amps * 1000);
        s.temperatures_c = {25, 26};
        s.charging_enabled = s.discharging_enabled = true;
        s.charging = amps > 0;
        for (size_t k = 0; k < CELL_COUNT; ++k)
            s.cells_mv[k] = ocv_mv + static_cast<int>(std::lround(mohm[k] * amps));
        in.samples.append(s);
    }
    return in;
}

QStringList kinds(const ReportAnalysis &a)
{
    QStringList out;
    for (const Finding &f : a.findings)
        out << f.kind;
    return out;
}

} // namespace

class TestReportAnalysis : public QObject
{
    Q_OBJECT

private slots:
    void weak_cell_is_named_alone()
    {
        const ReportAnalysis a = analyse(ride(3, 2, 20));
        QVERIFY(a.sag_judged);
        QList<int> sagging;
        for (const Finding &f : a.findings) {
            QVERIFY2((f.cell == 0 || f.cell == 3) &&
                         !f.title.contains(QRegularExpression("[Cc]ell (?!3\\b)\\d+")),
                     qPrintable(f.title));
            if (f.kind == FINDING_SAG)
                sagging << f.cell;
        }
        QCOMPARE(sagging, QList<int>{3});
        QVERIFY(std::abs(a.sag_mv_per_a[2] - 32) < 3);
        QVERIFY(std::abs(a.sag_median_mv_per_a - 8) < 1);
    }

    void healthy_pack_has_no_finding()
    {
        const ReportAnalysis a = analyse(ride(0, 2, 20));
        QVERIFY(a.sag_judged);
        QVERIFY2(a.findings.isEmpty(), qPrintable(a.findings.value(0).title));
    }

    // The current and the cells are read a moment apart: a load step in between
    // skews one sample, which must not make a balanced pack look out of balance.
    void skewed_sample_is_no_imbalance()
    {
        AnalysisInput in = ride(3, 2, 20);
        in.samples[50].current_ma = in.samples[50].current_ma < -11000 ? -2000 : -20000;
        for (const Finding &f : analyse(in).findings)
            QVERIFY2(f.kind != FINDING_SPREAD, qPrintable(f.title));
    }

    void steady_current_cannot_be_judged()
    {
        const ReportAnalysis a = analyse(ride(3, 2, 4));
        QVERIFY(!a.sag_judged);
        QVERIFY(a.sag_note.contains("could not be judged"));
        for (const Finding &f : a.findings)
            QVERIFY(f.kind != FINDING_SAG);
    }

    // Cells that differ only in resistance, 6 to 30 mΩ, under a load stepping
    // every 0.5 s between 2 and 14 A, heavier early than late, for 10 s. The
    // pack is nearly empty, so the open-circuit voltage falls steeply with the
    // charge drawn (1 mV per ampere-second), and the cells are read a moment after
    // the current: at every step they already see the next load. Every figure
    // within 20 %.
    void resistance_from_stepped_current()
    {
        const std::array<double, CELL_COUNT> mohm{6, 8, 8, 9, 10, 12, 15, 20, 25, 30};
        QRandomGenerator rng(11);
        const auto load = [&rng](int n) {
            return -(2 + 12 * rng.generateDouble()) * (1 - n / 150.0);
        };
        AnalysisInput in;
        in.limits = limits();
        double drawn_as = 0, amps = load(0), next = load(5);
        for (int n = 0; n <= 100; ++n) {
            PackSample s;
            s.ms = 100 * n;
            if (n > 0 && n % 5 == 0) {
                amps = next;
                next = load(n + 5);
            }
            const double at_cells = n % 5 == 4 ? next : amps;
            s.current_ma = static_cast<int>(amps * 1000);
            drawn_as += -amps * 0.1;
            s.charging_enabled = s.discharging_enabled = true;
            for (size_t k = 0; k < CELL_COUNT; ++k)
                s.cells_mv[k] = static_cast<int>(
                    std::lround(3300 - drawn_as + mohm[k] * at_cells + rng.bounded(-2, 3)));
            in.samples.append(s);
        }
        const ReportAnalysis a = analyse(in);
        QVERIFY(a.sag_judged);
        // The readings a step fell between are left out: without that the figures
        // are a fifth low, with it a few percent off.
        double error = 0;
        for (size_t k = 0; k < CELL_COUNT; ++k)
            error += std::abs(a.sag_mv_per_a[k] - mohm[k]) / mohm[k] / CELL_COUNT;
        QVERIFY2(error < 0.1, qPrintable(QString::number(error)));
        for (size_t k = 0; k < CELL_COUNT; ++k)
            QVERIFY2(std::abs(a.sag_mv_per_a[k] - mohm[k]) <= 0.2 * mohm[k],
                     qPrintable(QStringLiteral("cell %1: %2 mΩ, truly %3")
                                    .arg(k + 1)
                                    .arg(a.sag_mv_per_a[k])
                                    .arg(mohm[k])));
    }

    // Ten cells at 2940 mV, below the 3000 mV limit, while 5 A still flows out:
    // one finding that the BMS did not act, not ten about the cells. The BMS is
    // given its 4 s delay and one poll cycle; when it opens the discharge switch
    // in time, the cells are low but the BMS did its part.
    void undervoltage_protection_not_acting()
    {
        AnalysisInput in = steady(2940, -5);
        ReportAnalysis a = analyse(in);
        QCOMPARE(kinds(a), QStringList{FINDING_NOT_ACTING});
        const Finding &f = a.findings.first();
        QVERIFY(f.fault);
        QCOMPARE(f.numbers["protection"].toString(), QStringLiteral("undervoltage"));
        QCOMPARE(f.numbers["cells"].toArray().size(), CELL_COUNT);
        QCOMPARE(f.numbers["past_limit_by"].toInt(), 60);
        QCOMPARE(f.numbers["lasted_s"].toDouble(), 10.0);
        QVERIFY2(f.reason.contains("All ten cells") && f.reason.contains("3000 mV") &&
                     f.reason.contains("60 mV below"),
                 qPrintable(f.reason));
        QCOMPARE(a.verdict, Verdict::Fault);
        QVERIFY(a.verdict_reason.contains(f.title.mid(1)));

        // Switched off after 4.6 s: in time, the current stops.
        for (int n = 46; n < in.samples.size(); ++n) {
            in.samples[n].discharging_enabled = false;
            in.samples[n].current_ma = 0;
        }
        a = analyse(in);
        QCOMPARE(kinds(a), QStringList{FINDING_UNDERVOLTAGE});
        QCOMPARE(a.findings.first().cell, 0);
        QCOMPARE(a.verdict, Verdict::Attention);
        // 4.7 s of it is past the delay and the poll cycle.
        in.samples[46].discharging_enabled = true;
        in.samples[46].current_ma = -5000;
        in.samples[47].discharging_enabled = true;
        in.samples[47].current_ma = -5000;
        QCOMPARE(kinds(analyse(in)), QStringList{FINDING_NOT_ACTING});
    }

    // The other two protections, and the BMS's own overheat flag.
    void overvoltage_and_temperature_not_acting()
    {
        AnalysisInput in = steady(4230, 3);
        in.samples[0].cells_mv[6] = 4260; // the worst of cell 7
        ReportAnalysis a = analyse(in);
        QCOMPARE(kinds(a), QStringList{FINDING_NOT_ACTING});
        QCOMPARE(a.findings.first().numbers["protection"].toString(),
                 QStringLiteral("overvoltage"));
        QCOMPARE(a.findings.first().numbers["past_limit_by"].toInt(), 60);

        in = steady(3900, 0);
        for (PackSample &s : in.samples) {
            s.temperatures_c[1] = 66;
            s.overheat = true;
        }
        a = analyse(in);
        QCOMPARE(kinds(a), (QStringList{FINDING_NOT_ACTING, FINDING_OVERHEAT}));
        QVERIFY(a.findings[0].reason.startsWith("Sensor T2 stayed above"));
        QVERIFY(a.findings[1].title.contains("T2 at 66 °C"));
        // The discharge switch opened in time, the charge switch stayed on.
        for (int n = 50; n < in.samples.size(); ++n)
            in.samples[n].discharging_enabled = false;
        QCOMPARE(kinds(analyse(in)), (QStringList{FINDING_NOT_ACTING, FINDING_OVERHEAT}));
        // Both off in time: the flag alone is still a fault.
        for (int n = 50; n < in.samples.size(); ++n)
            in.samples[n].charging_enabled = false;
        a = analyse(in);
        QCOMPARE(kinds(a), QStringList{FINDING_OVERHEAT});
        QCOMPARE(a.verdict, Verdict::Fault);
    }

    // ok without findings, attention for what needs a look, fault for what is
    // unsafe now, and the reason names the findings that decided it.
    void verdicts()
    {
        ReportAnalysis a = analyse(ride(0, 2, 20));
        QCOMPARE(a.verdict, Verdict::Ok);
        QCOMPARE(verdict_name(a.verdict), "ok");
        QVERIFY(a.verdict_reason.startsWith("No findings"));

        a = analyse(ride(3, 2, 20));
        QCOMPARE(a.verdict, Verdict::Attention);
        QCOMPARE(a.verdict_reason,
                 QStringLiteral("Needs attention: cell 3 sags more than the others under load."));

        AnalysisInput in = ride(0, 2, 20);
        in.before_file = QStringLiteral("pack.json");
        in.changes = {{QStringLiteral("Cell overvoltage, mV"), "4200", "4250"}};
        a = analyse(in);
        QCOMPARE(kinds(a), QStringList{FINDING_SETTING_CHANGED});
        QVERIFY(a.findings.first().reason.contains("Cell overvoltage, mV was 4200 and is 4250"));
        QCOMPARE(a.verdict, Verdict::Attention);

        // A cell below the shutdown voltage, with the weak cell: the fault decides.
        in = ride(3, 2, 20);
        in.limits.shutdown_mv = 2800;
        in.samples[30].cells_mv[4] = 2750;
        a = analyse(in);
        QCOMPARE(a.verdict, Verdict::Fault);
        QVERIFY(kinds(a).contains(FINDING_BELOW_SHUTDOWN) &&
                !kinds(a).contains(FINDING_UNDERVOLTAGE));
        QCOMPARE(a.verdict_reason,
                 QStringLiteral("Unsafe now: cell 5 below the BMS's shutdown voltage."));
    }

    // The window's labels, in the order of the settings: each label's unit is the
    // setting's own (the window spells µs "us" and µV per LSB "uV/LSB").
    void labels_match_their_settings()
    {
        QSet<QString> labels;
        for (const SettingDef &def : all_settings()) {
            const QString label = setting_label(def.id);
            labels << label;
            const QString unit =
                QString::fromUtf8(def.unit).replace("µ", "u").replace(" per ", "/");
            if (unit == "text" || def.form == SettingForm::Date)
                QVERIFY2(!label.contains(','), qPrintable(label));
            else
                QVERIFY2(label.endsWith(", " + unit) ||
                             (def.form == SettingForm::Curve && label.endsWith(", mV")),
                         qPrintable(label + " / " + unit));
        }
        QCOMPARE(labels.size(), SETTING_COUNT);
        QCOMPARE(setting_label(Setting::Overvoltage), QStringLiteral("Cell overvoltage, mV"));
        QCOMPARE(setting_label(Setting::OvervoltageDelay),
                 QStringLiteral("Cell overvoltage delay, s"));
    }
};

QTEST_GUILESS_MAIN(TestReportAnalysis)
#include "test_report_analysis.moc"
