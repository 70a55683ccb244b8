// The "Set" buttons as a technician uses them: the tool is connected to one end of
// a real pseudo-terminal and every frame it writes is read from the other end.

#include "app/mydialogwindow.h"
#include "app/program_state.h"
#include "dialog_access.h"
#include "pty_peer.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPort>
#include <QTimer>
#include <QtTest>

namespace
{

QByteArray hex(const char *spaced)
{
    return QByteArray::fromHex(QByteArray(spaced).replace(' ', ""));
}

const char *const CURVE_3000_TO_4150[11] = {"3000", "3300", "3450", "3550", "3650", "3750",
                                            "3850", "3950", "4050", "4100", "4150"};

} // namespace

class SettingsWrites : public QObject
{
    Q_OBJECT

    MyDialogWindow *dialog = nullptr;
    PtyPeer *peer = nullptr;
    QByteArray pending; // bytes read from the pty that do not yet form a whole frame

    void set_text(const char *line_edit, const QString &text)
    {
        widget<QLineEdit>(dialog, line_edit)->setText(text);
    }

    void select(const char *combo_box, int index)
    {
        widget<QComboBox>(dialog, combo_box)->setCurrentIndex(index);
    }

    void click(const char *button) { widget<QPushButton>(dialog, button)->click(); }

    void show_curve(const char *const points[11])
    {
        for (int k = 0; k < 11; ++k) {
            set_text(qPrintable(QStringLiteral("lineEdit_dsg_curve%1").arg(k + 1)), points[k]);
            set_text(qPrintable(QStringLiteral("lineEdit_set_dsg_curve%1").arg(k + 1)), "");
        }
    }

    // The next register write that leaves the tool; read requests of the polling
    // that may travel on the same line are passed over.
    QByteArray next_write_frame(int timeout_ms = 3000)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            while (pending.size() >= 3) {
                const int total = static_cast<quint8>(pending.at(2)) + 6;
                if (pending.size() < total)
                    break;
                const QByteArray frame = pending.left(total);
                pending.remove(0, total);
                if (static_cast<quint8>(frame.at(4)) == 0xFE)
                    return frame;
            }
            const qint64 left = timeout_ms - clock.elapsed();
            if (left <= 0)
                return {};
            pending += peer->readAtLeast(1, static_cast<int>(left));
        }
    }

    QByteArray click_and_read(const char *button)
    {
        click(button);
        return next_write_frame();
    }

    // Slots send before they return, so if `button` wrote anything it would come
    // before the frame of a button known to send (balance mode, register 0x6D).
    bool click_sends_nothing(const char *button)
    {
        click(button);
        select("comboBox_set_balance_mode", 0);
        click("pushButton_set_balance_mode");
        const QByteArray frame = next_write_frame();
        return frame.size() == 13 && static_cast<quint8>(frame.at(5)) == 0x6D;
    }

private slots:
    void initTestCase()
    {
        reset_program_state();
        peer = new PtyPeer;
        QVERIFY(peer->isOpen());
        dialog = new MyDialogWindow;
        dialog->show();
        widget<QComboBox>(dialog, "ports_combo_box")->setEditText(peer->slavePath());
        click("button_connect");
        QVERIFY(serial_port->isOpen());
    }

    void init()
    {
        peer->drain();
        pending.clear();
        bms_registers_request_send_timer->start(bms_request_period_ms);
    }

    void cleanupTestCase()
    {
        click("button_disconnect");
        delete dialog;
        delete peer;
    }

    void worked_frames()
    {
        set_text("lineEdit_set_overvoltage_voltage", "4200");
        QCOMPARE(click_and_read("pushButton_set_overvoltage_voltage"),
                 hex("55 AA 07 22 FE 5A 02 68 10 04 FE 02 FD"));

        select("comboBox_set_undercurrent_current", 4); // item "5"
        QCOMPARE(click_and_read("pushButton_set_undercurrent_current"),
                 hex("55 AA 07 22 FE 57 02 88 13 E4 FD 03 FC"));

        set_text("lineEdit_set_adc_offset", "-5");
        QCOMPARE(click_and_read("pushButton_set_adc_offset"),
                 hex("55 AA 07 22 FE 6C 02 FB FF 70 FC 04 FB"));

        select("comboBox_set_balance_mode", 1); // "Always"
        QCOMPARE(click_and_read("pushButton_set_balance_mode"),
                 hex("55 AA 07 22 FE 6D 02 01 00 68 FE 02 FD"));

        set_text("lineEdit_set_capacity", "12400");
        QCOMPARE(click_and_read("pushButton_set_capacity"),
                 hex("55 AA 07 22 FE 18 02 70 30 1E FE 02 FD"));

        select("comboBox_set_day_of_production", 0);
        select("comboBox_set_month_of_production", 0);
        select("comboBox_set_year_of_production", 0);
        QCOMPARE(click_and_read("pushButton_set_date_of_production"),
                 hex("55 AA 07 22 FE 20 02 21 26 6F FE 02 FD"));
        select("comboBox_set_day_of_production", 30);
        select("comboBox_set_month_of_production", 11);
        select("comboBox_set_year_of_production", 9);
        QCOMPARE(click_and_read("pushButton_set_date_of_production").mid(7, 2), hex("9F 39"));

        set_text("lineEdit_set_serial_number", "ABC");
        QCOMPARE(click_and_read("pushButton_set_serial_number"),
                 hex("55 AA 13 22 FE 10 0E 41 42 43") + QByteArray(11, ' ') + hex("88 FC 04 FB"));

        show_curve(CURVE_3000_TO_4150);
        QCOMPARE(click_and_read("pushButton_set_dsg_curve_manual"),
                 hex("55 AA 1B 22 FE 05 16 B8 0B E4 0C 7A 0D DE 0D 42 0E A6 0E 0A 0F 6E 0F "
                     "D2 0F 04 10 36 10 AF F8 08 F7"));

        select("comboBox_set_short_circuit_delay", 3); // item "400"
        QCOMPARE(click_and_read("pushButton_set_short_circuit_delay").mid(7, 2), hex("03 00"));

        select("comboBox_set_critical_temp_delay", 9); // item "10"
        QCOMPARE(click_and_read("pushButton_set_critical_temp_delay").mid(7, 2), hex("10 27"));
    }

    void every_button_writes_its_own_register_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("line_edit"); // empty for combo boxes
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("reg");

        const auto row = [](const char *button, int reg, const char *line_edit = "",
                            const char *text = "") {
            QTest::newRow(button) << button << line_edit << text << reg;
        };
        row("pushButton_set_serial_number", 0x10);
        row("pushButton_set_capacity", 0x18, "lineEdit_set_capacity", "1000");
        row("pushButton_set_date_of_production", 0x20);
        row("pushButton_set_undercurrent_current", 0x57);
        row("pushButton_set_undercurrent_delay", 0x58);
        row("pushButton_set_undercurrent_holding_time", 0x59);
        row("pushButton_set_overcurrent_current", 0x54);
        row("pushButton_set_overcurrent_delay", 0x55);
        row("pushButton_set_overcurrent_holding_time", 0x56);
        row("pushButton_set_short_circuit_current", 0x51);
        row("pushButton_set_short_circuit_delay", 0x52);
        row("pushButton_set_short_circuit_cooldown", 0x53);
        row("pushButton_set_overvoltage_voltage", 0x5A, "lineEdit_set_overvoltage_voltage", "4100");
        row("pushButton_set_overvoltage_hysteresis", 0x5C, "lineEdit_set_overvoltage_hysteresis",
            "100");
        row("pushButton_set_overvoltage_delay", 0x5B);
        row("pushButton_set_undervoltage_voltage", 0x5D, "lineEdit_set_undervoltage_voltage",
            "3000");
        row("pushButton_set_undervoltage_hysteresis", 0x5F, "lineEdit_set_undervoltage_hysteresis",
            "100");
        row("pushButton_set_undervoltage_delay", 0x5E);
        row("pushButton_set_balance_mode", 0x6D);
        row("pushButton_set_shutdown_voltage", 0x63, "lineEdit_set_shutdown_voltage", "2500");
        row("pushButton_set_lowest_voltage_to_balance", 0x61,
            "lineEdit_set_lowest_voltage_to_balance", "3500");
        row("pushButton_set_cell_disbalance_threshold", 0x62, "lineEdit_set_disbalance_threshold",
            "50");
        row("pushButton_set_recuperation_disable_voltage", 0x67,
            "lineEdit_set_recuperation_disable_voltage", "4000");
        row("pushButton_set_critical_int_temp", 0x64);
        row("pushButton_set_critical_temp_delay", 0x65);
        row("pushButton_set_critical_temp_hysteresis", 0x66);
        row("pushButton_set_dsg_curve_manual", 0x05);
        row("pushButton_set_adc_gain", 0x6B);
        row("pushButton_set_adc_offset", 0x6C, "lineEdit_set_adc_offset", "3");
    }

    void every_button_writes_its_own_register()
    {
        QFETCH(QString, button);
        QFETCH(QString, line_edit);
        QFETCH(QString, text);
        QFETCH(int, reg);
        if (!line_edit.isEmpty())
            set_text(qPrintable(line_edit), text);
        show_curve(CURVE_3000_TO_4150);

        const QByteArray frame = click_and_read(qPrintable(button));
        QVERIFY(frame.size() >= 13);
        QCOMPARE(static_cast<int>(static_cast<quint8>(frame.at(5))), reg);
    }

    void line_edit_ranges()
    {
        const struct {
            const char *edit;
            const char *button;
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
                set_text(c.edit, c.sent[i]);
                QCOMPARE(click_and_read(c.button).mid(7, 2), c.data[i]);
            }
            for (const QString &text : c.refused) {
                set_text(c.edit, text);
                QVERIFY2(click_sends_nothing(c.button), qPrintable(c.edit + (" " + text)));
            }
        }
    }

    void discharge_curve_over_the_line()
    {
        // Untouched entries write the displayed curve back.
        show_curve(CURVE_3000_TO_4150);
        const QByteArray written_back = click_and_read("pushButton_set_dsg_curve_manual");
        QCOMPARE(written_back.mid(7, 4), hex("B8 0B E4 0C"));

        // One changed point changes only its two bytes.
        set_text("lineEdit_set_dsg_curve5", "3600");
        QByteArray expected = written_back.mid(7, 22);
        expected.replace(8, 2, hex("10 0E"));
        QCOMPARE(click_and_read("pushButton_set_dsg_curve_manual").mid(7, 22), expected);

        // A curve that does not rise, and one with nothing displayed, are dropped.
        set_text("lineEdit_set_dsg_curve5", "3550");
        QVERIFY(click_sends_nothing("pushButton_set_dsg_curve_manual"));
        const char *const nothing_read[11] = {"", "", "", "", "", "", "", "", "", "", ""};
        show_curve(nothing_read);
        set_text("lineEdit_set_dsg_curve5", "3600");
        QVERIFY(click_sends_nothing("pushButton_set_dsg_curve_manual"));
    }

    void a_refused_value_leaves_the_polling_timer_alone()
    {
        QTimer *poll = bms_registers_request_send_timer;
        set_text("lineEdit_set_overvoltage_voltage", "3999");
        set_text("lineEdit_set_capacity", "0");
        const char *const nothing_read[11] = {"", "", "", "", "", "", "", "", "", "", ""};
        show_curve(nothing_read);
        const char *const refusing[] = {"pushButton_set_overvoltage_voltage",
                                        "pushButton_set_capacity",
                                        "pushButton_set_dsg_curve_manual"};

        // Long enough that a restart would show even through coarse-timer rounding.
        poll->start(5000);
        QTest::qWait(600);
        const int before = poll->remainingTime();
        for (const char *button : refusing)
            click(button);
        QCOMPARE(poll->interval(), 5000);
        QVERIFY2(poll->remainingTime() <= before, "countdown was restarted");

        poll->stop();
        for (const char *button : refusing)
            click(button);
        QVERIFY(!poll->isActive());
    }

    void a_write_restarts_polling_at_its_period()
    {
        QTimer *poll = bms_registers_request_send_timer;
        set_text("lineEdit_set_overvoltage_voltage", "4200");
        set_text("lineEdit_set_capacity", "12400");
        show_curve(CURVE_3000_TO_4150);
        const char *const sending[] = {
            "pushButton_set_overvoltage_voltage",
            "pushButton_set_undercurrent_current",
            "pushButton_set_short_circuit_delay",
            "pushButton_set_serial_number",
            "pushButton_set_capacity",
            "pushButton_set_date_of_production",
            "pushButton_set_dsg_curve_manual",
        };
        for (const char *button : sending) {
            poll->stop();
            click(button);
            QVERIFY2(poll->isActive(), button);
            QCOMPARE(poll->interval(), int(bms_request_period_ms));

            poll->start(5000);
            click(button);
            QCOMPARE(poll->interval(), int(bms_request_period_ms));
            // Coarse timers may round their deadline up by a few percent.
            QVERIFY2(poll->remainingTime() <= bms_request_period_ms + 10,
                     qPrintable(QString::number(poll->remainingTime())));
        }
    }
};

QTEST_MAIN(SettingsWrites)
#include "test_settings_writes.moc"
