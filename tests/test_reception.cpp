// Frames byte for byte, polling and reception: the pure edges, then the real dialog
// over a pseudo-terminal.

#include "dialog_access.h"
#include "pty_peer.h"

#include "app/program_state.h"
#include "link/reception.h"

#include <QLabel>
#include <QTimer>

namespace
{

QStringList debug_log;

void capture(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        debug_log << message;
}

const QStringList STORED{"Correct reply received, copied to the bms registers array"};
const QByteArray STATUS = hex("55 AA 06 25 01 69 11 22 33 44 C0 FE"); // 0x69, LEN 6

QByteArray read_reply(quint8 first_register, const QByteArray &data)
{
    QByteArray frame = hex("55 AA") + char(data.size() + 2) + hex("25 01") + char(first_register);
    frame.append(data);
    append_checksum(frame);
    return frame;
}

FrameKind kind_of(const QByteArray &frame)
{
    return recognise_frame(reinterpret_cast<const quint8 *>(frame.constData()), frame.size());
}

ReceptionResult receive(const QByteArray &batch, RegisterImage &reply, RegisterImage &image)
{
    return receive_batch(static_cast<quint8>(batch.size()), batch, reply, image);
}

} // namespace

class TestReception : public QObject
{
    Q_OBJECT

    MyDialogWindow *dialog = nullptr;
    PtyPeer *peer = nullptr;

    QLabel *label() { return widget<QLabel>(dialog, "label_connection_state"); }

    // Delivers `bytes` as one readyRead batch and lets the tool handle it.
    void deliver(const QByteArray &bytes)
    {
        peer->write(bytes);
        peer->readFor(150);
    }

private slots:
    void init()
    {
        reset_program_state();
        debug_log.clear();
        qInstallMessageHandler(capture);
        dialog = new MyDialogWindow;
        peer = new PtyPeer;
        QVERIFY(peer->isOpen());
    }

    void cleanup()
    {
        qInstallMessageHandler(nullptr);
        run_slot(dialog, "comport_disconnect");
        disconnect_timer->stop();
        delete dialog;
        delete peer;
    }

    void frames_byte_for_byte()
    {
        QByteArray frame = "left over from the last sender";
        build_read_request(frame, 0x00, 40);
        QCOMPARE(frame, hex("55 AA 03 22 01 00 28 B1 FF"));
        build_write_frame(frame, 0x5A, register_words({4200}));
        QCOMPARE(frame, hex("55 AA 07 22 FE 5A 02 68 10 04 FE 02 FD"));
        // The write length counts the write checksum; the whole frame is n + 11 bytes.
        for (int n : {2, 14, 22}) {
            build_write_frame(frame, 0x10, QByteArray(n, '\x41'));
            QVERIFY(frame.size() == n + 11 && frame.at(2) == n + 5);
            QCOMPARE(kind_of(frame), FrameKind::Valid); // addressed to the BMS: no data for us
        }
        QCOMPARE(frame_checksum(hex("55 AA 03"), 2), 0xFFFFFFFFu);
        QCOMPARE(frame_checksum(hex("55 AA 03"), 3), 0xFFFFFFFFu - 0x03);
        QCOMPARE(frame_checksum(hex("55 AA 03 22 01 00 28"), 200) & 0xFFFF, 0xFFB1u); // past end: 0

        // Received frames are judged by size and checksum; the header is not summed.
        QCOMPARE(kind_of(STATUS), FrameKind::ReadReply);
        for (int i = 2; i < STATUS.size(); ++i) {
            QByteArray bad = STATUS;
            bad[i] = static_cast<char>(bad.at(i) ^ 0x01);
            QVERIFY2(kind_of(bad) == FrameKind::Invalid, qPrintable(QString::number(i)));
        }
        QVERIFY(kind_of(STATUS.left(11)) == FrameKind::Invalid &&
                kind_of(STATUS + '\0') == FrameKind::Invalid);
        QCOMPARE(kind_of(hex("00 11") + STATUS.mid(2)), FrameKind::Valid);
    }

    void pure_reception_edges()
    {
        RegisterImage reply{};
        RegisterImage image{};
        // The count is kept in 8 bits: 256 extra bytes wrap back onto one frame.
        ReceptionResult r = receive(STATUS + QByteArray(256, '\x7E'), reply, image);
        QVERIFY(r.stored && r.status_reply);
        QCOMPARE(register_at(image, 0x6A), quint16(0x4433));

        // The port reported more than could be read: the missing bytes are zeros.
        reply.fill(0xEE);
        r = receive_batch(12, STATUS.left(10), reply, image);
        QVERIFY(!r.valid);
        QCOMPARE(reply[10], quint8(0));
        QCOMPARE(reply[11], quint8(0));
        QCOMPARE(reply[12], quint8(0xEE));

        // Data that would run past the image: the whole reply is dropped.
        image.fill(0);
        for (const QByteArray &frame :
             {read_reply(0x7F, QByteArray(4, '\x33')), read_reply(0xF0, QByteArray(40, '\x33'))}) {
            r = receive(frame, reply, image);
            QVERIFY(r.valid && !r.read_reply && !r.stored);
        }
        QCOMPARE(image, RegisterImage{});
        r = receive(read_reply(0x7E, QByteArray(4, '\x33')), reply, image); // exactly fits
        QVERIFY(r.stored);
        QCOMPARE(register_at(image, 0x7F), quint16(0x3333));
        QCOMPARE(register_at(image, 0x7D), quint16(0));
    }

    void requests_on_the_wire_and_across_reconnects()
    {
        connect_dialog(dialog, peer->slavePath());
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(peer->readAtLeast(9, 3000), hex("55 AA 03 22 01 00 28 B1 FF"));
        QVERIFY2(clock.elapsed() >= 70, "the connect itself must not send");

        const QByteArray rest = peer->readAtLeast(6 * 9, 5000);
        QCOMPARE(rest.size(), 6 * 9);
        const int expected[][2] = {{0x14, 40}, {0x28, 40}, {0x3C, 40},
                                   {0x50, 40}, {0x64, 36}, {0x00, 40}};
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(int(quint8(rest.at(9 * i + 5))), expected[i][0]);
            QCOMPARE(int(quint8(rest.at(9 * i + 6))), expected[i][1]);
        }

        // A new connection resumes the cycle where the last one stopped.
        QVERIFY(run_slot(dialog, "comport_disconnect"));
        peer->readFor(300);
        peer->drain();
        connect_dialog(dialog, peer->slavePath());
        const QByteArray resumed = peer->readAtLeast(9, 3000);
        QCOMPARE(resumed.size(), 9);
        QCOMPARE(int(quint8(resumed.at(5))), 0x14);
    }

    void replies_over_the_port()
    {
        connect_dialog(dialog, peer->slavePath());

        // Split over two batches, or two replies in one batch: nothing happens.
        peer->write(STATUS.left(5));
        peer->readFor(150);
        deliver(STATUS.mid(5));
        deliver(STATUS + STATUS);
        QCOMPARE(register_at(bms_registers, 0x69), quint16(0));
        QCOMPARE(label()->text(), QString("BMS IS DISCONNECTED"));
        QVERIFY(debug_log.isEmpty());

        // Another address or command: the link is alive, nothing is stored or logged.
        for (const char *foreign :
             {"55 AA 06 22 01 69 11 22 33 44 C3 FE", "55 AA 06 25 02 69 11 22 33 44 BF FE"}) {
            deliver(hex(foreign));
            QCOMPARE(label()->text(), QString("BMS IS CONNECTED"));
            QCOMPARE(label()->styleSheet(), QString("color: rgb(30, 150, 30)"));
            QCOMPARE(disconnect_timer->interval(), 1000);
            QVERIFY(disconnect_timer->isActive());
            QCOMPARE(register_at(bms_registers, 0x69), quint16(0));
            QVERIFY(debug_log.isEmpty());
        }

        // The status reply in one piece is stored and handed to the upgrade sequencer,
        // whose debug lines show the call.
        deliver(STATUS);
        QCOMPARE(register_at(bms_registers, 0x69), quint16(0x2211));
        QCOMPARE(register_at(bms_registers, 0x6A), quint16(0x4433));
        QCOMPARE(debug_log.value(0), STORED.first());
        QVERIFY(debug_log.value(1).startsWith("Last processed by MCU 17 34 51 68"));
        debug_log.clear();

        // The 44-byte reply for 0x64 also covers 0x69 but is not a status reply.
        deliver(read_reply(0x64, QByteArray(36, '\x07')));
        QCOMPARE(register_at(bms_registers, 0x75), quint16(0x0707));
        QCOMPARE(debug_log, STORED);
        debug_log.clear();

        // No data: logged as a correct reply, nothing stored.
        const RegisterImage before = bms_registers;
        deliver(read_reply(0x00, {}));
        QCOMPARE(debug_log, STORED);
        debug_log.clear();

        // Longer than the image reaches: dropped, and nothing beyond the image touched.
        deliver(read_reply(0x7C, QByteArray(40, '\x09')));
        QVERIFY(bms_registers == before);
        QVERIFY(debug_log.isEmpty());
    }
};

QTEST_MAIN(TestReception)
#include "test_reception.moc"
