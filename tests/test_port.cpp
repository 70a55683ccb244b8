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

namespace
{

QList<QTimer *> all_timers()
{
    return {bms_registers_request_send_timer, values_refresh_timer, disconnect_timer,
            upgrade_command_check_timer, upgrade_command_retry_timer};
}

QStringList library_port_names()
{
    QStringList names;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        names << info.portName();
    return names;
}

QStringList items_of(QComboBox *box)
{
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

// Records the order in which the connection group's controls change state.
class EnabledOrder : public QObject
{
public:
    QStringList changes;
    explicit EnabledOrder(const QList<QWidget *> &watched)
    {
        for (QWidget *w : watched)
            w->installEventFilter(this);
    }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::EnabledChange) {
            const auto *w = static_cast<QWidget *>(watched);
            changes << watched->objectName() + (w->isEnabled() ? "+" : "-");
        }
        return false;
    }
};

} // namespace

class TestPort : public QObject
{
    Q_OBJECT

    std::unique_ptr<MyDialogWindow> dialog;

    QComboBox *ports() { return widget<QComboBox>(dialog.get(), "ports_combo_box"); }
    QPushButton *button(const char *name) { return widget<QPushButton>(dialog.get(), name); }
    QList<QWidget *> connection_controls()
    {
        return {button("button_connect"), button("button_disconnect"), ports(),
                button("button_refresh")};
    }
    void expect_connected(bool connected)
    {
        QCOMPARE(button("button_connect")->isEnabled(), !connected);
        QCOMPARE(button("button_disconnect")->isEnabled(), connected);
        QCOMPARE(ports()->isEnabled(), !connected);
        QCOMPARE(button("button_refresh")->isEnabled(), !connected);
        QCOMPARE(bms_registers_request_send_timer->isActive(), connected);
        QCOMPARE(values_refresh_timer->isActive(), connected);
    }

private slots:
    void init() { reset_program_state(); }
    void cleanup() { dialog.reset(); }

    void start_up_is_quiet()
    {
        PtyPeer peer;
        QVERIFY(peer.isOpen());
        dialog = std::make_unique<MyDialogWindow>();
        dialog->show();

        for (QTimer *timer : all_timers()) {
            QVERIFY(timer);
            QVERIFY(!timer->isActive());
            QVERIFY(!timer->isSingleShot());
            QVERIFY(!timer->parent());
        }
        QCOMPARE(serial_port->parent(), dialog.get());
        QVERIFY(!serial_port->isOpen());
        // Line settings are in place before anything is opened.
        QCOMPARE(serial_port->dataBits(), QSerialPort::Data8);
        QCOMPARE(serial_port->parity(), QSerialPort::NoParity);
        QCOMPARE(serial_port->stopBits(), QSerialPort::OneStop);
        QCOMPARE(serial_port->flowControl(), QSerialPort::NoFlowControl);

        // The list is the library's, in its order, with the first entry chosen.
        const QStringList names = library_port_names();
        QCOMPARE(items_of(ports()), names);
        QCOMPARE(ports()->currentIndex(), names.isEmpty() ? -1 : 0);
        QCOMPARE(ports()->currentText(), names.value(0));

        QVERIFY(peer.readFor(1500).isEmpty());
        for (QTimer *timer : all_timers())
            QVERIFY(!timer->isActive());
        expect_connected(false);
    }

    void connect_and_disconnect_over_a_pty()
    {
        PtyPeer peer;
        QVERIFY(peer.isOpen());
        dialog = std::make_unique<MyDialogWindow>();
        EnabledOrder order(connection_controls());

        ports()->setEditText(peer.slavePath());
        QTest::mouseClick(button("button_connect"), Qt::LeftButton);

        QVERIFY(serial_port->isOpen());
        QCOMPARE(serial_port->openMode(), QIODevice::ReadWrite);
        QCOMPARE("/dev/" + serial_port->portName(), peer.slavePath());
        QCOMPARE(serial_port->baudRate(QSerialPort::Input), 115200);
        QCOMPARE(serial_port->baudRate(QSerialPort::Output), 115200);
        QCOMPARE(serial_port->dataBits(), QSerialPort::Data8);
        QCOMPARE(serial_port->parity(), QSerialPort::NoParity);
        QCOMPARE(serial_port->stopBits(), QSerialPort::OneStop);
        QCOMPARE(serial_port->flowControl(), QSerialPort::NoFlowControl);
        QCOMPARE(serial_port->bytesToWrite(), qint64(0));

        // What the terminal driver itself was told.
        termios tio{};
        QCOMPARE(tcgetattr(serial_port->handle(), &tio), 0);
        QCOMPARE(cfgetispeed(&tio), speed_t(B115200));
        QCOMPARE(cfgetospeed(&tio), speed_t(B115200));
        QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
        QVERIFY(!(tio.c_cflag & PARENB));
        QVERIFY(!(tio.c_cflag & CSTOPB));
        QVERIFY(!(tio.c_cflag & CRTSCTS));
        QVERIFY(!(tio.c_iflag & (IXON | IXOFF)));

        QCOMPARE(order.changes, QStringList({"button_connect-", "button_disconnect+",
                                             "ports_combo_box-", "button_refresh-"}));
        expect_connected(true);
        QCOMPARE(bms_registers_request_send_timer->interval(), bms_request_period_ms);
        QCOMPARE(values_refresh_timer->interval(), values_refresh_period_ms);
        QCOMPARE(bms_request_period_ms, 100);
        QCOMPARE(values_refresh_period_ms, 500);
        QVERIFY(!disconnect_timer->isActive());
        QVERIFY(!upgrade_command_check_timer->isActive());
        QVERIFY(!upgrade_command_retry_timer->isActive());

        // The connect itself sends nothing: the first request is the polling
        // timer's, a full period later.
        QVERIFY(peer.readFor(30).isEmpty());

        order.changes.clear();
        QTest::mouseClick(button("button_disconnect"), Qt::LeftButton);
        QCOMPARE(order.changes, QStringList({"button_connect+", "button_disconnect-",
                                             "ports_combo_box+", "button_refresh+"}));
        QVERIFY(!serial_port->isOpen());
        expect_connected(false);

        // Nothing more reaches the port once it is closed.
        peer.drain();
        QVERIFY(peer.readFor(400).isEmpty());

        // The same port can be taken again.
        QTest::mouseClick(button("button_connect"), Qt::LeftButton);
        QVERIFY(serial_port->isOpen());
        expect_connected(true);
        QTest::mouseClick(button("button_disconnect"), Qt::LeftButton);
        expect_connected(false);
    }

    void a_port_that_will_not_open_still_connects_the_window()
    {
        dialog = std::make_unique<MyDialogWindow>();
        for (const char *name : {"/dev/does-not-exist", ""}) {
            ports()->setEditText(QString::fromLatin1(name));
            QTest::mouseClick(button("button_connect"), Qt::LeftButton);
            QVERIFY(!serial_port->isOpen());
            expect_connected(true);
            QTest::mouseClick(button("button_disconnect"), Qt::LeftButton);
            expect_connected(false);
        }
    }

    void refresh_replaces_the_list()
    {
        dialog = std::make_unique<MyDialogWindow>();
        ports()->addItem("ttyGONE0");
        ports()->addItem("ttyGONE1");
        ports()->setCurrentIndex(ports()->count() - 1);
        ports()->setEditText("/tmp/typed");

        QTest::mouseClick(button("button_refresh"), Qt::LeftButton);

        const QStringList names = library_port_names();
        QCOMPARE(items_of(ports()), names);
        QCOMPARE(ports()->currentIndex(), names.isEmpty() ? -1 : 0);
        QCOMPARE(ports()->currentText(), names.value(0));
        QVERIFY(!bms_registers_request_send_timer->isActive());
    }
};

QTEST_MAIN(TestPort)
#include "test_port.moc"
