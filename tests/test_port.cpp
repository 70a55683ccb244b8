// Start-up, port list, connect and disconnect over a real pseudo-terminal.

#include "dialog_access.h"
#include "pty_peer.h"

#include "app/program_state.h"

#include <QComboBox>
#include <QPushButton>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTimer>

#include <memory>
#include <termios.h>

class TestPort : public QObject
{
    Q_OBJECT

    std::unique_ptr<MyDialogWindow> dialog;

    QComboBox *ports() { return widget<QComboBox>(dialog.get(), "ports_combo_box"); }
    bool enabled(const char *name) { return widget<QWidget>(dialog.get(), name)->isEnabled(); }
    void expect_connected(bool connected)
    {
        QCOMPARE(enabled("button_connect"), !connected);
        QCOMPARE(enabled("button_disconnect"), connected);
        QCOMPARE(enabled("ports_combo_box"), !connected);
        QCOMPARE(enabled("button_refresh"), !connected);
        QCOMPARE(bms_registers_request_send_timer->isActive(), connected);
        QCOMPARE(values_refresh_timer->isActive(), connected);
    }
    // The list is the library's, in its order, with the first entry chosen.
    void expect_library_list()
    {
        QStringList names, items;
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            names << info.portName();
        for (int i = 0; i < ports()->count(); ++i)
            items << ports()->itemText(i);
        QCOMPARE(items, names);
        QCOMPARE(ports()->currentText(), names.value(0));
    }

private slots:
    void init()
    {
        reset_program_state();
        dialog = std::make_unique<MyDialogWindow>();
    }
    void cleanup() { dialog.reset(); }

    void start_up_is_quiet()
    {
        PtyPeer peer;
        dialog->show();
        expect_library_list();
        QVERIFY(!serial_port->isOpen());
        QVERIFY(peer.readFor(1000).isEmpty());
        for (QTimer *timer :
             {bms_registers_request_send_timer, values_refresh_timer, disconnect_timer,
              upgrade_command_check_timer, upgrade_command_retry_timer})
            QVERIFY(!timer->isActive());
        expect_connected(false);

        // Refresh replaces the list, whatever was added or typed.
        ports()->addItem("ttyGONE0");
        ports()->setCurrentIndex(ports()->count() - 1);
        ports()->setEditText("/tmp/typed");
        click(dialog.get(), "button_refresh");
        expect_library_list();
        QVERIFY(!bms_registers_request_send_timer->isActive());
    }

    void connect_and_disconnect_over_a_pty()
    {
        PtyPeer peer;
        QVERIFY(peer.isOpen());
        connect_dialog(dialog.get(), peer.slavePath());
        QVERIFY(serial_port->isOpen());
        QCOMPARE("/dev/" + serial_port->portName(), peer.slavePath());

        // What the terminal driver itself was told: 115200 8N1, no flow control.
        termios tio{};
        QCOMPARE(tcgetattr(serial_port->handle(), &tio), 0);
        QCOMPARE(cfgetispeed(&tio), speed_t(B115200));
        QCOMPARE(cfgetospeed(&tio), speed_t(B115200));
        QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
        QVERIFY(!(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS)));
        QVERIFY(!(tio.c_iflag & (IXON | IXOFF)));

        expect_connected(true);
        QCOMPARE(bms_registers_request_send_timer->interval(), 100);
        QCOMPARE(values_refresh_timer->interval(), 500);
        QVERIFY(!disconnect_timer->isActive());
        // The connect itself sends nothing: the first request is the polling
        // timer's, a full period later.
        QVERIFY(peer.readFor(30).isEmpty());

        click(dialog.get(), "button_disconnect");
        QVERIFY(!serial_port->isOpen());
        expect_connected(false);
        peer.drain();
        QVERIFY(peer.readFor(400).isEmpty());

        // The same port can be taken again.
        click(dialog.get(), "button_connect");
        QVERIFY(serial_port->isOpen());
        expect_connected(true);
        click(dialog.get(), "button_disconnect");
    }

    void a_port_that_will_not_open_still_connects_the_window()
    {
        for (const char *name : {"/dev/does-not-exist", ""}) {
            connect_dialog(dialog.get(), name);
            QVERIFY(!serial_port->isOpen());
            expect_connected(true);
            click(dialog.get(), "button_disconnect");
            expect_connected(false);
        }
    }
};

QTEST_MAIN(TestPort)
#include "test_port.moc"
