// The real dialog against the simulated BMS process, as a technician would use it.

#include "dialog_access.h"

#include "app/program_state.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>

namespace
{

QStringList field_texts(QObject *dialog)
{
    QStringList texts;
    for (QLineEdit *edit : dialog->findChildren<QLineEdit *>())
        if (!edit->objectName().startsWith(QLatin1String("lineEdit_set_")))
            texts << edit->objectName() + '=' + edit->text();
    return texts;
}

} // namespace

class TestLiveSim : public QObject
{
    Q_OBJECT

    // Starts the simulator and returns the terminal it printed on its first line.
    QString start_sim(QProcess &sim, const QStringList &args)
    {
        sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        sim.start(QStringLiteral(BMS_SIM_PATH), args);
        if (!sim.waitForStarted(5000))
            return {};
        QElapsedTimer clock;
        clock.start();
        while (!sim.canReadLine() && clock.elapsed() < 10000)
            sim.waitForReadyRead(200);
        return QString::fromLocal8Bit(sim.readLine()).trimmed();
    }

    void stop_sim(QProcess &sim)
    {
        sim.terminate();
        if (!sim.waitForFinished(5000))
            sim.kill();
    }

private slots:
    void init() { reset_program_state(); }

    void shows_the_pack_and_notices_silence()
    {
        QProcess sim;
        const QString path = start_sim(sim, {"--seed", "3"});
        QVERIFY2(path.startsWith("/dev/"), qPrintable(path));

        MyDialogWindow dialog;
        auto *box = widget<QComboBox>(&dialog, "ports_combo_box");
        box->addItem(path);
        box->setCurrentIndex(box->count() - 1);
        QVERIFY(run_slot(&dialog, "comport_connect"));

        auto *label = widget<QLabel>(&dialog, "label_connection_state");
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("BMS IS CONNECTED"), 5000);
        QCOMPARE(label->styleSheet(), QStringLiteral("color: rgb(30, 150, 30)"));
        // The whole space is read and shown within a few cycles.
        auto text = [&dialog](const char *name) {
            return widget<QLineEdit>(&dialog, name)->text();
        };
        QTRY_COMPARE_WITH_TIMEOUT(text("lineEdit_bms_serial"),
                                  QStringLiteral("0A3F001751334B5220383147"), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(text("lineEdit_serial_number"), QStringLiteral("SIM10S-0000042"),
                                  5000);
        QCOMPARE(text("lineEdit_battery_capacity"), QStringLiteral("7800"));
        QCOMPARE(text("lineEdit_date_of_production"), QStringLiteral("15.6.2023"));
        QCOMPARE(text("lineEdit_overvoltage"), QStringLiteral("4200"));
        QCOMPARE(text("lineEdit_overcurrent_current"), QStringLiteral("39"));
        QCOMPARE(text("lineEdit_adc_offset"), QStringLiteral("-12"));
        for (int k = 1; k <= 10; ++k) {
            const int mv =
                widget<QLineEdit>(&dialog, qPrintable(QStringLiteral("lineEdit_cell%1").arg(k)))
                    ->text()
                    .toInt();
            QVERIFY2(mv > 3500 && mv < 4200, qPrintable(QString::number(mv)));
        }

        // Silence: the label turns within about a second, the fields keep their values.
        ::kill(static_cast<pid_t>(sim.processId()), SIGUSR1);
        QElapsedTimer clock;
        clock.start();
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("BMS IS DISCONNECTED"), 4000);
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(label->styleSheet(), QStringLiteral("color: rgb(150, 20, 20)"));
        QTest::qWait(600); // let a refresh that was still showing older values pass
        const QStringList frozen = field_texts(&dialog);
        QTest::qWait(1200);
        QCOMPARE(field_texts(&dialog), frozen);
        QCOMPARE(text("lineEdit_battery_capacity"), QStringLiteral("7800"));

        // And back: the simulator answers again after a second toggle.
        ::kill(static_cast<pid_t>(sim.processId()), SIGUSR1);
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("BMS IS CONNECTED"), 5000);

        QVERIFY(run_slot(&dialog, "comport_disconnect"));
        disconnect_timer->stop();
        stop_sim(sim);
    }

    void survives_a_lossy_line_and_cleans_up()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath("ttyBMS");
        QProcess sim;
        const QString path = start_sim(sim, {"--link", link, "--seed", "9", "--drop", "0.2",
                                             "--corrupt", "0.2", "--split", "0.2"});
        QVERIFY(!path.isEmpty());
        QCOMPARE(QFileInfo(link).symLinkTarget(), path);

        MyDialogWindow dialog;
        auto *box = widget<QComboBox>(&dialog, "ports_combo_box");
        box->addItem(link);
        box->setCurrentIndex(box->count() - 1);
        QVERIFY(run_slot(&dialog, "comport_connect"));
        // Faults cost replies, never wrong values: the identity still comes through whole.
        QTRY_COMPARE_WITH_TIMEOUT(widget<QLineEdit>(&dialog, "lineEdit_serial_number")->text(),
                                  QStringLiteral("SIM10S-0000042"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(widget<QLineEdit>(&dialog, "lineEdit_shutdown_voltage")->text(),
                                  QStringLiteral("2800"), 10000);
        QCOMPARE(widget<QLabel>(&dialog, "label_connection_state")->text(),
                 QStringLiteral("BMS IS CONNECTED"));
        QVERIFY(run_slot(&dialog, "comport_disconnect"));
        disconnect_timer->stop();

        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
    }
};

QTEST_MAIN(TestLiveSim)
#include "test_live_sim.moc"
