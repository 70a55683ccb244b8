// The input-to-value rules of the "Set" buttons, without a window.

#include "link/frame.h"
#include "settings/discharge_curve.h"
#include "settings/identity.h"
#include "settings/parameter_rules.h"

#include <QtTest>

namespace
{

std::optional<quint16> encode(Parameter p, const QString &text, int index = -1)
{
    return encode_parameter(parameter_rule(p), text, index);
}

QByteArray hex(const char *spaced)
{
    return QByteArray::fromHex(QByteArray(spaced).replace(' ', ""));
}

const CurveTexts NO_ENTRIES{};
const CurveTexts SHOWN{"3000", "3300", "3450", "3550", "3650", "3750",
                       "3850", "3950", "4050", "4100", "4150"};
const DischargeCurve SHOWN_CURVE{3000, 3300, 3450, 3550, 3650, 3750, 3850, 3950, 4050, 4100, 4150};

} // namespace

class SettingsEncoders : public QObject
{
    Q_OBJECT

private slots:
    void line_edits_keep_to_their_inclusive_range()
    {
        using P = Parameter;
        QCOMPARE(encode(P::OvervoltageVoltage, "4200"), std::optional<quint16>(4200));
        QCOMPARE(encode(P::OvervoltageVoltage, "4000"), std::optional<quint16>(4000));
        QCOMPARE(encode(P::OvervoltageVoltage, "4300"), std::optional<quint16>(4300));
        QCOMPARE(encode(P::OvervoltageVoltage, " 4200 "), std::optional<quint16>(4200));
        QCOMPARE(encode(P::OvervoltageVoltage, "+4200"), std::optional<quint16>(4200));
        for (const char *refused : {"3999", "4301", "", "abc", "42 00", "4200mV", "0x1068"})
            QVERIFY2(!encode(P::OvervoltageVoltage, refused), refused);

        for (P hysteresis : {P::OvervoltageHysteresis, P::UndervoltageHysteresis}) {
            QCOMPARE(encode(hysteresis, "0"), std::optional<quint16>(0));
            QCOMPARE(encode(hysteresis, "500"), std::optional<quint16>(500));
            QVERIFY(!encode(hysteresis, "-1"));
            QVERIFY(!encode(hysteresis, "501"));
            // Not a number reads as 0, which this range holds.
            QCOMPARE(encode(hysteresis, ""), std::optional<quint16>(0));
            QCOMPARE(encode(hysteresis, "x"), std::optional<quint16>(0));
        }

        // An overflowing text converts to 0, as everywhere else in the dialog.
        QVERIFY(!encode(P::CellDisbalanceThreshold, "99999999999"));
        QCOMPARE(encode(P::CellDisbalanceThreshold, "10"), std::optional<quint16>(10));
        QCOMPARE(encode(P::CellDisbalanceThreshold, "1000"), std::optional<quint16>(1000));
        QVERIFY(!encode(P::CellDisbalanceThreshold, "9"));
    }

    void adc_offset_is_checked_as_a_signed_16_bit_number()
    {
        const auto offset = [](const QString &text) { return encode(Parameter::AdcOffset, text); };
        QCOMPARE(offset("-5"), std::optional<quint16>(0xFFFB));
        QCOMPARE(offset("-128"), std::optional<quint16>(0xFF80));
        QCOMPARE(offset("127"), std::optional<quint16>(0x007F));
        QVERIFY(!offset("-129"));
        QVERIFY(!offset("128"));
        QCOMPARE(offset("65535"), std::optional<quint16>(0xFFFF)); // -1
        QCOMPARE(offset("65536"), std::optional<quint16>(0));
        QVERIFY(!offset("32768")); // -32768
        QCOMPARE(offset(""), std::optional<quint16>(0));
    }

    void combo_boxes_send_their_index_or_their_scaled_item()
    {
        using P = Parameter;
        QCOMPARE(encode(P::ChargeOvercurrent, "5", 4), std::optional<quint16>(5000));
        QCOMPARE(encode(P::ChargeOvercurrentDelay, "2500", 4), std::optional<quint16>(2500));
        QCOMPARE(encode(P::CriticalTempDelay, "10", 9), std::optional<quint16>(10000));
        QCOMPARE(encode(P::CriticalIntTemp, "80", 4), std::optional<quint16>(80));
        QCOMPARE(encode(P::AdcGain, "396", 31), std::optional<quint16>(396));
        QCOMPARE(encode(P::ShortCircuitDelay, "400", 3), std::optional<quint16>(3));
        QCOMPARE(encode(P::BalanceMode, "Always", 1), std::optional<quint16>(1));
        QCOMPARE(encode(P::DischargeOvercurrent, "50", 6), std::optional<quint16>(6));
    }

    void frames_of_the_worked_examples()
    {
        QByteArray frame;
        build_write_frame(frame, parameter_rule(Parameter::AdcOffset).reg,
                          register_words({*encode(Parameter::AdcOffset, "-5")}));
        QCOMPARE(frame, hex("55 AA 07 22 FE 6C 02 FB FF 70 FC 04 FB"));

        build_write_frame(frame, REG_BATTERY_CAPACITY, register_words({*encode_capacity("12400")}));
        QCOMPARE(frame, hex("55 AA 07 22 FE 18 02 70 30 1E FE 02 FD"));

        build_write_frame(frame, REG_DSG_CURVE,
                          discharge_curve_data(*merge_discharge_curve(NO_ENTRIES, SHOWN)));
        QCOMPARE(frame, hex("55 AA 1B 22 FE 05 16 B8 0B E4 0C 7A 0D DE 0D 42 0E A6 0E 0A 0F 6E 0F "
                            "D2 0F 04 10 36 10 AF F8 08 F7"));
    }

    void serial_number_is_fourteen_utf8_bytes_padded_with_spaces()
    {
        QCOMPARE(encode_serial_number(""), QByteArray(14, ' '));
        QCOMPARE(encode_serial_number("ABC"), QByteArray("ABC") + QByteArray(11, ' '));
        QCOMPARE(encode_serial_number(" abc "), QByteArray(" abc ") + QByteArray(9, ' '));
        QCOMPARE(encode_serial_number("ABCDEFGHIJKLMNOPQRST"), QByteArray("ABCDEFGHIJKLMN"));
        // U+00E9 is C3 A9: the 14th byte is its first half, the second is dropped.
        QCOMPARE(encode_serial_number(QString::fromUtf8("ABCDEFGHIJKLM\xc3\xa9Z")),
                 QByteArray("ABCDEFGHIJKLM\xc3"));
        QCOMPARE(encode_serial_number(QString::fromUtf8("\xc3\xa9")),
                 QByteArray("\xc3\xa9") + QByteArray(12, ' '));
    }

    void capacity_and_date()
    {
        QCOMPARE(encode_capacity("1"), std::optional<quint16>(1));
        QCOMPARE(encode_capacity("32000"), std::optional<quint16>(32000));
        QCOMPARE(encode_capacity(" +12400\t"), std::optional<quint16>(12400));
        for (const char *refused : {"0", "-5", "32001", "abc", "", "65536"})
            QVERIFY2(!encode_capacity(refused), refused);

        QCOMPARE(encode_production_date(0, 0, 0), quint16(0x2621));              // 1 Jan 2019
        QCOMPARE(encode_production_date(30, 11, 9), quint16(0x399F));            // 31 Dec 2028
        QCOMPARE(encode_production_date(30, 1, 1), quint16(31 + 64 + 512 * 20)); // 31 Feb 2020
    }

    void discharge_curve_merges_entries_with_the_displayed_curve()
    {
        QCOMPARE(merge_discharge_curve(NO_ENTRIES, SHOWN), std::optional(SHOWN_CURVE));

        CurveTexts entered{};
        entered[4] = "3600";
        DischargeCurve expected = SHOWN_CURVE;
        expected[4] = 3600;
        QCOMPARE(merge_discharge_curve(entered, SHOWN), std::optional(expected));

        // Entries at the window's edges or not numbers keep the displayed point.
        entered = {"2000", "", "35OO", "", "", "", "", "", "", "", "4500"};
        QCOMPARE(merge_discharge_curve(entered, SHOWN), std::optional(SHOWN_CURVE));
        entered = {"2001", "", "", "", "", "", "", "", "", "", "4499"};
        expected = SHOWN_CURVE;
        expected[0] = 2001;
        expected[10] = 4499;
        QCOMPARE(merge_discharge_curve(entered, SHOWN), std::optional(expected));

        // The bounds of the curve itself are inclusive.
        CurveTexts shown = SHOWN;
        shown[0] = "2000";
        shown[10] = "4500";
        QVERIFY(merge_discharge_curve(NO_ENTRIES, shown));
        shown[0] = "1999";
        QVERIFY(!merge_discharge_curve(NO_ENTRIES, shown));
        shown[0] = "2000";
        shown[10] = "4501";
        QVERIFY(!merge_discharge_curve(NO_ENTRIES, shown));
    }

    void discharge_curve_that_does_not_rise_is_refused()
    {
        CurveTexts entered{};
        entered[5] = "3650"; // equal to the point before
        QVERIFY(!merge_discharge_curve(entered, SHOWN));
        entered[5] = "3600"; // below it
        QVERIFY(!merge_discharge_curve(entered, SHOWN));

        // Nothing read yet: only a complete entry makes a curve.
        QVERIFY(!merge_discharge_curve(NO_ENTRIES, CurveTexts{}));
        entered = SHOWN;
        entered[7] = "";
        QVERIFY(!merge_discharge_curve(entered, CurveTexts{}));
        QCOMPARE(merge_discharge_curve(SHOWN, CurveTexts{}), std::optional(SHOWN_CURVE));
    }
};

QTEST_APPLESS_MAIN(SettingsEncoders)
#include "test_settings_encoders.moc"
