// The "Set" buttons as a technician uses them: the tool is connected to one end of
// a real pseudo-terminal and every frame it writes is read from the other end.

#include "dialog_access.h"
#include "pty_peer.h"
#include "set_buttons.h"

#include "app/program_state.h"
#include "settings/discharge_curve.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTimer>

namespace
{

const CurveTexts CURVE = {"3000", "3300", "3450", "3550", "3650", "3750",
                          "3850", "3950", "4050", "4100", "4150"};

// Each row puts a text into lineEdit_set_<name>, or chooses an index of
// comboBox_set_<name>, and clicks its button: "input>expected|...", where expected is
// the whole frame, or the data bytes from the value on, or empty for nothing sent.
// An input without ">" is only set.
const struct {
    const char *name, *cases;
} rows[] = {
    {"overvoltage_voltage", "4200>55 AA 07 22 FE 5A 02 68 10 04 FE 02 FD|4000>A0 0F|4300>CC 10|"
                            " +4200 >68 10|3999>|4301>|4200mV>|0x1068>|42 00>|>"},
    {"undercurrent_current", "4>55 AA 07 22 FE 57 02 88 13 E4 FD 03 FC"}, // 5 A
    {"adc_offset", "-5>55 AA 07 22 FE 6C 02 FB FF 70 FC 04 FB|-128>80 FF|127>7F 00|65535>FF FF|"
                   "65536>00 00|>00 00|-129>|32768>"},
    {"balance_mode", "1>55 AA 07 22 FE 6D 02 01 00 68 FE 02 FD"}, // "Always"
    {"capacity", "12400>55 AA 07 22 FE 18 02 70 30 1E FE 02 FD|1>01 00|32000>00 7D|"
                 " +12400\t>70 30|0>|32001>|>"},
    {"day_of_production", "0"},
    {"month_of_production", "0"},
    {"year_of_production", "0>55 AA 07 22 FE 20 02 21 26 6F FE 02 FD"},
    {"day_of_production", "30"},
    {"month_of_production", "11"},
    {"year_of_production", "9>9F 39"},
    {"month_of_production", "1>5F 38"}, // 31 Feb 2028 goes as it is
    {"serial_number",
     "ABC>55 AA 13 22 FE 10 0E 41 42 43 20 20 20 20 20 20 20 20 20 20 20 88 FC 04 FB|"
     ">20 20 20 20 20 20 20 20 20 20 20 20 20 20|"
     "ABCDEFGHIJKLMNOPQ>41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E|"
     // U+00E9 is C3 A9: the 14th byte is its first half, the second is dropped.
     "ABCDEFGHIJKLM\xc3\xa9Z>41 42 43 44 45 46 47 48 49 4A 4B 4C 4D C3"},
    {"short_circuit_delay", "3>03 00"}, // item "400": its index is sent
    {"overcurrent_current", "6>06 00"},
    {"critical_temp_delay", "9>10 27"}, // 10 s in ms
    {"undercurrent_delay", "4>C4 09"},
    {"critical_int_temp", "4>50 00"},
    {"adc_gain", "31>8C 01"},
    {"overvoltage_hysteresis", "500>F4 01|>00 00|501>"},
    {"undervoltage_hysteresis", "x>00 00|-1>"},
    {"disbalance_threshold", "1000>E8 03|9>|99999999999>"}, // overflows to 0
};

} // namespace

class SettingsWrites : public QObject
{
    Q_OBJECT

    MyDialogWindow *dialog = nullptr;
    PtyPeer *peer = nullptr;

    void show_curve(const CurveTexts &points)
    {
        for (int k = 1; k <= 11; ++k) {
            set_text(dialog, qPrintable(QString("lineEdit_dsg_curve%1").arg(k)), points[k - 1]);
            set_text(dialog, qPrintable(QString("lineEdit_set_dsg_curve%1").arg(k)), "");
        }
    }

    QByteArray click_and_read(const char *button)
    {
        click(dialog, button);
        return peer->nextFrame(0xFE);
    }

    // Slots send before they return, so if `button` wrote anything it would come
    // before the frame of a button known to send (balance mode, register 0x6D).
    bool click_sends_nothing(const char *button)
    {
        click(dialog, button);
        return click_and_read("pushButton_set_balance_mode").mid(5, 1) == hex("6D");
    }

private slots:
    void initTestCase()
    {
        reset_program_state();
        peer = new PtyPeer;
        QVERIFY(peer->isOpen());
        dialog = new MyDialogWindow;
        connect_dialog(dialog, peer->slavePath());
    }

    void init()
    {
        peer->drain();
        bms_registers_request_send_timer->start(100);
    }

    void cleanupTestCase()
    {
        click(dialog, "button_disconnect");
        delete dialog;
        delete peer;
    }

    void values_as_sent()
    {
        for (const auto &row : rows)
            for (const QString &one : QString::fromUtf8(row.cases).split('|')) {
                const QString name = row.name, input = one.section('>', 0, 0);
                if (auto *edit = dialog->findChild<QLineEdit *>("lineEdit_set_" + name))
                    edit->setText(input);
                else
                    widget<QComboBox>(dialog, qPrintable("comboBox_set_" + name))
                        ->setCurrentIndex(input.toInt());
                if (!one.contains('>'))
                    continue;
                const QByteArray button =
                    "pushButton_set_" +
                    (name.endsWith("_of_production")
                         ? QString("date_of_production")
                         : QString(name).replace("disbalance", "cell_disbalance"))
                        .toLatin1();
                const QByteArray wanted = hex(qPrintable(one.section('>', 1)));
                if (wanted.isEmpty())
                    QVERIFY2(click_sends_nothing(button), qPrintable(name + " " + input));
                else
                    QVERIFY2(click_and_read(button).mid(wanted.startsWith(hex("55 AA")) ? 0 : 7,
                                                        wanted.size()) == wanted,
                             qPrintable(name + " " + input));
            }
    }

    void every_button_writes_its_register_and_restarts_polling_data()
    {
        QTest::addColumn<int>("row");
        for (int i = 0; i < 29; ++i)
            QTest::newRow(set_buttons[i].button) << i;
    }
    void every_button_writes_its_register_and_restarts_polling()
    {
        QFETCH(int, row);
        const SetButton &b = set_buttons[row];
        if (b.line_edit)
            set_text(dialog, b.line_edit, b.text);
        show_curve(CURVE);
        QTimer *poll = bms_registers_request_send_timer;
        poll->stop();
        QByteArray frame = click_and_read(b.button);
        QVERIFY(frame.size() >= 13);
        QCOMPARE(int(quint8(frame.at(5))), b.reg);
        QVERIFY(poll->isActive() && poll->interval() == 100);

        poll->start(5000);
        QVERIFY(!click_and_read(b.button).isEmpty());
        QCOMPARE(poll->interval(), 100);
        // Coarse timers may round their deadline up by a few percent.
        QVERIFY2(poll->remainingTime() <= 110, qPrintable(QString::number(poll->remainingTime())));
    }

    void discharge_curve()
    {
        show_curve(CURVE);
        QCOMPARE(click_and_read("pushButton_set_dsg_curve_manual"),
                 hex("55 AA 1B 22 FE 05 16 B8 0B E4 0C 7A 0D DE 0D 42 0E A6 0E 0A 0F 6E 0F "
                     "D2 0F 04 10 36 10 AF F8 08 F7"));
        // An entered point takes the place of the displayed one; one that does not
        // rise, or with nothing displayed, drops the curve.
        set_text(dialog, "lineEdit_set_dsg_curve5", "3600");
        QCOMPARE(click_and_read("pushButton_set_dsg_curve_manual").mid(15, 2), hex("10 0E"));
        set_text(dialog, "lineEdit_set_dsg_curve5", "3550");
        QVERIFY(click_sends_nothing("pushButton_set_dsg_curve_manual"));
        show_curve({});
        set_text(dialog, "lineEdit_set_dsg_curve5", "3600");
        QVERIFY(click_sends_nothing("pushButton_set_dsg_curve_manual"));

        // Entries outside 2000..4500 (exclusive) or not numbers keep the displayed
        // point; displayed points must lie within it (inclusive).
        const auto merged = [](CurveTexts entered, int at, const char *shown_there) {
            CurveTexts shown = CURVE;
            shown[at] = shown_there;
            const auto curve = merge_discharge_curve(entered, shown);
            return curve ? QString::number((*curve)[0]) + " " + QString::number((*curve)[10])
                         : QString("none");
        };
        const CurveTexts ends = {"2000", "", "35OO", "", "", "", "", "", "", "", "4500"};
        QCOMPARE(merged(ends, 1, "3300"), QString("3000 4150"));
        QCOMPARE(merged({"2001", "", "", "", "", "", "", "", "", "", "4499"}, 1, "3300"),
                 QString("2001 4499"));
        QCOMPARE(merged({}, 0, "2000"), QString("2000 4150"));
        QCOMPARE(merged({}, 10, "4500"), QString("3000 4500"));
        QCOMPARE(merged({}, 0, "1999"), QString("none"));
        QCOMPARE(merged({}, 10, "4501"), QString("none"));
        // Nothing read yet: only a complete entry makes a curve.
        QVERIFY(merge_discharge_curve(CURVE, CurveTexts{}));
        CurveTexts partial = CURVE;
        partial[7] = "";
        QVERIFY(!merge_discharge_curve(partial, CurveTexts{}));
    }

    void a_refused_value_leaves_the_polling_timer_alone()
    {
        QTimer *poll = bms_registers_request_send_timer;
        set_text(dialog, "lineEdit_set_overvoltage_voltage", "3999");
        set_text(dialog, "lineEdit_set_capacity", "0");
        show_curve({});
        const char *const refusing[] = {"pushButton_set_overvoltage_voltage",
                                        "pushButton_set_capacity",
                                        "pushButton_set_dsg_curve_manual"};
        // Long enough that a restart would show even through coarse-timer rounding.
        poll->start(5000);
        QTest::qWait(600);
        const int before = poll->remainingTime();
        for (const char *button : refusing)
            click(dialog, button);
        QCOMPARE(poll->interval(), 5000);
        QVERIFY2(poll->remainingTime() <= before, "countdown was restarted");
        poll->stop();
        for (const char *button : refusing)
            click(dialog, button);
        QVERIFY(!poll->isActive());
    }
};

QTEST_MAIN(SettingsWrites)
#include "test_settings_writes.moc"
