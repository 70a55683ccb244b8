// Input-to-value edges of the "Set" buttons that the frames over the line do not
// already show, without a window.

#include "settings/discharge_curve.h"
#include "settings/identity.h"
#include "settings/parameter_rules.h"

#include <QtTest>

namespace
{

using Value = std::optional<quint16>;

Value encode(Parameter p, const QString &text, int index = -1)
{
    return encode_parameter(parameter_rule(p), text, index);
}

const CurveTexts SHOWN{"3000", "3300", "3450", "3550", "3650", "3750",
                       "3850", "3950", "4050", "4100", "4150"};
const DischargeCurve SHOWN_CURVE{3000, 3300, 3450, 3550, 3650, 3750, 3850, 3950, 4050, 4100, 4150};

} // namespace

class SettingsEncoders : public QObject
{
    Q_OBJECT

private slots:
    void numbers_as_the_dialog_reads_them()
    {
        using P = Parameter;
        for (const char *refused : {"42 00", "4200mV", "0x1068"})
            QVERIFY2(!encode(P::OvervoltageVoltage, refused), refused);
        // An overflowing text converts to 0, as everywhere else in the dialog.
        QVERIFY(!encode(P::CellDisbalanceThreshold, "99999999999"));
        QVERIFY(!encode(P::CellDisbalanceThreshold, "9"));
        QCOMPARE(encode(P::CellDisbalanceThreshold, "1000"), Value(1000));
        // The ADC offset is range-checked as a signed 16-bit number.
        QCOMPARE(encode(P::AdcOffset, "65536"), Value(0));
        QVERIFY(!encode(P::AdcOffset, "32768")); // -32768
        QCOMPARE(encode(P::AdcOffset, ""), Value(0));
        QCOMPARE(encode_capacity(" +12400\t"), Value(12400));
        QVERIFY(!encode_capacity("65536"));
        QCOMPARE(encode_production_date(30, 1, 1), quint16(31 + 64 + 512 * 20)); // 31 Feb 2020
    }

    void combo_boxes_send_their_index_or_their_scaled_item()
    {
        using P = Parameter;
        QCOMPARE(encode(P::ChargeOvercurrentDelay, "2500", 4), Value(2500));
        QCOMPARE(encode(P::CriticalIntTemp, "80", 4), Value(80));
        QCOMPARE(encode(P::AdcGain, "396", 31), Value(396));
        QCOMPARE(encode(P::DischargeOvercurrent, "50", 6), Value(6));
    }

    void serial_number_is_fourteen_utf8_bytes()
    {
        QCOMPARE(encode_serial_number(""), QByteArray(14, ' '));
        QCOMPARE(encode_serial_number("ABCDEFGHIJKLMNOPQRST"), QByteArray("ABCDEFGHIJKLMN"));
        // U+00E9 is C3 A9: the 14th byte is its first half, the second is dropped.
        QCOMPARE(encode_serial_number(QString::fromUtf8("ABCDEFGHIJKLM\xc3\xa9Z")),
                 QByteArray("ABCDEFGHIJKLM\xc3"));
    }

    void discharge_curve_edges()
    {
        // Entries at the window's edges or not numbers keep the displayed point.
        CurveTexts entered = {"2000", "", "35OO", "", "", "", "", "", "", "", "4500"};
        QCOMPARE(merge_discharge_curve(entered, SHOWN), std::optional(SHOWN_CURVE));
        entered = {"2001", "", "", "", "", "", "", "", "", "", "4499"};
        DischargeCurve expected = SHOWN_CURVE;
        expected[0] = 2001;
        expected[10] = 4499;
        QCOMPARE(merge_discharge_curve(entered, SHOWN), std::optional(expected));
        entered = {"", "", "", "", "", "3650"}; // equal to the point before
        QVERIFY(!merge_discharge_curve(entered, SHOWN));

        // The bounds of the displayed curve itself are inclusive.
        CurveTexts shown = SHOWN;
        shown[0] = "2000";
        shown[10] = "4500";
        QVERIFY(merge_discharge_curve({}, shown));
        shown[0] = "1999";
        QVERIFY(!merge_discharge_curve({}, shown));
        shown[0] = "2000";
        shown[10] = "4501";
        QVERIFY(!merge_discharge_curve({}, shown));

        // Nothing read yet: only a complete entry makes a curve.
        QCOMPARE(merge_discharge_curve(SHOWN, CurveTexts{}), std::optional(SHOWN_CURVE));
        entered = SHOWN;
        entered[7] = "";
        QVERIFY(!merge_discharge_curve(entered, CurveTexts{}));
    }
};

QTEST_APPLESS_MAIN(SettingsEncoders)
#include "test_settings_encoders.moc"
