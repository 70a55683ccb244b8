// The real dialog against the simulated BMS process, as a technician would use it:
// the pack is shown, settings written go all the way round, silence is noticed.

#include "dialog_access.h"

#include "app/program_state.h"

#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include <csignal>

class TestLiveSim : public QObject
{
    Q_OBJECT

    QProcess sim;
    MyDialogWindow *dialog = nullptr;

    QString shown(const char *field) { return text_of(dialog, field); }
    QLabel *state() { return widget<QLabel>(dialog, "label_connection_state"); }

private slots:
    void initTestCase()
    {
        reset_program_state();
        const QString path = start_sim(sim, {"--seed", "3"});
        QVERIFY2(path.startsWith("/dev/"), qPrintable(path));
        dialog = new MyDialogWindow;
        connect_dialog(dialog, path);
    }

    void cleanupTestCase()
    {
        click(dialog, "button_disconnect");
        disconnect_timer->stop();
        delete dialog;
        stop_sim(sim);
    }

    void shows_the_pack()
    {
        QTRY_COMPARE_WITH_TIMEOUT(state()->text(), QString("BMS IS CONNECTED"), 5000);
        QCOMPARE(state()->styleSheet(), QString("color: rgb(30, 150, 30)"));
        // The whole space is read and shown within a few cycles.
        QTRY_COMPARE_WITH_TIMEOUT(shown("lineEdit_bms_serial"), QString("0A3F001751334B5220383147"),
                                  5000);
        QTRY_COMPARE_WITH_TIMEOUT(shown("lineEdit_serial_number"), QString("SIM10S-0000042"), 5000);
        QCOMPARE(shown("lineEdit_battery_capacity"), QString("7800"));
        QCOMPARE(shown("lineEdit_date_of_production"), QString("15.6.2023"));
        QCOMPARE(shown("lineEdit_overcurrent_current"), QString("39"));
        QCOMPARE(shown("lineEdit_adc_offset"), QString("-12"));
        for (int k = 1; k <= 10; ++k) {
            const int mv = shown(qPrintable(QStringLiteral("lineEdit_cell%1").arg(k))).toInt();
            QVERIFY2(mv > 3500 && mv < 4200, qPrintable(QString::number(mv)));
        }
    }

    void written_values_come_back_in_the_display()
    {
        set_text(dialog, "lineEdit_set_overvoltage_voltage", "4123");
        click(dialog, "pushButton_set_overvoltage_voltage");
        choose(dialog, "comboBox_set_day_of_production", 30);
        choose(dialog, "comboBox_set_month_of_production", 11);
        choose(dialog, "comboBox_set_year_of_production", 9);
        click(dialog, "pushButton_set_date_of_production");
        set_text(dialog, "lineEdit_set_serial_number", "ABC-123");
        click(dialog, "pushButton_set_serial_number");
        // A poll round is 600 ms, a refresh 500 ms.
        QTRY_COMPARE_WITH_TIMEOUT(shown("lineEdit_overvoltage"), QString("4123"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(shown("lineEdit_date_of_production"), QString("31.12.2028"),
                                  10000);
        QTRY_COMPARE_WITH_TIMEOUT(shown("lineEdit_serial_number"), QString("ABC-123       "),
                                  10000);
    }

    void silence_is_noticed_and_values_stay()
    {
        ::kill(static_cast<pid_t>(sim.processId()), SIGUSR1); // the simulator stops answering
        QElapsedTimer clock;
        clock.start();
        QTRY_COMPARE_WITH_TIMEOUT(state()->text(), QString("BMS IS DISCONNECTED"), 4000);
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(state()->styleSheet(), QString("color: rgb(150, 20, 20)"));
        QTest::qWait(600); // let a refresh that was still showing older values pass
        QStringList frozen;
        for (QLineEdit *edit : dialog->findChildren<QLineEdit *>())
            frozen << edit->text();
        QTest::qWait(1200);
        for (QLineEdit *edit : dialog->findChildren<QLineEdit *>())
            QCOMPARE(edit->text(), frozen.takeFirst());
        QCOMPARE(shown("lineEdit_battery_capacity"), QString("7800"));
    }
};

QTEST_MAIN(TestLiveSim)
#include "test_live_sim.moc"
