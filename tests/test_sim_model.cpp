// The simulated BMS without its terminal: what it answers and what it accepts.

#include "link/frame.h"
#include "link/reception.h"
#include "monitor/register_map.h"
#include "sim/bms_model.h"

#include <QtTest>

class TestSimModel : public QObject
{
    Q_OBJECT

private slots:
    void answers_read_requests()
    {
        BmsModel model;
        QByteArray request;
        build_read_request(request, 0x64, 36);
        const QByteArray reply = model.handle_frame(request);
        QCOMPARE(reply.size(), 44);
        QCOMPARE(reply.left(6), QByteArray::fromHex("55AA26250164"));

        // What the tool would make of it: every register as the model holds it.
        RegisterImage buffer{};
        RegisterImage image{};
        const ReceptionResult got =
            receive_batch(static_cast<quint8>(reply.size()), reply, buffer, image);
        QVERIFY(got.stored);
        for (int r = 0x64; r <= 0x75; ++r)
            QCOMPARE(int(image[2 * r] | image[2 * r + 1] << 8), int(model.reg(r)));

        // A plausible pack out of the box.
        for (int k = 0; k < CELL_COUNT; ++k) {
            const int mv = model.reg(REG_CELL_VOLTAGES + k);
            QVERIFY2(mv >= 3600 && mv <= 4100, qPrintable(QString::number(mv)));
        }
        QVERIFY(model.reg(REG_DISCHARGE_OVERCURRENT) < 16);
        QCOMPARE(model.reg(REG_LAST_PROCESSED_COMMAND), quint16(0));

        // Registers past 0x7F read as zero.
        build_read_request(request, 0x7E, 40);
        QCOMPARE(model.handle_frame(request).size(), 48);
    }

    void writes_change_registers()
    {
        BmsModel model;
        QByteArray frame;
        build_write_frame(frame, REG_OVERVOLTAGE_VOLTAGE, register_words({4250}));
        QVERIFY(model.handle_frame(frame).isEmpty());
        QCOMPARE(model.reg(REG_OVERVOLTAGE_VOLTAGE), quint16(4250));

        build_write_frame(frame, REG_SERIAL_NUMBER, QByteArray("NEWSERIAL00001"));
        model.handle_frame(frame);
        QCOMPARE(model.reg(REG_SERIAL_NUMBER), quint16('N' | 'E' << 8));
        QCOMPARE(model.reg(REG_SERIAL_NUMBER + 6), quint16('0' | '1' << 8));

        // A bad frame checksum, a bad write checksum, a LEN that disagrees with n,
        // or a frame meant for the tool: all ignored.
        build_write_frame(frame, REG_OVERVOLTAGE_VOLTAGE, register_words({4300}));
        QByteArray bad = frame;
        bad[12] = static_cast<char>(bad.at(12) ^ 1);
        model.handle_frame(bad);
        bad = frame;
        bad[9] = static_cast<char>(bad.at(9) + 1);
        bad[11] = static_cast<char>(bad.at(11) - 1); // frame sum still right
        model.handle_frame(bad);
        bad = frame;
        bad[3] = static_cast<char>(ADDR_FROM_BMS);
        bad[11] = static_cast<char>(bad.at(11) - 3);
        model.handle_frame(bad);
        QCOMPARE(model.reg(REG_OVERVOLTAGE_VOLTAGE), quint16(4250));

        // A written discharge curve and capacity steer the pack.
        build_write_frame(
            frame, REG_DSG_CURVE,
            register_words({3300, 3300, 3300, 3300, 3300, 3300, 3300, 3300, 3300, 3300, 3300}));
        model.handle_frame(frame);
        model.advance(100);
        QVERIFY(qAbs(model.reg(REG_CELL_VOLTAGES) - 3300) < 80);
    }

    void pack_moves_over_time()
    {
        BmsModel model(7);
        const quint16 mah = model.reg(REG_REMAIN_BATTERY_CAPACITY_MAH);
        QVERIFY(model.reg(REG_STATUS_FLAGS) & STATUS_CHARGING); // starts on the charger
        QVERIFY(model.reg(REG_BALANCING_CELLS) != 0);
        QVERIFY(model.reg(REG_BALANCING_CELLS) < 0x0400);
        for (int i = 0; i < 600; ++i) // one minute: off the charger and riding
            model.advance(100);
        QVERIFY(static_cast<qint16>(model.reg(REG_BATTERY_CURRENT)) < 0);
        QCOMPARE(model.reg(REG_BALANCING_CELLS), quint16(0));
        QVERIFY(model.reg(REG_REMAIN_BATTERY_CAPACITY_MAH) != mah);
        int sum = 0;
        for (int k = 0; k < CELL_COUNT; ++k)
            sum += model.reg(REG_CELL_VOLTAGES + k);
        QVERIFY(qAbs(model.reg(REG_BATTERY_VOLTAGE) * 10 - sum) < 10);
    }

    void upgrade_commands_reach_the_loader()
    {
        BmsModel model;
        QByteArray erase = QByteArray::fromHex("55AA0422FA010101");
        append_checksum(erase);
        QVERIFY(model.handle_frame(erase).isEmpty());
        QByteArray poll;
        build_read_request(poll, 0x69, 4);
        QCOMPARE(model.handle_frame(poll).mid(6, 4), QByteArray::fromHex("FA010101"));
    }

    void stream_is_cut_into_frames()
    {
        QByteArray a;
        QByteArray b;
        build_read_request(a, 0x00, 40);
        build_read_request(b, 0x14, 40);
        QByteArray broken = b;
        broken[8] = 0;
        FrameAssembler assembler;
        assembler.feed(QByteArray::fromHex("00FF55") + a.left(4));
        QByteArray frame;
        QVERIFY(!assembler.next_frame(frame));
        assembler.feed(a.mid(4) + broken + QByteArray::fromHex("55AA") + b);
        QVERIFY(assembler.next_frame(frame));
        QCOMPARE(frame, a);
        // The stray 55 AA makes 0x55 look like a length; giving up on it frees b.
        QVERIFY(!assembler.next_frame(frame));
        assembler.skip_head();
        QVERIFY(assembler.next_frame(frame));
        QCOMPARE(frame, b);
        QVERIFY(!assembler.next_frame(frame));
        QVERIFY(!assembler.has_partial());
    }
};

QTEST_APPLESS_MAIN(TestSimModel)
#include "test_sim_model.moc"
