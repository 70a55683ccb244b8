// The service report's judgement of a pack, on synthetic rides.

#include "report/analysis.h"

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
};

QTEST_GUILESS_MAIN(TestReportAnalysis)
#include "test_report_analysis.moc"
