// The CRC, image loading and the upgrade command frames, called without a window.

#include "dialog_access.h"
#include "hex_text.h"
#include "link/frame.h"
#include "upgrade/upgrade_commands.h"

#include <QtTest>

class TestUpgradeCore : public QObject
{
    Q_OBJECT

private slots:
    void crc_and_command_frames()
    {
        const auto abcd = reinterpret_cast<const quint8 *>("abcd");
        QCOMPARE(crc32_words(0xFFFFFFFFu, abcd, 4), 0xA62F1C36u);
        QCOMPARE(crc32_words(0xFFFFFFFFu, abcd, 3), 0x61FACA29u); // tail at the word's high end
        FirmwareImage erased;
        erased.fill(0xFF);
        QCOMPARE(crc32_words(0xFFFFFFFFu, erased.data(), FIRMWARE_IMAGE_SIZE), 0xC53CC327u);

        QCOMPARE(build_erase_command(), hex("55AA0422FA010101DCFE"));
        QCOMPARE(build_crc_command(0xC53CC327u), hex("55AA0522FD27C33CC5F0FC"));
        const QByteArray write =
            build_write_command(parse_data_line(":101230000102030405060708090A0B0C0D0E0F1099"));
        QCOMPARE(write.size(), 26);
        QCOMPARE(write.left(24), hex("55AA1422FB1012300102030405060708090A0B0C0D0E0F10"));
        QCOMPARE(recognise_frame(reinterpret_cast<const quint8 *>(write.constData()), 26),
                 FrameKind::Valid);
        QCOMPARE(command_delay_ms(write), 50);
        QCOMPARE(command_delay_ms(build_erase_command()) + command_delay_ms(build_crc_command(0)),
                 1000);
    }

    void loading_fills_the_image()
    {
        FirmwareLoader loader;
        for (const QString &line : {
                 hex_record(4, 0, hex("0800")),
                 hex_record(2, 0, hex("1000")), // address records are not data
                 hex_record(0, 0x0000, hex("00112233445566778899AABBCCDDEEFF")),
                 hex_record(0, 0x0004, hex("A1A2")), // later record wins
                 hex_record(0, 0xFFFF, hex("5555")), // counted, not copied
                 QString(":00010000FF"),             // no bytes: counted only
                 QString("\r\n"),                    // empty line: a data line
                 QString(":0200200012abffff"),       // lower case, wrong checksum
                 hex_record(0, 0x37FE, hex("7E7F")), // the last two bytes
                 hex_record(5, 0, hex("00000000")),
                 hex_record(1, 0, {}),
             })
            loader.add_line(line);
        QCOMPARE(loader.problem(), LoadProblem::None);
        QCOMPARE(loader.data_lines(), quint16(7));
        const QByteArray image(reinterpret_cast<const char *>(loader.image().data()),
                               FIRMWARE_IMAGE_SIZE);
        QCOMPARE(image.left(17), hex("00112233A1A266778899AABBCCDDEEFFFF"));
        QCOMPARE(image.mid(0x20, 3), hex("12ABFF"));
        QCOMPARE(image.right(3), hex("FF7E7F"));
        QCOMPARE(image.count('\xFF'), FIRMWARE_IMAGE_SIZE - 20 + 1); // one data byte is FF

        // Past the end of the flash, or more than a write command carries: refused,
        // named by file line, nothing written past the image.
        FirmwareLoader past;
        for (const QString &line : {hex_record(4, 0, hex("0800")), hex_record(0, 0, "\x01"),
                                    hex_record(0, 0x37F8, QByteArray(16, '\x42'))})
            past.add_line(line);
        QCOMPARE(past.problem(), LoadProblem::OutsideImage);
        QCOMPARE(past.problem_line(), 3);
        QCOMPARE(past.image()[0x37F8], quint8(0xFF));
        for (int bytes : {245, 246}) {
            FirmwareLoader long_line;
            long_line.add_line("");
            long_line.add_line(hex_record(0, 0, QByteArray(bytes, '\x01')));
            QCOMPARE(long_line.problem(),
                     bytes == 245 ? LoadProblem::None : LoadProblem::LineTooLong);
            QCOMPARE(long_line.problem_line(), bytes == 245 ? 0 : 2);
        }
    }
};

QTEST_GUILESS_MAIN(TestUpgradeCore)
#include "test_upgrade_core.moc"
