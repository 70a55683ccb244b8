// The "Set" buttons as a technician uses them: the tool is connected to one end of
// a real pseudo-terminal and every frame it writes is read from the other end.

#include "dialog_access.h"
#include "pty_peer.h"
#include "set_buttons.h"

#include "app/program_state.h"

#include <QSerialPort>
#include <QTimer>

namespace
{

const char *const CURVE_3000_TO_4150[11] = {"3000", "3300", "3450", "3550", "3650", "3750",
                                            "3850", "3950", "4050", "4100", "4150"};
const char *const NOTHING_READ[11] = {};

} // namespace

class SettingsWrites : public QObject
{
    Q_OBJECT

    MyDialogWindow *dialog = nullptr;
    PtyPeer *peer = nullptr;

    void set(const char *line_edit, const QString &text) { set_text(dialog, line_edit, text); }
    void pick(const char *combo_box, int index) { choose(dialog, combo_box, index); }

    void show_curve(const char *const points[11])
    {
        for (int k = 1; k <= 11; ++k) {
            set(qPrintable(QStringLiteral("lineEdit_dsg_curve%1").arg(k)), points[k - 1]);
            set(qPrintable(QStringLiteral("lineEdit_set_dsg_curve%1").arg(k)), "");
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
        const QByteArray frame = click_and_read("pushButton_set_balance_mode");
        return frame.size() == 13 && quint8(frame.at(5)) == 0x6D;
    }

private slots:
    void initTestCase()
    {
        reset_program_state();
        peer = new PtyPeer;
        QVERIFY(peer->isOpen());
        dialog = new MyDialogWindow;
        connect_dialog(dialog, peer->slavePath());
        QVERIFY(serial_port->isOpen());
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

    void worked_frames()
    {
        set("lineEdit_set_overvoltage_voltage", "4200");
        QCOMPARE(click_and_read("pushButton_set_overvoltage_voltage"),
                 hex("55 AA 07 22 FE 5A 02 68 10 04 FE 02 FD"));
        pick("comboBox_set_undercurrent_current", 4); // item "5"
        QCOMPARE(click_and_read("pushButton_set_undercurrent_current"),
                 hex("55 AA 07 22 FE 57 02 88 13 E4 FD 03 FC"));
        set("lineEdit_set_adc_offset", "-5");
        QCOMPARE(click_and_read("pushButton_set_adc_offset"),
                 hex("55 AA 07 22 FE 6C 02 FB FF 70 FC 04 FB"));
        pick("comboBox_set_balance_mode", 1); // "Always"
        QCOMPARE(click_and_read("pushButton_set_balance_mode"),
                 hex("55 AA 07 22 FE 6D 02 01 00 68 FE 02 FD"));
        set("lineEdit_set_capacity", "12400");
        QCOMPARE(click_and_read("pushButton_set_capacity"),
                 hex("55 AA 07 22 FE 18 02 70 30 1E FE 02 FD"));
        for (const char *date :
             {"comboBox_set_day_of_production", "comboBox_set_month_of_production",
              "comboBox_set_year_of_production"})
            pick(date, 0);
        QCOMPARE(click_and_read("pushButton_set_date_of_production"),
                 hex("55 AA 07 22 FE 20 02 21 26 6F FE 02 FD"));
        pick("comboBox_set_day_of_production", 30);
        pick("comboBox_set_month_of_production", 11);
        pick("comboBox_set_year_of_production", 9);
        QCOMPARE(click_and_read("pushButton_set_date_of_production").mid(7, 2), hex("9F 39"));
        set("lineEdit_set_serial_number", "ABC");
        QCOMPARE(click_and_read("pushButton_set_serial_number"),
                 hex("55 AA 13 22 FE 10 0E 41 42 43") + QByteArray(11, ' ') + hex("88 FC 04 FB"));
        show_curve(CURVE_3000_TO_4150);
        QCOMPARE(click_and_read("pushButton_set_dsg_curve_manual"),
                 hex("55 AA 1B 22 FE 05 16 B8 0B E4 0C 7A 0D DE 0D 42 0E A6 0E 0A 0F 6E 0F "
                     "D2 0F 04 10 36 10 AF F8 08 F7"));
        pick("comboBox_set_short_circuit_delay", 3); // item "400": its index is sent
        QCOMPARE(click_and_read("pushButton_set_short_circuit_delay").mid(7, 2), hex("03 00"));
        pick("comboBox_set_critical_temp_delay", 9); // item "10": seconds to ms
        QCOMPARE(click_and_read("pushButton_set_critical_temp_delay").mid(7, 2), hex("10 27"));
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
            set(b.line_edit, b.text);
        show_curve(CURVE_3000_TO_4150);
        QTimer *poll = bms_registers_request_send_timer;

        poll->stop();
        QByteArray frame = click_and_read(b.button);
        QVERIFY(frame.size() >= 13);
        QCOMPARE(int(quint8(frame.at(5))), b.reg);
        QVERIFY(poll->isActive());
        QCOMPARE(poll->interval(), 100);

        poll->start(5000);
        QVERIFY(!click_and_read(b.button).isEmpty());
        QCOMPARE(poll->interval(), 100);
        // Coarse timers may round their deadline up by a few percent.
        QVERIFY2(poll->remainingTime() <= 110, qPrintable(QString::number(poll->remainingTime())));
    }

    void line_edit_ranges()
    {
        const struct {
            const char *edit, *button;
            QStringList sent;
            QByteArrayList data;
            QStringList refused;
        } cases[] = {
            {"lineEdit_set_overvoltage_voltage",
             "pushButton_set_overvoltage_voltage",
             {"4000", "4300", " 4200 ", "+4200"},
             {hex("A0 0F"), hex("CC 10"), hex("68 10"), hex("68 10")},
             {"3999", "4301", "", "abc"}},
            {"lineEdit_set_overvoltage_hysteresis",
             "pushButton_set_overvoltage_hysteresis",
             {"0", "500", ""},
             {hex("00 00"), hex("F4 01"), hex("00 00")},
             {"-1", "501"}},
            {"lineEdit_set_undervoltage_hysteresis",
             "pushButton_set_undervoltage_hysteresis",
             {"0", "500", "x"},
             {hex("00 00"), hex("F4 01"), hex("00 00")},
             {"-1", "501"}},
            {"lineEdit_set_capacity",
             "pushButton_set_capacity",
             {"1", "32000"},
             {hex("01 00"), hex("00 7D")},
             {"0", "-5", "32001", "abc", ""}},
            {"lineEdit_set_adc_offset",
             "pushButton_set_adc_offset",
             {"-128", "127", "65535"},
             {hex("80 FF"), hex("7F 00"), hex("FF FF")},
             {"-129", "128"}},
        };
        for (const auto &c : cases) {
            for (int i = 0; i < c.sent.size(); ++i) {
                set(c.edit, c.sent[i]);
                QCOMPARE(click_and_read(c.button).mid(7, 2), c.data[i]);
            }
            for (const QString &text : c.refused) {
                set(c.edit, text);
                QVERIFY2(click_sends_nothing(c.button), qPrintable(c.edit + (" " + text)));
            }
        }
    }

    void discharge_curve_over_the_line()
    {
        // An entered point takes the place of the displayed one.
        show_curve(CURVE_3000_TO_4150);
        set("lineEdit_set_dsg_curve5", "3600");
        QCOMPARE(click_and_read("pushButton_set_dsg_curve_manual").mid(15, 2), hex("10 0E"));

        // A curve that does not rise, and one with nothing displayed, are dropped.
        set("lineEdit_set_dsg_curve5", "3550");
        QVERIFY(click_sends_nothing("pushButton_set_dsg_curve_manual"));
        show_curve(NOTHING_READ);
        set("lineEdit_set_dsg_curve5", "3600");
        QVERIFY(click_sends_nothing("pushButton_set_dsg_curve_manual"));
    }

    void a_refused_value_leaves_the_polling_timer_alone()
    {
        QTimer *poll = bms_registers_request_send_timer;
        set("lineEdit_set_overvoltage_voltage", "3999");
        set("lineEdit_set_capacity", "0");
        show_curve(NOTHING_READ);
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
