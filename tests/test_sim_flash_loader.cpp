// The simulated BMS's firmware loader, driven through the model as the link
// would drive it.

#include "sim/bms_model.h"
#include "upgrade/upgrade_commands.h"

#include <QtTest>

#include <cstring>

namespace
{

QByteArray status_of(BmsModel &model)
{
    QByteArray poll;
    build_read_request(poll, 0x69, 4);
    return model.handle_frame(poll).mid(6, 4);
}

HexRecord record(quint16 address, const QByteArray &data)
{
    HexRecord r;
    r.byte_count = static_cast<quint16>(data.size());
    r.address = address;
    r.data = data;
    return r;
}

} // namespace

class TestSimFlashLoader : public QObject
{
    Q_OBJECT

private slots:
    void carries_out_and_reports_commands()
    {
        BmsModel model;
        const QByteArray write = build_write_command(record(0x0100, "\x01\x02\x03"));
        model.handle_frame(write);
        QCOMPARE(status_of(model), QByteArray::fromHex("FB030100"));
        QCOMPARE(model.flash_loader().flash()[0x101], quint8(0x02));

        model.handle_frame(build_erase_command());
        QCOMPARE(status_of(model), QByteArray::fromHex("FA010101"));
        QCOMPARE(model.flash_loader().flash()[0x101], quint8(0xFF));

        // Past the end of the flash: refused, the status keeps the erase.
        model.handle_frame(build_write_command(record(0x37FF, "\x01\x02")));
        QCOMPARE(status_of(model), QByteArray::fromHex("FA010101"));
        // Address FFFF is taken and dropped.
        model.handle_frame(build_write_command(record(0xFFFF, "\x01\x02")));
        QCOMPARE(status_of(model), QByteArray::fromHex("FB02FFFF"));

        model.handle_frame(build_write_command(record(0x0000, "abcd")));
        FirmwareImage expected;
        expected.fill(0xFF);
        std::memcpy(expected.data(), "abcd", 4);
        const quint32 crc = crc32_words(0xFFFFFFFFu, expected.data(), FIRMWARE_IMAGE_SIZE);
        QCOMPARE(model.flash_loader().flash(), expected);

        model.handle_frame(build_crc_command(crc ^ 1));
        const QByteArray mismatch = status_of(model);
        QVERIFY(mismatch != QByteArray(4, '\0'));
        QVERIFY(mismatch != echo_of(build_crc_command(crc ^ 1)));
        model.handle_frame(build_crc_command(crc));
        QCOMPARE(status_of(model), echo_of(build_crc_command(crc)));
    }

    void injected_faults()
    {
        BmsModel model;
        LoaderFaults faults;
        faults.ignore_first = 2;
        model.flash_loader().configure(faults);
        const QByteArray erase = build_erase_command();
        model.handle_frame(erase);
        model.handle_frame(erase);
        QCOMPARE(status_of(model), QByteArray(4, '\0'));
        model.handle_frame(erase);
        QCOMPARE(status_of(model), QByteArray::fromHex("FA010101"));

        // Late: the first poll after a command still shows the one before.
        faults = LoaderFaults();
        faults.late_status = 1.0;
        model.flash_loader().configure(faults);
        const QByteArray write = build_write_command(record(0x10, "\x55"));
        model.handle_frame(write);
        QCOMPARE(status_of(model), QByteArray::fromHex("FA010101"));
        QCOMPARE(status_of(model), QByteArray::fromHex("FB010010"));

        faults = LoaderFaults();
        faults.drop_status = 1.0;
        model.flash_loader().configure(faults);
        QByteArray poll;
        build_read_request(poll, 0x69, 4);
        QVERIFY(model.handle_frame(poll).isEmpty());
        build_read_request(poll, 0x64, 36); // ordinary polling is untouched
        QCOMPARE(model.handle_frame(poll).size(), 44);

        faults = LoaderFaults();
        faults.no_loader = true;
        model.flash_loader().configure(faults);
        model.handle_frame(build_erase_command());
        QCOMPARE(model.flash_loader().flash()[0x10], quint8(0x55));
    }

private:
    static QByteArray echo_of(const QByteArray &command) { return command.mid(4, 4); }
};

QTEST_GUILESS_MAIN(TestSimFlashLoader)
#include "test_sim_flash_loader.moc"
