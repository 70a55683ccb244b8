#ifndef TESTS_WINDOW_FIXTURE_H
#define TESTS_WINDOW_FIXTURE_H

// The window on one end of a pseudo-terminal and the test as the BMS on the other,
// shared by the window's test executables so that ctest runs them side by side.

#include "appearance.h"
#include "hex_text.h"
#include "mydialogwindow.h"
#include "pty_peer.h"
#include "upgrade_engine.h"
#include "window_access.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QSerialPort>
#include <QtTest>

#include <memory>

inline QStringList debug_log;

inline void capture(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        debug_log << message;
}

inline const QString STORED = "Correct reply received, copied to the bms registers array";
inline const QByteArray STATUS = hex("55 AA 06 25 01 69 11 22 33 44 C0 FE");
inline const char *const CURVE[] = {"3000", "3300", "3450", "3550", "3650", "3750",
                                    "3850", "3950", "4050", "4100", "4150"};
inline const char *const POLL_TIMER = "bms_registers_request_send_timer";

// A read reply of the BMS: registers from `first` on, as `pack` holds them.
inline QByteArray bms_reply(const RegisterImage &pack, int first, int bytes)
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

inline void put(RegisterImage &pack, int reg, quint16 value)
{
    pack[size_t(2 * reg)] = quint8(value & 0xFF);
    pack[size_t(2 * reg + 1)] = quint8(value >> 8);
}

// A pack as a BMS holds it: every register the window shows or writes has a
// plausible value, some of them not the first item of their input's list.
inline RegisterImage a_pack(quint16 critical_temperature, quint16 short_circuit_cooldown_ms,
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

// The window and its peer, fresh for every test function. A window test class
// derives from it: QTest finds these slots in the base as in the class itself.
class WindowFixture : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { use_form_font(); }
    void init()
    {
        set_up();
        QVERIFY(peer->isOpen());
    }
    void cleanup() { tear_down(); }

protected:
    std::unique_ptr<MyDialogWindow> window;
    std::unique_ptr<PtyPeer> peer;

    MyDialogWindow *w() { return window.get(); }
    QLabel *label() { return widget<QLabel>(w(), "label_connection_state"); }
    QSerialPort *port() { return w()->findChild<QSerialPort *>(); }
    QPlainTextEdit *log() { return widget<QPlainTextEdit>(w(), "plainTextEdit"); }
    QComboBox *box(const char *name) { return widget<QComboBox>(w(), name); }
    // Answers the window's next `replies` read requests from `pack`, each reply in
    // pieces of `piece` bytes that the window reads one by one (0: whole), or with
    // `merged` two replies in one write. Returns how many were answered, each of
    // them taken by the window by then.
    int serve(const RegisterImage &pack, int replies, int piece = 0, bool merged = false)
    {
        QElapsedTimer clock;
        clock.start();
        QByteArray held;
        int answered = 0;
        while (answered < replies && clock.elapsed() < 10000) {
            const QByteArray request = peer->nextFrame(0x01, 1000);
            if (request.size() != 9)
                continue;
            held += bms_reply(pack, quint8(request.at(5)), quint8(request.at(6)));
            ++answered;
            if (merged && answered % 2)
                continue;
            for (int at = 0; at < held.size(); at += piece ? piece : held.size())
                if (!deliver(held.mid(at, piece ? piece : held.size())))
                    return answered - 1;
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
    // Writes `bytes` in one write and returns once the window has read them all, and
    // so has done whatever it does with them.
    bool deliver(const QByteArray &bytes)
    {
        const int before = peer->unread();
        peer->write(bytes);
        if (!peer->waitUnread(before + int(bytes.size())))
            return false;
        QElapsedTimer clock;
        clock.start();
        while (peer->unread() > 0 || port()->bytesAvailable() > 0) {
            if (clock.elapsed() > 10000)
                return false;
            QTest::qWait(1);
        }
        return true;
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

    void set_up()
    {
        debug_log.clear();
        window = std::make_unique<MyDialogWindow>();
        peer = std::make_unique<PtyPeer>();
    }
    void tear_down()
    {
        qInstallMessageHandler(nullptr);
        window.reset();
        peer.reset();
    }
};

#endif // TESTS_WINDOW_FIXTURE_H
