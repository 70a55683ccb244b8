// HEX line rules, image loading, the CRC, the upgrade command frames and the
// status-acceptance rule, called directly without a window.

#include "hex_text.h"
#include "link/frame.h"
#include "upgrade/hex_file.h"
#include "upgrade/sequencer.h"
#include "upgrade/upgrade_commands.h"

#include <QtTest>

namespace
{

FirmwareLoader load(const QStringList &lines)
{
    FirmwareLoader loader;
    for (const QString &line : lines)
        loader.add_line(line);
    return loader;
}

QByteArray image_bytes(const FirmwareLoader &loader, int from, int count)
{
    return QByteArray(reinterpret_cast<const char *>(loader.image().data()) + from, count);
}

} // namespace

class TestUpgradeCore : public QObject
{
    Q_OBJECT

private slots:
    void crc_matches_known_values()
    {
        const auto abcd = reinterpret_cast<const quint8 *>("abcd");
        QCOMPARE(crc32_words(0xFFFFFFFFu, abcd, 4), 0xA62F1C36u);
        QCOMPARE(crc32_words(0xFFFFFFFFu, abcd, 3), 0x61FACA29u);
        FirmwareImage erased;
        erased.fill(0xFF);
        QCOMPARE(crc32_words(0xFFFFFFFFu, erased.data(), FIRMWARE_IMAGE_SIZE), 0xC53CC327u);
        // The tail word of one and two bytes sits at the high end: equal to a whole
        // word with zero bytes below it.
        const quint8 one[] = {0x5A};
        const quint8 one_as_word[] = {0, 0, 0, 0x5A};
        QCOMPARE(crc32_words(0x12345678u, one, 1), crc32_words(0x12345678u, one_as_word, 4));
        const quint8 two[] = {0x5A, 0xC3};
        const quint8 two_as_word[] = {0, 0, 0x5A, 0xC3};
        QCOMPARE(crc32_words(0x12345678u, two, 2), crc32_words(0x12345678u, two_as_word, 4));
        QCOMPARE(crc32_words(0x12345678u, one, 0), 0x12345678u);
    }

    void data_line_rule()
    {
        QVERIFY(is_data_line(":10000000FFFF\r\n"));
        QVERIFY(is_data_line(""));                     // type reads as 0
        QVERIFY(is_data_line("\n"));                   // ditto
        QVERIFY(is_data_line(":0200000xA0"));          // "xA" does not convert
        QVERIFY(!is_data_line(":00000001FF"));         // end of file
        QVERIFY(!is_data_line(":020000040800F2"));     // extended linear address
        QVERIFY(!is_data_line(":020000021000EC"));     // extended segment address
        QVERIFY(!is_data_line(":0400000300003800C1")); // start segment address
        QVERIFY(!is_data_line(":04000005000000CD2A")); // start linear address
        QVERIFY(!is_data_line(":020000-1"));           // -1 converts, low bits 0xFF
    }

    void fields_come_from_fixed_positions()
    {
        HexRecord r = parse_data_line(":101230000102030405060708090A0B0C0D0E0F1099\r\n");
        QCOMPARE(r.byte_count, quint16(16));
        QCOMPARE(r.address, quint16(0x1230));
        QCOMPARE(r.data, hex_bytes("0102030405060708090A0B0C0D0E0F10"));

        // Lower case, and the record checksum is never looked at.
        r = parse_data_line(":04abcd00deadbeef00");
        QCOMPARE(r.address, quint16(0xABCD));
        QCOMPARE(r.data, hex_bytes("DEADBEEF"));

        // Bytes past the end of the line, and non-hex fields, read as 0; the count
        // always yields exactly n bytes.
        r = parse_data_line(":0400100011zz");
        QCOMPARE(r.byte_count, quint16(4));
        QCOMPARE(r.address, quint16(0x0010));
        QCOMPARE(r.data, hex_bytes("11000000"));
        r = parse_data_line(":0G00GG00");
        QCOMPARE(r.byte_count, quint16(0));
        QCOMPARE(r.address, quint16(0));

        // The text of a line ends at its first NUL byte.
        QCOMPARE(hex_line_text(QByteArray(":0100\0"
                                          "00",
                                          8)),
                 QString(":0100"));
        QCOMPARE(hex_line_text(QByteArray("\xC3\xA4:\n")), QString::fromUtf8("\xC3\xA4:\n"));
    }

    void loading_fills_the_image()
    {
        const FirmwareLoader loader = load({
            hex_record(4, 0, hex_bytes("0800")),
            hex_record(0, 0x0000, hex_bytes("00112233445566778899AABBCCDDEEFF")),
            hex_record(0, 0x0004, hex_bytes("A1A2")), // later record wins
            hex_record(0, 0xFFFF, hex_bytes("5555")), // counted, not copied
            ":00010000FF",                            // no bytes: counted only
            "\r\n",                                   // empty line: a data line
            ":0200200012abffff",                      // lower case, wrong checksum
            hex_record(0, 0x37FE, hex_bytes("7E7F")), // the last two bytes
            hex_record(1, 0, {}),
        });
        QCOMPARE(loader.problem(), LoadProblem::None);
        QCOMPARE(loader.data_lines(), quint16(7));
        QCOMPARE(image_bytes(loader, 0, 17), hex_bytes("00112233A1A266778899AABBCCDDEEFFFF"));
        QCOMPARE(image_bytes(loader, 0x20, 3), hex_bytes("12ABFF"));
        QCOMPARE(image_bytes(loader, 0x37FD, 3), hex_bytes("FF7E7F"));
        int erased = 0;
        for (quint8 b : loader.image())
            erased += b == 0xFF;
        QCOMPARE(erased, FIRMWARE_IMAGE_SIZE - 20 + 1); // one data byte is 0xFF itself
    }

    void loading_refuses_what_cannot_be_flashed()
    {
        // Reaching past the end of the flash: refused, named by file line, nothing
        // written past the image.
        FirmwareLoader past = load({
            hex_record(4, 0, hex_bytes("0800")),
            hex_record(0, 0x0000, hex_bytes("01")),
            hex_record(0, 0x37F8, QByteArray(16, '\x42')),
            hex_record(0, 0x0001, hex_bytes("02")),
        });
        QCOMPARE(past.problem(), LoadProblem::OutsideImage);
        QCOMPARE(past.problem_line(), 3);
        QCOMPARE(past.problem_record().address, quint16(0x37F8));
        QCOMPARE(past.data_lines(), quint16(3));
        QCOMPARE(image_bytes(past, 0x37F8, 8), QByteArray(8, '\xFF'));

        // More bytes than one write command carries.
        QCOMPARE(load({hex_record(0, 0, QByteArray(245, '\x01'))}).problem(), LoadProblem::None);
        FirmwareLoader long_line = load({"", hex_record(0, 0, QByteArray(246, '\x01'))});
        QCOMPARE(long_line.problem(), LoadProblem::LineTooLong);
        QCOMPARE(long_line.problem_line(), 2);
    }

    void command_frames()
    {
        QCOMPARE(build_erase_command(), hex_bytes("55AA0422FA010101DCFE"));
        QCOMPARE(command_delay_ms(build_erase_command()), 500);

        HexRecord record;
        record.byte_count = 16;
        record.address = 0x1230;
        record.data = hex_bytes("000102030405060708090A0B0C0D0E0F");
        const QByteArray write = build_write_command(record);
        QCOMPARE(write.size(), 26);
        QVERIFY(write.startsWith(hex_bytes("55AA1422FB101230")));
        QCOMPARE(write.mid(8, 16), record.data);
        QCOMPARE(recognise_frame(reinterpret_cast<const quint8 *>(write.constData()), 26),
                 FrameKind::Valid);
        QCOMPARE(command_delay_ms(write), 50);

        const QByteArray crc = build_crc_command(0xC53CC327u);
        QCOMPARE(crc, hex_bytes("55AA0522FD27C33CC5F0FC"));
        QCOMPARE(crc.size(), 11);
        QCOMPARE(command_delay_ms(crc), 500);
    }

    void status_acceptance()
    {
        const QByteArray erase = build_erase_command();
        const quint8 echo[] = {0xFA, 0x01, 0x01, 0x01};
        const quint8 zeros[] = {0, 0, 0, 0};
        const quint8 other[] = {0xFA, 0x01, 0x01, 0x02};
        QVERIFY(status_accepted(echo, erase, UPGRADE_ERASING));
        QVERIFY(!status_accepted(other, erase, UPGRADE_ERASING));
        QVERIFY(!status_accepted(zeros, erase, UPGRADE_ERASING));
        QVERIFY(!status_accepted(zeros, erase, UPGRADE_SENDING_LINES));

        const QByteArray crc = build_crc_command(0x44332211u);
        const quint8 crc_echo[] = {0xFD, 0x11, 0x22, 0x33};
        QVERIFY(status_accepted(crc_echo, crc, UPGRADE_CHECKING_CRC));
        QVERIFY(status_accepted(zeros, crc, UPGRADE_CHECKING_CRC));

        // Bytes past the frame's end compare as 0: before any upgrade the empty
        // frame is "confirmed" by an all-zero status.
        QVERIFY(status_accepted(zeros, QByteArray(), UPGRADE_IDLE));
        QVERIFY(status_accepted(echo, hex_bytes("55AA0422FA010101"), UPGRADE_IDLE));
        QVERIFY(!status_accepted(echo, hex_bytes("55AA0422FA01"), UPGRADE_IDLE));
    }
};

QTEST_GUILESS_MAIN(TestUpgradeCore)
#include "test_upgrade_core.moc"
