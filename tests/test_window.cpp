// The window over a real pseudo-terminal: start-up, wiring, the port, every "Set"
// button's frame on the wire, Enter, the remembered port and the binary itself.

#include "window_fixture.h"

#include <QSerialPortInfo>
#include <QSettings>

#include <termios.h>

namespace
{

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// QObject::receivers() is protected; a member pointer named through a subclass
// reaches it on any object.
struct ReceiverCount : QObject {
    static int of(const QObject *sender, const char *signal)
    {
        return (sender->*(&ReceiverCount::receivers))(signal);
    }
};

} // namespace

class TestWindow : public WindowFixture
{
    Q_OBJECT

private slots:
    void start_up_wiring_and_port()
    {
        w()->show();
        QCoreApplication::processEvents();
        QVERIFY(!port()->isOpen());
        for (QTimer *t : w()->findChildren<QTimer *>())
            QVERIFY2(!t->isActive(), qPrintable(t->objectName()));
        QStringList names, items;
        for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
            names << info.portName();
        auto *ports = widget<QComboBox>(w(), "ports_combo_box");
        for (int i = 0; i < ports->count(); ++i)
            items << ports->itemText(i);
        QCOMPARE(items, names);

        // Each of the 39 signals reaches exactly its slot, and nothing else reaches
        // the window: the three called slots run only when called.
        const char *const timers[][2] = {
            {POLL_TIMER, "bms_registers_request_send_timer_overflow"},
            {"values_refresh_timer", "values_refresh_timer_overflow"},
            {"disconnect_timer", "disconnect_timer_overflow"},
            {"upgrade_command_retry_timer", "upgrade_command_retry_timer_overflow"},
            {"upgrade_command_check_timer",
             "upgrade_command_check_last_executed_command_timer_overflow"}};
        QList<QPair<QObject *, QByteArray>> wires;
        for (const auto &t : timers)
            wires.append({timer(w(), t[0]), QByteArray(SIGNAL(timeout())) + t[1]});
        wires.append({port(), QByteArray(SIGNAL(readyRead())) + "comport_received"});
        const char *const buttons[][2] = {{"button_connect", "comport_connect"},
                                          {"button_disconnect", "comport_disconnect"},
                                          {"button_refresh", "refresh_ports_slot"},
                                          {"pushButton_fw_upgrade", "firmware_upgrade"}};
        for (const auto &b : buttons)
            wires.append(
                {widget<QPushButton>(w(), b[0]), QByteArray(SIGNAL(clicked(bool))) + b[1]});
        const QMetaObject &meta = MyDialogWindow::staticMetaObject;
        const char *const set_buttons[] = {"serial_number",
                                           "capacity",
                                           "date_of_production",
                                           "undercurrent_current",
                                           "undercurrent_delay",
                                           "undercurrent_holding_time",
                                           "overcurrent_current",
                                           "overcurrent_delay",
                                           "overcurrent_holding_time",
                                           "short_circuit_current",
                                           "short_circuit_delay",
                                           "short_circuit_cooldown",
                                           "overvoltage_voltage",
                                           "overvoltage_hysteresis",
                                           "overvoltage_delay",
                                           "undervoltage_voltage",
                                           "undervoltage_hysteresis",
                                           "undervoltage_delay",
                                           "balance_mode",
                                           "shutdown_voltage",
                                           "lowest_voltage_to_balance",
                                           "cell_disbalance_threshold",
                                           "recuperation_disable_voltage",
                                           "critical_int_temp",
                                           "critical_temp_delay",
                                           "critical_temp_hysteresis",
                                           "dsg_curve_manual",
                                           "adc_gain",
                                           "adc_offset"};
        for (int i = 0; i < 29; ++i) // slots 11 to 39, in the order of the buttons
            wires.append(
                {widget<QPushButton>(w(), qPrintable(QString("pushButton_set_") + set_buttons[i])),
                 QByteArray(SIGNAL(clicked(bool))) +
                     meta.method(meta.methodOffset() + 11 + i).name()});
        for (const auto &wire : wires) {
            const int cut = wire.second.indexOf(')') + 1;
            const QByteArray signal = wire.second.left(cut);
            const QByteArray slot = "1" + wire.second.mid(cut) + "()";
            QCOMPARE(ReceiverCount::of(wire.first, signal), 1);
            QVERIFY2(QObject::disconnect(wire.first, signal, w(), slot),
                     qPrintable(wire.first->objectName() + " -> " + slot));
        }
        QList<QObject *> senders = w()->findChildren<QObject *>();
        senders << w() << qApp;
        for (QObject *sender : senders)
            QVERIFY2(!QObject::disconnect(sender, nullptr, w(), nullptr),
                     qPrintable(sender->objectName()));
    }

    void connect_and_disconnect()
    {
        int ticks = 0;
        connect(timer(w(), POLL_TIMER), &QTimer::timeout, this, [&ticks] { ++ticks; });
        connect_window(w(), peer->slavePath());
        QVERIFY(port()->isOpen() && log()->toPlainText().isEmpty());
        termios tio{}; // what the terminal driver itself was told: 115200 8N1, no flow control
        QCOMPARE(tcgetattr(port()->handle(), &tio), 0);
        QVERIFY(cfgetispeed(&tio) == B115200 && cfgetospeed(&tio) == B115200);
        QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
        QVERIFY(!(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS)) && !(tio.c_iflag & (IXON | IXOFF)));
        QCOMPARE(timer(w(), POLL_TIMER)->interval(), 100);
        QCOMPARE(timer(w(), "values_refresh_timer")->interval(), 500);
        for (const char *name : {"button_connect", "ports_combo_box", "button_refresh"})
            QVERIFY(!widget<QWidget>(w(), name)->isEnabled());

        // The cycle on the wire (its order, not its pace), and a new connection resumes
        // it where it stopped.
        poll_fast(w());
        QCOMPARE(peer->readAtLeast(9, 3000), hex("55 AA 03 22 01 00 28 B1 FF"));
        const QByteArray rest = peer->readAtLeast(5 * 9, 5000);
        const char *const cycle[] = {"14 28", "28 28", "3C 28", "50 28", "64 24"};
        for (int i = 0; i < 5; ++i)
            QCOMPARE(rest.mid(9 * i + 5, 2), hex(cycle[i]));
        QTRY_VERIFY_WITH_TIMEOUT(ticks % 6 != 0, 5000); // stopped inside a cycle
        click(w(), "button_disconnect");
        QVERIFY(!port()->isOpen() && !timer(w(), POLL_TIMER)->isActive());
        // Every request of this connection is read here, so the next one is the new one's.
        const int sent = 9 * ticks;
        QCOMPARE(9 + rest.size() + peer->readAtLeast(sent - 9 - int(rest.size()), 5000).size(),
                 sent);
        connect_window(w(), peer->slavePath());
        poll_fast(w());
        QCOMPARE(int(quint8(peer->readAtLeast(9, 3000).at(5))), 0x14 * (ticks % 6));
        click(w(), "button_disconnect");

        // A port that does not open still switches the window, and the log says why.
        connect_window(w(), "/dev/does-not-exist");
        QVERIFY(!port()->isOpen() && widget<QWidget>(w(), "button_disconnect")->isEnabled());
        QVERIFY(!widget<QWidget>(w(), "button_connect")->isEnabled() &&
                timer(w(), POLL_TIMER)->isActive());
        QCOMPARE(log()->toPlainText(),
                 "Cannot open port /dev/does-not-exist: " + port()->errorString());
        click(w(), "button_disconnect");
    }

    void set_buttons_on_the_wire()
    {
        connect_window(w(), peer->slavePath());
        show_curve(true);
        // Each row: input (text, or index of the combo box), the frame's register and
        // its data bytes; a full frame where it is pinned byte for byte.
        const struct {
            const char *button, *input_widget, *text;
            int index, reg;
            const char *bytes;
        } rows[] = {
            {"serial_number", "lineEdit_set_serial_number", "ABC", 0, 0x10,
             "55 AA 13 22 FE 10 0E 41 42 43 20 20 20 20 20 20 20 20 20 20 20 88 FC 04 FB"},
            {"capacity", "lineEdit_set_capacity", " +12400\t", 0, 0x18,
             "55 AA 07 22 FE 18 02 70 30 1E FE 02 FD"},
            {"date_of_production", nullptr, nullptr, 0, 0x20,
             "55 AA 07 22 FE 20 02 21 26 6F FE 02 FD"},
            {"undercurrent_current", "comboBox_set_undercurrent_current", nullptr, 4, 0x57,
             "88 13"},
            {"undercurrent_delay", "comboBox_set_undercurrent_delay", nullptr, 4, 0x58, "C4 09"},
            {"undercurrent_holding_time", "comboBox_set_undercurrent_holding_time", nullptr, 2,
             0x59, "B8 0B"},
            {"overcurrent_current", "comboBox_set_overcurrent_current", nullptr, 6, 0x54, "06 00"},
            {"overcurrent_delay", "comboBox_set_overcurrent_delay", nullptr, 7, 0x55, "07 00"},
            {"overcurrent_holding_time", "comboBox_set_overcurrent_holding_time", nullptr, 9, 0x56,
             "10 27"},
            {"short_circuit_current", "comboBox_set_short_circuit_current", nullptr, 1, 0x51,
             "01 00"},
            {"short_circuit_delay", "comboBox_set_short_circuit_delay", nullptr, 3, 0x52, "03 00"},
            {"short_circuit_cooldown", "comboBox_set_short_circuit_cooldown", nullptr, 0, 0x53,
             "E8 03"},
            {"overvoltage_voltage", "lineEdit_set_overvoltage_voltage", "4200", 0, 0x5A,
             "55 AA 07 22 FE 5A 02 68 10 04 FE 02 FD"},
            {"overvoltage_hysteresis", "lineEdit_set_overvoltage_hysteresis", "500", 0, 0x5C,
             "F4 01"},
            {"overvoltage_delay", "comboBox_set_overvoltage_delay", nullptr, 3, 0x5B, "03 00"},
            {"undervoltage_voltage", "lineEdit_set_undervoltage_voltage", "2500", 0, 0x5D, "C4 09"},
            {"undervoltage_hysteresis", "lineEdit_set_undervoltage_hysteresis", "x", 0, 0x5F,
             "00 00"},
            {"undervoltage_delay", "comboBox_set_undervoltage_delay", nullptr, 2, 0x5E, "02 00"},
            {"balance_mode", "comboBox_set_balance_mode", nullptr, 1, 0x6D,
             "55 AA 07 22 FE 6D 02 01 00 68 FE 02 FD"},
            {"shutdown_voltage", "lineEdit_set_shutdown_voltage", "3000", 0, 0x63, "B8 0B"},
            {"lowest_voltage_to_balance", "lineEdit_set_lowest_voltage_to_balance", "3000", 0, 0x61,
             "B8 0B"},
            {"cell_disbalance_threshold", "lineEdit_set_disbalance_threshold", "1000", 0, 0x62,
             "E8 03"},
            {"recuperation_disable_voltage", "lineEdit_set_recuperation_disable_voltage", "4300", 0,
             0x67, "CC 10"},
            {"critical_int_temp", "comboBox_set_critical_int_temp", nullptr, 4, 0x64, "50 00"},
            {"critical_temp_delay", "comboBox_set_critical_temp_delay", nullptr, 9, 0x65, "10 27"},
            {"critical_temp_hysteresis", "comboBox_set_critical_temp_hysteresis", nullptr, 5, 0x66,
             "1E 00"},
            {"dsg_curve_manual", nullptr, nullptr, 0, 0x05,
             "55 AA 1B 22 FE 05 16 B8 0B E4 0C 7A 0D DE 0D 42 0E A6 0E 0A 0F 6E 0F D2 0F 04 10 36 "
             "10 "
             "AF F8 08 F7"},
            {"adc_gain", "comboBox_set_adc_gain", nullptr, 31, 0x6B, "8C 01"},
            {"adc_offset", "lineEdit_set_adc_offset", "-5", 0, 0x6C,
             "55 AA 07 22 FE 6C 02 FB FF 70 FC 04 FB"},
        };
        QTimer *poll = timer(w(), POLL_TIMER);
        for (const char *date :
             {"comboBox_set_day_of_production", "comboBox_set_month_of_production",
              "comboBox_set_year_of_production"})
            widget<QComboBox>(w(), date)->setCurrentIndex(0);
        for (const auto &row : rows) {
            if (row.text)
                set_text(w(), row.input_widget, row.text);
            else if (row.input_widget)
                widget<QComboBox>(w(), row.input_widget)->setCurrentIndex(row.index);
            poll->stop();
            const QByteArray frame =
                click_and_read(qPrintable(QString("pushButton_set_") + row.button));
            const QByteArray wanted = hex(row.bytes);
            QVERIFY2(frame.size() > 7 && quint8(frame.at(5)) == row.reg, row.button);
            QVERIFY2(wanted.startsWith(hex("55 AA")) ? frame == wanted
                                                     : frame.mid(7, wanted.size()) == wanted,
                     row.button);
            QVERIFY2(poll->isActive() && poll->interval() == 100, row.button);
        }

        // Refused inputs send nothing and leave the polling countdown alone.
        const char *const refused[][3] = {
            {"overvoltage_voltage", "lineEdit_set_overvoltage_voltage", "3999"},
            {"overvoltage_voltage", "lineEdit_set_overvoltage_voltage", "4200mV"},
            {"capacity", "lineEdit_set_capacity", "32001"},
            {"adc_offset", "lineEdit_set_adc_offset", "-129"},
            {"cell_disbalance_threshold", "lineEdit_set_disbalance_threshold", "99999999999"},
            {"dsg_curve_manual", "lineEdit_set_dsg_curve5", "3550"}, // not rising
        };
        for (const auto &row : refused) {
            set_text(w(), row[1], row[2]);
            poll->start(5000);
            click(w(), qPrintable(QString("pushButton_set_") + row[0]));
            QVERIFY2(poll->interval() == 5000, row[2]);
            QVERIFY2(click_sends_nothing(qPrintable(QString("pushButton_set_") + row[0])), row[2]);
        }
        // One entered point replaces the displayed one; nothing displayed and an
        // incomplete entry send nothing.
        set_text(w(), "lineEdit_set_dsg_curve5", "3600");
        QCOMPARE(click_and_read("pushButton_set_dsg_curve_manual").mid(15, 2), hex("10 0E"));
        show_curve(false);
        set_text(w(), "lineEdit_set_dsg_curve5", "3600");
        QVERIFY(click_sends_nothing("pushButton_set_dsg_curve_manual"));
        click(w(), "button_disconnect");
    }

    void enter_presses_the_focused_or_the_rows_button()
    {
        w()->show();
        connect_window(w(), peer->slavePath());
        show_curve(true);
        const auto enter = [this](const char *name) {
            QWidget *target = widget<QWidget>(w(), name);
            target->setFocus();
            QTest::keyClick(target, Qt::Key_Return);
        };
        for (auto *box : w()->findChildren<QComboBox *>(QRegularExpression("^comboBox_set_")))
            box->setCurrentIndex(0);
        // A focused button; inputs beside their button, one of three, above it.
        const char *const rows[][2] = {{"pushButton_set_short_circuit_delay", "52"},
                                       {"comboBox_set_month_of_production", "20"},
                                       {"lineEdit_set_dsg_curve11", "05"},
                                       {"comboBox_set_adc_gain", "6B"}};
        for (const auto &row : rows) {
            enter(row[0]);
            QVERIFY2(peer->nextFrame(0xFE).mid(5, 1) == hex(row[1]), row[0]);
        }
        // Elsewhere Enter presses nothing, not even Flash! beside the path.
        enter("lineEdit_set_firmware_path");
        QCOMPARE(click_and_read("pushButton_set_balance_mode").mid(5, 1), hex("6D"));
        QVERIFY(w()->isVisible() && log()->toPlainText().isEmpty());
        click(w(), "button_disconnect");
    }

    void remembered_port()
    {
        QSettings settings;
        settings.remove("port/answered");
        connect_window(w(), peer->slavePath());
        QVERIFY(deliver(STATUS));
        QCOMPARE(MyDialogWindow::rememberedPort(), peer->slavePath());
        // The link's supervision, shortened in other tests, is a second here.
        QCOMPARE(timer(w(), "disconnect_timer")->interval(), 1000);
        settings.setValue("port/answered", "elsewhere"); // once per connection
        QVERIFY(deliver(STATUS));
        QCOMPARE(MyDialogWindow::rememberedPort(), QString("elsewhere"));
        click(w(), "button_disconnect");

        // Preselected when listed, by name or through a link; otherwise the list as ever.
        const auto listed = QSerialPortInfo::availablePorts();
        QTemporaryDir dir;
        QStringList remembered{"/dev/not-here"};
        if (!listed.isEmpty() && QFile::link(listed.last().systemLocation(), dir.filePath("l")))
            remembered << listed.last().portName() << dir.filePath("l");
        for (const QString &name : remembered) {
            settings.setValue("port/answered", name);
            MyDialogWindow fresh;
            const auto *box = widget<QComboBox>(&fresh, "ports_combo_box");
            QCOMPARE(box->currentText(), listed.isEmpty()        ? QString()
                                         : name == remembered[0] ? listed.first().portName()
                                                                 : name);
        }
    }

    // The binary: help and version without a display, --port and --connect, the
    // debug lines off unless asked for and then without a prefix.
    void command_line()
    {
        QTemporaryDir config;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name :
             {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "QT_LOGGING_RULES"})
            env.remove(name);
        env.insert("XDG_CONFIG_HOME", config.path());
        QProcess tool;
        const auto run = [&](const QStringList &args) {
            tool.setProcessEnvironment(env);
            tool.start(BMS_TOOL_PATH, args);
            return tool.waitForStarted();
        };
        QVERIFY(run({"--help"}) && tool.waitForFinished() && tool.exitCode() == 0);
        QVERIFY(tool.readAllStandardOutput().contains("  bms_tool --port /dev/ttyUSB0 --connect"));
        QVERIFY(run({"--version"}) && tool.waitForFinished() && tool.exitCode() == 0);
        QVERIFY(tool.readAllStandardOutput().startsWith("bms_tool 2."));

        env.insert("QT_QPA_PLATFORM", "offscreen");
        QVERIFY(run({"--connect"}) && tool.waitForFinished() && tool.exitCode() == 2);
        for (const bool asked : {true, false}) {
            env.insert("QT_LOGGING_RULES", asked ? "bms.*.debug=true" : "");
            peer->drain();
            // --connect alone: the port that answered to the first run.
            QVERIFY(run(asked ? QStringList{"--port", peer->slavePath(), "--connect"}
                              : QStringList{"--connect"}));
            QCOMPARE(peer->readAtLeast(9, 5000).left(5), hex("55 AA 03 22 01"));
            peer->write(STATUS);
            QByteArray err;
            if (asked) { // the line, and the port remembered for the next run
                QTRY_VERIFY_WITH_TIMEOUT(
                    (err += tool.readAllStandardError()).contains(STORED.toLatin1()), 10000);
                QTRY_VERIFY_WITH_TIMEOUT(contents(config.filePath("voltaro/bms_tool.conf"))
                                             .contains(peer->slavePath().toLocal8Bit()),
                                         10000);
            } else { // the reply read, and two requests after it
                // The written bytes reach the terminal's queue a moment after the
                // write, so an empty queue alone may mean "not there yet". A request
                // sent a poll period after the one in flight finds them taken.
                QVERIFY(peer->nextFrame(0x01, 5000).size() == 9);
                QVERIFY(wait_until([&] {
                    return peer->nextFrame(0x01, 5000).size() == 9 && peer->unread() == 0;
                }));
                peer->drain();
                QVERIFY(peer->nextFrame(0x01, 5000).size() == 9 &&
                        peer->nextFrame(0x01, 5000).size() == 9);
            }
            tool.terminate();
            tool.waitForFinished();
            err += tool.readAllStandardError();
            QCOMPARE(err.split('\n').contains(STORED.toLatin1()), asked);
        }
    }

    // The program itself, on a port that does not open: one line in the log pane
    // and not a word on standard error while it polls the closed port.
    void quiet_on_a_port_that_does_not_open()
    {
        QTemporaryDir home;
        QVERIFY(QFile::setPermissions(home.path(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QT_LOGGING_RULES");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_CONFIG_HOME", home.path());
        env.insert("XDG_RUNTIME_DIR", home.path()); // as a desktop session has it
        QProcess tool;
        tool.setProcessEnvironment(env);
        tool.start(BMS_TOOL_PATH, {"--port", "/dev/does-not-exist", "--connect"});
        QVERIFY(tool.waitForStarted());
        // Nothing outside shows it polling a port that is not open: some periods of it
        // once the application is up, as its platform plugin shows.
        const QString maps = QString("/proc/%1/maps").arg(tool.processId());
        QTRY_VERIFY_WITH_TIMEOUT(contents(maps).contains("qoffscreen"), 10000);
        QTest::qWait(400);
        tool.terminate();
        QVERIFY(tool.waitForFinished());
        QCOMPARE(tool.readAllStandardError(), QByteArray());
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
