// The simulated BMS without its terminal: what it answers and what it accepts.

#include "dialog_access.h"

#include "link/reception.h"
#include "monitor/register_map.h"
#include "sim/bms_model.h"
#include "upgrade/upgrade_commands.h"

const QByteArray STATUS_POLL = hex("55 AA 03 22 01 69 04 6C FF");

class TestSimModel : public QObject
{
    Q_OBJECT

private slots:
    void answers_read_requests()
    {
        BmsModel model;
        const QByteArray reply = model.handle_frame(hex("55 AA 03 22 01 64 24 51 FF"));
        QCOMPARE(reply.size(), 44);
        QCOMPARE(reply.left(6), hex("55 AA 26 25 01 64"));
        // What the tool makes of it: every register as the model holds it.
        RegisterImage buffer{}, image{};
        QVERIFY(receive_batch(quint8(reply.size()), reply, buffer, image).stored);
        for (int r = 0x64; r <= 0x75; ++r)
            QCOMPARE(register_at(image, r), model.reg(r));
    }

    void writes_change_registers_and_bad_frames_are_ignored()
    {
        BmsModel model;
        const QByteArray write_4200 = hex("55 AA 07 22 FE 5A 02 68 10 04 FE 02 FD");
        QVERIFY(model.handle_frame(write_4200).isEmpty());
        QCOMPARE(model.reg(REG_OVERVOLTAGE_VOLTAGE), quint16(4200));

        // A bad frame checksum, or a frame meant for the tool: ignored.
        QByteArray write_4300, bad;
        build_write_frame(write_4300, REG_OVERVOLTAGE_VOLTAGE, register_words({4300}));
        bad = write_4300;
        bad[8] = 0x11;
        model.handle_frame(bad);
        bad = write_4300;
        bad[3] = char(ADDR_FROM_BMS);
        bad[11] = char(bad.at(11) + ADDR_TO_BMS - ADDR_FROM_BMS);
        model.handle_frame(bad);
        QCOMPARE(model.reg(REG_OVERVOLTAGE_VOLTAGE), quint16(4200));
    }

    void stream_is_cut_into_frames()
    {
        const QByteArray a = hex("55 AA 03 22 01 00 28 B1 FF");
        const QByteArray b = hex("55 AA 03 22 01 14 28 9D FF");
        FrameAssembler assembler;
        assembler.feed(hex("00 FF 55") + a.left(4));
        QByteArray frame;
        QVERIFY(!assembler.next_frame(frame));
        assembler.feed(a.mid(4) + b.left(8) + hex("00 55 AA") + b);
        QVERIFY(assembler.next_frame(frame));
        QCOMPARE(frame, a);
        // The stray 55 AA makes 0x55 look like a length; giving up on it frees b.
        QVERIFY(!assembler.next_frame(frame));
        assembler.skip_head();
        QVERIFY(assembler.next_frame(frame));
        QCOMPARE(frame, b);
        QVERIFY(!assembler.has_partial());
    }

    // What the end-to-end upgrade does not reach: refused writes, a wrong CRC, lost
    // commands and late status.
    void flash_loader()
    {
        BmsModel model;
        const auto status = [&model] { return model.handle_frame(STATUS_POLL).mid(6, 4); };
        const auto write = [](quint16 address, const QByteArray &data) {
            return build_write_command({quint16(data.size()), address, data});
        };
        model.handle_frame(write(0x0100, "abcd"));
        model.handle_frame(build_erase_command());
        QCOMPARE(status(), hex("FA 01 01 01"));
        model.handle_frame(write(0x37FF, "\x01\x02")); // past the end: refused
        QCOMPARE(status(), hex("FA 01 01 01"));
        model.handle_frame(write(0xFFFF, "\x01\x02")); // taken and dropped
        QCOMPARE(status(), hex("FB 02 FF FF"));
        model.handle_frame(write(0x0000, "abcd"));
        FirmwareImage expected;
        expected.fill(0xFF);
        std::copy_n("abcd", 4, expected.begin());
        QCOMPARE(model.flash_loader().flash(), expected);
        const quint32 crc = crc32_words(0xFFFFFFFFu, expected.data(), FIRMWARE_IMAGE_SIZE);
        model.handle_frame(build_crc_command(crc ^ 1));
        QVERIFY(status() != QByteArray(4, '\0') &&
                status() != build_crc_command(crc ^ 1).mid(4, 4));
        model.handle_frame(build_crc_command(crc));
        QCOMPARE(status(), build_crc_command(crc).mid(4, 4));

        LoaderFaults faults;
        faults.ignore_first = 1;
        faults.late_status = 1.0;
        model.flash_loader().configure(faults);
        model.handle_frame(build_erase_command()); // lost
        QCOMPARE(model.flash_loader().flash(), expected);
        for (int i = 0; i < 2; ++i) // the first is lost
            model.handle_frame(write(0x0010, "\x55"));
        QCOMPARE(status(), build_crc_command(crc).mid(4, 4)); // still the one before
        QCOMPARE(status(), hex("FB 01 00 10"));
    }
};

QTEST_APPLESS_MAIN(TestSimModel)
#include "test_sim_model.moc"
