// The BMS vanishes while the window holds its port open (the simulator exits, as
// when a USB adapter is pulled): the window keeps running, shows the loss, lets the
// user disconnect, and stays idle instead of spinning on write errors.

#include "mydialogwindow.h"
#include "window_access.h"

#include <QLabel>
#include <QSerialPort>
#include <QtTest>

#include <time.h>

namespace
{

QtMessageHandler default_handler = nullptr;

// CPU used by this whole process per second of wall time while the event loop runs.
double cpu_share_while_idle(int ms)
{
    timespec before{}, after{};
    QElapsedTimer wall;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    wall.start();
    QTest::qWait(ms);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    const double cpu = static_cast<double>(after.tv_sec - before.tv_sec) +
                       static_cast<double>(after.tv_nsec - before.tv_nsec) / 1e9;
    return cpu / (static_cast<double>(wall.elapsed()) / 1000.0);
}

} // namespace

class TestPortLoss : public QObject
{
    Q_OBJECT

private slots:
    void simulator_exits_while_polling_and_writing()
    {
        // Once the port is closed every poll's write is refused with this warning,
        // ten times a second; it says nothing new.
        default_handler = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &c, const QString &text) {
                if (!text.contains(QLatin1String("device not open")))
                    default_handler(type, c, text);
            });
        MyDialogWindow window;
        auto *label = widget<QLabel>(&window, "label_connection_state");
        QProcess sim;
        const QString path = start_sim(sim, {"--seed", "4"});
        QVERIFY2(path.startsWith("/dev/"), qPrintable(path));
        connect_window(&window, path);
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QString("BMS IS CONNECTED"), 5000);

        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
        set_text(&window, "lineEdit_set_overvoltage_voltage", "4160");
        click(&window, "pushButton_set_overvoltage_voltage");
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QString("BMS IS DISCONNECTED"), 5000);

        // A spinning event loop takes most of a core; idle polling takes well under
        // one percent, even in the sanitizer build.
        const double share = cpu_share_while_idle(2000);
        qInfo("CPU %.2f %% of one core over 2 s after the loss", 100.0 * share);
        QVERIFY2(share < 0.10, qPrintable(QString::number(100.0 * share, 'f', 2) + " %"));
        QCOMPARE(label->styleSheet(), QStringLiteral("color: rgb(150, 20, 20)"));

        click(&window, "button_disconnect");
        QVERIFY(!window.findChild<QSerialPort *>()->isOpen());
        QVERIFY(widget<QPushButton>(&window, "button_connect")->isEnabled());
        QVERIFY(!timer(&window, "bms_registers_request_send_timer")->isActive());
        qInstallMessageHandler(nullptr);
    }
};

QTEST_MAIN(TestPortLoss)
#include "test_port_loss.moc"
