// A write goes all the way round: the tool talks to the simulated BMS, which takes
// the write into its registers, and the window shows the new value once polling
// has read it back.

#include "app/mydialogwindow.h"
#include "app/program_state.h"
#include "dialog_access.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

class SettingsEndToEnd : public QObject
{
    Q_OBJECT

    QProcess sim;
    MyDialogWindow *dialog = nullptr;

    QString shown(const char *field) { return widget<QLineEdit>(dialog, field)->text(); }
    void set_text(const char *line_edit, const QString &text)
    {
        widget<QLineEdit>(dialog, line_edit)->setText(text);
    }
    void select(const char *combo_box, int index)
    {
        widget<QComboBox>(dialog, combo_box)->setCurrentIndex(index);
    }
    void click(const char *button) { widget<QPushButton>(dialog, button)->click(); }

private slots:
    void initTestCase()
    {
        reset_program_state();
        sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        sim.start(QStringLiteral(BMS_SIM_PATH), QStringList());
        QVERIFY(sim.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(sim.canReadLine(), 10000);
        const QString link = QString::fromLocal8Bit(sim.readLine()).trimmed();

        dialog = new MyDialogWindow;
        dialog->show();
        widget<QComboBox>(dialog, "ports_combo_box")->setEditText(link);
        click("button_connect");
        QTRY_COMPARE_WITH_TIMEOUT(widget<QLabel>(dialog, "label_connection_state")->text(),
                                  QStringLiteral("BMS IS CONNECTED"), 10000);
    }

    void cleanupTestCase()
    {
        click("button_disconnect");
        delete dialog;
        sim.closeWriteChannel(); // the simulator ends when its stdin closes
        if (!sim.waitForFinished(5000)) {
            sim.kill();
            sim.waitForFinished(5000);
        }
    }

    void written_values_come_back_in_the_display()
    {
        set_text("lineEdit_set_overvoltage_voltage", "4123");
        click("pushButton_set_overvoltage_voltage");
        select("comboBox_set_undercurrent_current", 6); // 7 A
        click("pushButton_set_undercurrent_current");
        select("comboBox_set_short_circuit_delay", 2); // 200 us
        click("pushButton_set_short_circuit_delay");
        set_text("lineEdit_set_adc_offset", "-5");
        click("pushButton_set_adc_offset");
        select("comboBox_set_balance_mode", 2);
        click("pushButton_set_balance_mode");
        set_text("lineEdit_set_capacity", "12400");
        click("pushButton_set_capacity");
        select("comboBox_set_day_of_production", 30);
        select("comboBox_set_month_of_production", 11);
        select("comboBox_set_year_of_production", 9);
        click("pushButton_set_date_of_production");
        set_text("lineEdit_set_serial_number", "ABC-123");
        click("pushButton_set_serial_number");

        const int wait_ms = 10000; // a poll round is 600 ms, a refresh 500 ms
        QTRY_COMPARE_WITH_TIMEOUT(shown("lineEdit_overvoltage"), QStringLiteral("4123"), wait_ms);
        QTRY_COMPARE_WITH_TIMEOUT(shown("lineEdit_undercurrent_current"), QStringLiteral("7"),
                                  wait_ms);
        QTRY_COMPARE_WITH_TIMEOUT(shown("lineEdit_short_circuit_delay"), QStringLiteral("200"),
                                  wait_ms);
        QTRY_COMPARE_WITH_TIMEOUT(shown("lineEdit_adc_offset"), QStringLiteral("-5"), wait_ms);
        QTRY_COMPARE_WITH_TIMEOUT(shown("lineEdit_balance_mode"), QStringLiteral("Never"), wait_ms);
        QTRY_COMPARE_WITH_TIMEOUT(shown("lineEdit_battery_capacity"), QStringLiteral("12400"),
                                  wait_ms);
        QTRY_COMPARE_WITH_TIMEOUT(shown("lineEdit_date_of_production"),
                                  QStringLiteral("31.12.2028"), wait_ms);
        QTRY_COMPARE_WITH_TIMEOUT(shown("lineEdit_serial_number"), QStringLiteral("ABC-123       "),
                                  wait_ms);
    }

    void one_point_of_the_discharge_curve_is_changed()
    {
        // Wait for the curve the simulator holds; its points fill the empty entries.
        QTRY_VERIFY_WITH_TIMEOUT(shown("lineEdit_dsg_curve11").toInt() > 0, 10000);
        const int below = shown("lineEdit_dsg_curve5").toInt();
        const int above = shown("lineEdit_dsg_curve7").toInt();
        QVERIFY(above - below >= 4);
        int point = (below + above) / 2;
        if (point == shown("lineEdit_dsg_curve6").toInt())
            ++point;
        QVERIFY(point > 2000 && point < 4500);

        QStringList before;
        for (int k = 1; k <= 11; ++k)
            before << shown(qPrintable(QStringLiteral("lineEdit_dsg_curve%1").arg(k)));
        set_text("lineEdit_set_dsg_curve6", QString::number(point));
        click("pushButton_set_dsg_curve_manual");

        QTRY_COMPARE_WITH_TIMEOUT(shown("lineEdit_dsg_curve6"), QString::number(point), 10000);
        for (int k = 1; k <= 11; ++k) {
            if (k != 6)
                QCOMPARE(shown(qPrintable(QStringLiteral("lineEdit_dsg_curve%1").arg(k))),
                         before[k - 1]);
        }
    }
};

QTEST_MAIN(SettingsEndToEnd)
#include "test_settings_e2e.moc"
