// The window over a real pseudo-terminal: start-up, wiring, the port, polling and
// reception, every "Set" button's frame on the wire, the texts it cuts off, and a
// BMS that vanishes while the port is open.

#include "appearance.h"
#include "hex_text.h"
#include "mydialogwindow.h"
#include "pty_peer.h"
#include "window_access.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QSettings>
#include <QStyleFactory>
#include <QtTest>

#include <memory>
#include <termios.h>
#include <time.h>

namespace
{

QStringList debug_log;
QStringList warnings;
QtMessageHandler default_handler = nullptr;

void capture(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        debug_log << message;
}

const QString STORED = "Correct reply received, copied to the bms registers array";
const QByteArray STATUS = hex("55 AA 06 25 01 69 11 22 33 44 C0 FE");
const char *const CURVE[] = {"3000", "3300", "3450", "3550", "3650", "3750",
                             "3850", "3950", "4050", "4100", "4150"};
const char *const POLL_TIMER = "bms_registers_request_send_timer";

// QObject::receivers() is protected; a member pointer named through a subclass
// reaches it on any object.
struct ReceiverCount : QObject {
    static int of(const QObject *sender, const char *signal)
    {
        return (sender->*(&ReceiverCount::receivers))(signal);
    }
};

// A read reply of the BMS: registers from `first` on, as `pack` holds them.
QByteArray bms_reply(const RegisterImage &pack, int first, int bytes)
{
    QByteArray frame =
        build_frame(CMD_READ_REGISTERS, static_cast<quint8>(first),
                    QByteArray(reinterpret_cast<const char *>(pack.data()) + 2 * first, bytes));
    frame[3] = static_cast<char>(ADDR_FROM_BMS);
    frame.chop(2);
    const quint32 sum = frame_checksum(reinterpret_cast<const quint8 *>(frame.constData()),
                                       static_cast<quint8>(frame.size()));
    return frame + char(sum & 0xFF) + char((sum >> 8) & 0xFF);
}

void put(RegisterImage &pack, int reg, quint16 value)
{
    pack[size_t(2 * reg)] = quint8(value & 0xFF);
    pack[size_t(2 * reg + 1)] = quint8(value >> 8);
}

// A pack as a BMS holds it: every register the window shows or writes has a
// plausible value, some of them not the first item of their input's list.
RegisterImage a_pack(quint16 critical_temperature, quint16 short_circuit_cooldown_ms,
                     quint8 serial_digit)
{
    RegisterImage pack{};
    for (int k = 0; k < 11; ++k)
        put(pack, 0x05 + k, quint16(3000 + 100 * k));
    for (int i = 0; i < 14; ++i)
        pack[size_t(0x20 + i)] = i < 6 ? quint8('P') : quint8(' ');
    pack[0x20 + 5] = serial_digit;
    put(pack, 0x18, 12400);
    put(pack, 0x20, 5 + 32 * 3 + 512 * 24); // 5 Mar 2024
    put(pack, 0x34, 3950);
    put(pack, 0x35, 0x2D2D);
    for (int k = 0; k < 10; ++k)
        put(pack, 0x40 + k, quint16(3950 + k));
    put(pack, 0x51, 2); // 89 A
    put(pack, 0x53, short_circuit_cooldown_ms);
    put(pack, 0x57, 5000); // 5 A
    put(pack, 0x5A, 4200);
    put(pack, 0x5C, 100);
    put(pack, 0x64, critical_temperature);
    put(pack, 0x65, 3000);
    put(pack, 0x6B, 380);
    put(pack, 0x6C, quint16(-3));
    put(pack, 0x6D, 1); // Always
    for (int i = 0; i < 12; ++i)
        pack[size_t(2 * 0x70 + i)] = quint8(serial_digit + i);
    return pack;
}

// The contrast of a field's text as drawn: its darkest glyph pixel against the
// panel's background, inside the frame.
double drawn_contrast(QWidget *field)
{
    const QImage image = field->grab().toImage();
    const QColor background = image.pixelColor(image.width() - 4, image.height() / 2);
    double best = 1.0;
    for (int y = 3; y < image.height() - 3; ++y)
        for (int x = 3; x < image.width() - 3; ++x)
            best = qMax(best, contrast_ratio(image.pixelColor(x, y), background));
    return best;
}

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

class TestWindow : public QObject
{
    Q_OBJECT

    std::unique_ptr<MyDialogWindow> window;
    std::unique_ptr<PtyPeer> peer;

    MyDialogWindow *w() { return window.get(); }
    QLabel *label() { return widget<QLabel>(w(), "label_connection_state"); }
    QSerialPort *port() { return w()->findChild<QSerialPort *>(); }
    QPlainTextEdit *log() { return widget<QPlainTextEdit>(w(), "plainTextEdit"); }
    QComboBox *box(const char *name) { return widget<QComboBox>(w(), name); }
    // Answers the window's read requests from `pack` for `ms` milliseconds, each reply
    // in pieces of `piece` bytes a few milliseconds apart (0: whole), or with
    // `merged` two replies in one write.
    int serve(const RegisterImage &pack, int ms, int piece = 0, bool merged = false)
    {
        QElapsedTimer clock;
        clock.start();
        QByteArray held;
        int answered = 0;
        while (clock.elapsed() < ms) {
            const QByteArray request = peer->nextFrame(0x01, int(ms - clock.elapsed()));
            if (request.size() != 9)
                continue;
            held += bms_reply(pack, quint8(request.at(5)), quint8(request.at(6)));
            ++answered;
            if (merged && answered % 2)
                continue;
            for (int at = 0; at < held.size(); at += piece ? piece : held.size()) {
                peer->write(held.mid(at, piece ? piece : held.size()));
                QTest::qWait(3);
            }
            held.clear();
        }
        return answered;
    }
    // Every value field and balancing label of the window, by name: its text.
    QMap<QString, QString> shown()
    {
        QMap<QString, QString> texts;
        for (auto *field : w()->findChildren<QLineEdit *>(QRegularExpression("^lineEdit_")))
            if (!field->objectName().startsWith("lineEdit_set_"))
                texts[field->objectName()] = field->text();
        for (auto *label : w()->findChildren<QLabel *>(QRegularExpression("^label_cell_bal")))
            texts[label->objectName()] = label->text();
        return texts;
    }
    QString last_log_line() { return log()->toPlainText().split('\n').last(); }
    void deliver(const QByteArray &bytes)
    {
        peer->write(bytes);
        peer->readFor(150);
    }
    void show_curve(bool shown)
    {
        for (int k = 1; k <= 11; ++k) {
            set_text(w(), qPrintable(QString("lineEdit_dsg_curve%1").arg(k)),
                     shown ? CURVE[k - 1] : "");
            set_text(w(), qPrintable(QString("lineEdit_set_dsg_curve%1").arg(k)), "");
        }
    }
    QByteArray click_and_read(const char *button)
    {
        click(w(), button);
        return peer->nextFrame(0xFE);
    }
    // Slots send before they return, so anything `button` wrote would come before
    // the frame of a button known to send (balance mode, register 0x6D).
    bool click_sends_nothing(const char *button)
    {
        click(w(), button);
        if (box("comboBox_set_balance_mode")->currentIndex() < 0)
            box("comboBox_set_balance_mode")->setCurrentIndex(0);
        return click_and_read("pushButton_set_balance_mode").mid(5, 1) == hex("6D");
    }

private slots:
    void initTestCase() { use_form_font(); }
    void init()
    {
        debug_log.clear();
        window = std::make_unique<MyDialogWindow>();
        peer = std::make_unique<PtyPeer>();
        QVERIFY(peer->isOpen());
    }
    void cleanup()
    {
        qInstallMessageHandler(nullptr);
        window.reset();
        peer.reset();
    }

    void start_up_wiring_and_port()
    {
        w()->show();
        QVERIFY(peer->readFor(500).isEmpty());
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

        // The cycle on the wire, and a new connection resumes it where it stopped.
        QCOMPARE(peer->readAtLeast(9, 3000), hex("55 AA 03 22 01 00 28 B1 FF"));
        const QByteArray rest = peer->readAtLeast(5 * 9, 5000);
        const char *const cycle[] = {"14 28", "28 28", "3C 28", "50 28", "64 24"};
        for (int i = 0; i < 5; ++i)
            QCOMPARE(rest.mid(9 * i + 5, 2), hex(cycle[i]));
        click(w(), "button_disconnect");
        QVERIFY(!port()->isOpen() && !timer(w(), POLL_TIMER)->isActive());
        const QByteArray before = rest + peer->readFor(200);
        const int last = quint8(before.at(before.size() - 4));
        connect_window(w(), peer->slavePath());
        QCOMPARE(int(quint8(peer->readAtLeast(9, 3000).at(5))), last == 0x64 ? 0 : last + 0x14);
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

    void reception()
    {
        qInstallMessageHandler(capture);
        connect_window(w(), peer->slavePath());
        // Noise, a broken frame and a header cut short: nothing happens.
        QByteArray broken = STATUS;
        broken[9] = static_cast<char>(broken.at(9) ^ 0x10);
        deliver(hex("00 55 13 AA") + broken + hex("55 AA 06"));
        QCOMPARE(label()->text(), QString("BMS IS DISCONNECTED"));
        QVERIFY(debug_log.isEmpty());
        click(w(), "button_disconnect");
        connect_window(w(), peer->slavePath());

        // Another address: the link is alive, nothing is stored.
        deliver(hex("55 AA 06 22 01 69 11 22 33 44 C3 FE"));
        QCOMPARE(label()->text(), QString("BMS IS CONNECTED"));
        QCOMPARE(label()->styleSheet(), QString("color: rgb(30, 150, 30)"));
        QVERIFY(debug_log.isEmpty());

        // The status reply is stored and handed to the upgrade, whose debug lines show
        // it: whole, in two pieces, and two of them in one read.
        for (const QByteArray &reply : {STATUS, STATUS.left(5), STATUS.mid(5), STATUS + STATUS})
            deliver(reply);
        QCOMPARE(debug_log.count(STORED), 4);
        QCOMPARE(debug_log.value(0), STORED);
        QVERIFY(debug_log.value(1).startsWith("Last processed by MCU 17 34 51 68"));

        // A reply lands where it says and shows at the next refresh.
        deliver(hex("55 AA 04 25 01 34 B0 04 ED FE"));
        QVERIFY(QMetaObject::invokeMethod(w(), "refresh_values"));
        QCOMPARE(text_of(w(), "lineEdit_battery_current"), QString()); // not read yet
        QVERIFY(QMetaObject::invokeMethod(w(), "refresh_values"));
        QCOMPARE(text_of(w(), "lineEdit_battery_voltage"), QString("12000"));

        // No valid frame for a second: disconnected, in dark red, values kept.
        click(w(), "button_disconnect");
        QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QString("BMS IS DISCONNECTED"), 3000);
        QCOMPARE(label()->styleSheet(), QString("color: rgb(150, 20, 20)"));
    }

    // The window shows and writes only what the connected BMS said: before its first
    // reply nothing, then its values in the fields and the inputs, and after a
    // reconnect to another pack nothing of the first one.
    void only_what_this_connection_read()
    {
        const RegisterImage first_pack = a_pack(60, 30000, '1');
        connect_window(w(), peer->slavePath());
        QVERIFY(QMetaObject::invokeMethod(w(), "refresh_values"));
        for (const QString &text : shown())
            QVERIFY(text.isEmpty() || text == "-");
        // Before the first reply every Set writes nothing: no item is chosen, no
        // line edit holds a value, and the log says so.
        for (auto *input : w()->findChildren<QComboBox *>(QRegularExpression("^comboBox_set_")))
            QCOMPARE(input->currentIndex(), -1);
        QVERIFY(click_sends_nothing("pushButton_set_critical_int_temp"));
        QVERIFY(click_sends_nothing("pushButton_set_overvoltage_hysteresis"));
        QVERIFY(click_sends_nothing("pushButton_set_date_of_production"));
        QVERIFY(click_sends_nothing("pushButton_set_serial_number"));
        QCOMPARE(log()->toPlainText().count("a value must be chosen"), 2);
        QVERIFY(log()->toPlainText().contains(
            "Nothing written for Critical cells temperature, \u00b0C: a value must be chosen"));
        QVERIFY(log()->toPlainText().contains(
            "Nothing written for Cell overvoltage hysteresis, mV: a value must be entered"));

        // One cycle of replies: fields and inputs show the pack.
        QVERIFY(serve(first_pack, 700) >= 6);
        QVERIFY(QMetaObject::invokeMethod(w(), "refresh_values"));
        QCOMPARE(text_of(w(), "lineEdit_critical_int_temp"), QString("60"));
        QCOMPARE(text_of(w(), "lineEdit_t1"), QString("25"));
        QCOMPARE(text_of(w(), "lineEdit_date_of_production"), QString("5.3.2024"));
        QCOMPARE(box("comboBox_set_critical_int_temp")->currentText(), QString("60"));
        QCOMPARE(box("comboBox_set_balance_mode")->currentText(), QString("Always"));
        QCOMPARE(box("comboBox_set_undercurrent_current")->currentText(), QString("5"));
        QCOMPARE(box("comboBox_set_month_of_production")->currentText(), QString("Mar"));
        QCOMPARE(box("comboBox_set_year_of_production")->currentText(), QString("2024"));
        QCOMPARE(text_of(w(), "lineEdit_set_overvoltage_voltage"), QString("4200"));
        QCOMPARE(text_of(w(), "lineEdit_set_adc_offset"), QString("-3"));
        QCOMPARE(text_of(w(), "lineEdit_set_serial_number"), QString("PPPPP1"));
        QCOMPARE(text_of(w(), "lineEdit_set_dsg_curve11"), QString("4000"));

        // Set on an untouched row writes what the BMS holds.
        QCOMPARE(click_and_read("pushButton_set_critical_int_temp").mid(7, 2), hex("3C 00"));
        QCOMPARE(click_and_read("pushButton_set_date_of_production").mid(7, 2), hex("65 30"));
        // 30 s is no item of the cooldown list: nothing chosen, nothing written.
        QCOMPARE(box("comboBox_set_short_circuit_cooldown")->currentIndex(), -1);
        QVERIFY(click_sends_nothing("pushButton_set_short_circuit_cooldown"));
        QCOMPARE(last_log_line(), QString("Nothing written for Short circuit cooldown, s: the BMS "
                                          "holds 30, which is not in the list; a value must be "
                                          "chosen"));

        // What the user changed stays; later replies touch no input at all.
        auto *overvoltage = widget<QLineEdit>(w(), "lineEdit_set_overvoltage_voltage");
        overvoltage->selectAll();
        QTest::keyClicks(overvoltage, "4250");
        box("comboBox_set_critical_temp_hysteresis")->setCurrentIndex(2);
        RegisterImage changed = first_pack;
        put(changed, 0x64, 70);
        put(changed, 0x5A, 4100);
        serve(changed, 700);
        QVERIFY(QMetaObject::invokeMethod(w(), "refresh_values"));
        QCOMPARE(text_of(w(), "lineEdit_critical_int_temp"), QString("70"));
        QCOMPARE(box("comboBox_set_critical_int_temp")->currentText(), QString("60"));
        QCOMPARE(overvoltage->text(), QString("4250"));

        // Disconnect keeps the values; a new connection shows none of them, then
        // the other pack's.
        click(w(), "button_disconnect");
        const auto before = shown();
        QCOMPARE(before.value("lineEdit_bms_serial"), QString("3132333435363738393A3B3C"));
        QTest::qWait(600);
        QCOMPARE(shown(), before);
        const RegisterImage other_pack = a_pack(50, 3000, '7');
        connect_window(w(), peer->slavePath());
        for (const QString &text : shown())
            QVERIFY(text.isEmpty() || text == "-");
        QCOMPARE(box("comboBox_set_critical_int_temp")->currentIndex(), -1);
        QVERIFY(text_of(w(), "lineEdit_set_serial_number").isEmpty());
        QVERIFY(click_sends_nothing("pushButton_set_critical_int_temp"));
        serve(other_pack, 700);
        QTRY_COMPARE_WITH_TIMEOUT(text_of(w(), "lineEdit_bms_serial"),
                                  QString("3738393A3B3C3D3E3F404142"), 1000);
        QCOMPARE(box("comboBox_set_critical_int_temp")->currentText(), QString("50"));
        QCOMPARE(box("comboBox_set_short_circuit_cooldown")->currentText(), QString("3"));
        QCOMPARE(text_of(w(), "lineEdit_set_serial_number"), QString("PPPPP7"));
        QCOMPARE(overvoltage->text(), QString("4250"));
        QCOMPARE(click_and_read("pushButton_set_overvoltage_voltage").mid(7, 2), hex("9A 10"));
        click(w(), "button_disconnect");
    }

    // Replies in 32-byte pieces a few milliseconds apart, and two replies in one
    // write, fill the window as whole replies do.
    void replies_in_pieces_and_merged()
    {
        qInstallMessageHandler(capture);
        const RegisterImage pack = a_pack(60, 30000, '1');
        connect_window(w(), peer->slavePath());
        for (const bool merged : {false, true}) {
            debug_log.clear();
            const int answered = serve(pack, 1300, merged ? 0 : 32, merged);
            QVERIFY(answered >= 12);
            QVERIFY2(debug_log.count(STORED) >= answered - 1,
                     qPrintable(QString::number(answered)));
            QCOMPARE(label()->text(), QString("BMS IS CONNECTED"));
        }
        QVERIFY(QMetaObject::invokeMethod(w(), "refresh_values"));
        const auto texts = shown();
        for (auto it = texts.cbegin(); it != texts.cend(); ++it)
            QVERIFY2(!it.value().isEmpty() || it.key().startsWith("label_cell_bal"),
                     qPrintable(it.key()));
        click(w(), "button_disconnect");

        // The simulator as such an adapter: the pack shows as on a clean line, and an
        // upgrade runs without a retransmission.
        QProcess sim;
        connect_window(w(), start_sim(sim, {"--chunk", "32"}));
        QTRY_VERIFY_WITH_TIMEOUT(!text_of(w(), "lineEdit_bms_serial").isEmpty() &&
                                     !text_of(w(), "lineEdit_adc_offset").isEmpty(),
                                 5000);
        QVERIFY(text_of(w(), "lineEdit_bms_serial") != QString(24, '0'));
        QVERIFY(text_of(w(), "lineEdit_critical_int_temp").toInt() > 0);
        QTemporaryFile firmware;
        QVERIFY(firmware.open());
        firmware.write(generated_hex_file(20, 16, 3));
        firmware.close();
        set_text(w(), "lineEdit_set_firmware_path", firmware.fileName());
        click(w(), "pushButton_fw_upgrade");
        QTRY_VERIFY_WITH_TIMEOUT(log()->toPlainText().contains("successfully flashed"), 10000);
        QVERIFY(!log()->toPlainText().contains("Attempt 2 of"));
        click(w(), "button_disconnect");
        stop_sim(sim);
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
        deliver(STATUS);
        QCOMPARE(MyDialogWindow::rememberedPort(), peer->slavePath());
        settings.setValue("port/answered", "elsewhere"); // once per connection
        deliver(STATUS);
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
            deliver(STATUS);
            tool.terminate();
            tool.waitForFinished();
            QCOMPARE(tool.readAllStandardError().split('\n').contains(STORED.toLatin1()), asked);
        }
    }

    // A live pack at the form's fixed geometry: few texts are cut, each one that is
    // (and only such a one) has its full text as tooltip, and the value fields, whose
    // panels come from a cache, look as the style draws them. Then the simulator
    // exits, as when a USB adapter is pulled: the window shows the loss, lets the
    // user disconnect, and stays idle instead of spinning on write errors.
    void live_pack_then_its_loss()
    {
        // Nothing of all this may warn: not a write to the closed port, not a
        // disconnect in the middle of an upgrade.
        warnings.clear();
        default_handler = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &c, const QString &text) {
                if (type != QtDebugMsg && type != QtInfoMsg)
                    warnings << text;
                default_handler(type, c, text);
            });
        const bool narrow =
            QFontInfo(QFont("Liberation Sans Narrow")).family() == "Liberation Sans Narrow";
        if (narrow) {
            QCOMPARE(QFontInfo(label()->font()).family(), QString("Liberation Sans"));
            QCOMPARE(QFontInfo(widget<QGroupBox>(w(), "groupBox_3")->font()).family(),
                     QString("Liberation Sans Narrow"));
        }
        QProcess sim;
        w()->show();
        const QString sim_port = start_sim(sim);
        connect_window(w(), sim_port);
        // The last read of the cycle has arrived, and so have the others.
        QTRY_VERIFY_WITH_TIMEOUT(text_of(w(), "lineEdit_critical_int_temp").toInt() > 0, 5000);
        QStringList clipped;
        for (QWidget *child : w()->findChildren<QWidget *>()) {
            const QString text = clipped_text(child);
            QCOMPARE(child->toolTip(), text);
            if (!text.isEmpty())
                clipped << child->objectName();
        }
        // The chosen font leaves nothing cut off up to 110 DPI (offscreen: 100).
        if (narrow && w()->logicalDpiX() <= 110)
            QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(' ')));
        // The value fields are disabled, yet their text reads: in the style Qt picked,
        // and in Fusion forced.
        const auto fields = {"lineEdit_battery_voltage", "lineEdit_bms_serial",
                             "lineEdit_critical_int_temp", "lineEdit_date_of_production"};
        for (const char *name : fields) {
            auto *value = widget<QLineEdit>(w(), name);
            QVERIFY(!value->isEnabled());
            const double contrast = drawn_contrast(value);
            QVERIFY2(contrast >= 4.5, qPrintable(QString("%1: %2").arg(name).arg(contrast)));
        }
        {
            QStyle *fusion = QStyleFactory::create("Fusion");
            const QString previous = QApplication::style()->objectName();
            QApplication::setStyle(fusion);
            MyDialogWindow in_fusion;
            auto *value = widget<QLineEdit>(&in_fusion, "lineEdit_battery_voltage");
            value->setText("12345");
            const double contrast = drawn_contrast(value);
            QApplication::setStyle(previous);
            QVERIFY2(contrast >= 4.5, qPrintable(QString::number(contrast)));
        }
        set_text(w(), "lineEdit_set_capacity", QString(30, '8'));
        QCOMPARE(widget<QLineEdit>(w(), "lineEdit_set_capacity")->toolTip(), QString(30, '8'));
        auto *field = widget<QLineEdit>(w(), "lineEdit_battery_voltage");
        QWidget parent;
        QLineEdit plain(field->text(), &parent);
        plain.setFont(field->font());
        plain.setPalette(field->palette());
        plain.resize(field->size());
        // The cached panel stands on the window's colour, as the field does.
        for (bool enabled : {true, false}) {
            field->setEnabled(enabled);
            plain.setEnabled(enabled);
            QImage drawn(plain.grab().toImage().size(), QImage::Format_RGB32);
            drawn.fill(field->palette().color(QPalette::Window));
            QPainter(&drawn).drawImage(0, 0, plain.grab().toImage());
            QCOMPARE(field->grab().toImage().convertToFormat(QImage::Format_RGB32), drawn);
        }

        // Disconnect while an upgrade runs: its retries go nowhere, and it fails.
        QTemporaryFile firmware;
        QVERIFY(firmware.open());
        firmware.write(generated_hex_file(200, 16, 7));
        firmware.close();
        set_text(w(), "lineEdit_set_firmware_path", firmware.fileName());
        click(w(), "pushButton_fw_upgrade");
        QTRY_VERIFY_WITH_TIMEOUT(log()->toPlainText().contains("Sending hex line 3 of"), 5000);
        click(w(), "button_disconnect");
        QTRY_VERIFY_WITH_TIMEOUT(log()->toPlainText().endsWith("Firmware update failed"), 10000);
        connect_window(w(), sim_port);
        QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QString("BMS IS CONNECTED"), 3000);

        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
        set_text(w(), "lineEdit_set_overvoltage_voltage", "4160");
        click(w(), "pushButton_set_overvoltage_voltage");
        QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QString("BMS IS DISCONNECTED"), 5000);
        // A spinning event loop takes most of a core; idle polling takes well under
        // one percent, even in the sanitizer build.
        const double share = cpu_share_while_idle(2000);
        QVERIFY2(share < 0.10, qPrintable(QString::number(100.0 * share, 'f', 2) + " %"));
        QCOMPARE(label()->styleSheet(), QStringLiteral("color: rgb(150, 20, 20)"));
        click(w(), "button_disconnect");
        QVERIFY(!port()->isOpen() && widget<QPushButton>(w(), "button_connect")->isEnabled());
        QVERIFY(!timer(w(), POLL_TIMER)->isActive());
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
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
        QTest::qWait(1500);
        tool.terminate();
        QVERIFY(tool.waitForFinished());
        QCOMPARE(tool.readAllStandardError(), QByteArray());
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
