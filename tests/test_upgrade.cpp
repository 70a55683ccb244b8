// The firmware upgrade: the engine against a loader played frame by frame on a real
// pseudo-terminal, the window's log and its Flash! button, and a whole upgrade of
// the simulated BMS through the window.

#include "bms_link.h"
#include "hex_text.h"
#include "mydialogwindow.h"
#include "pty_peer.h"
#include "upgrade_engine.h"
#include "window_access.h"

#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

enum Loader { Echo, Silent, ZerosFirst, LateForWrites };

// The loader played here answers at once: the command delays only need to keep
// their order (erase and CRC check longer than a line). The reply window stays
// as it is, wide enough for a loaded machine.
UpgradeTiming short_timing()
{
    UpgradeTiming t;
    t.erase_delay_ms = 20;
    t.write_delay_ms = 5;
    t.crc_delay_ms = 20;
    return t;
}
const UpgradeTiming SHORT = short_timing();
const QByteArray STATUS_POLL = hex("55 AA 03 22 01 69 04 6C FF");

quint8 cmd(const QByteArray &frame)
{
    return frame_byte(frame, 4);
}

QByteArray status_reply(const QByteArray &status)
{
    QByteArray reply = build_frame(CMD_READ_REGISTERS, 0x69, status);
    reply[3] = static_cast<char>(ADDR_FROM_BMS);
    reply.chop(2);
    const quint32 sum = frame_checksum(reinterpret_cast<const quint8 *>(reply.constData()),
                                       static_cast<quint8>(reply.size()));
    return reply + char(sum & 0xFF) + char(sum >> 8);
}

FirmwareLoader load(const QByteArray &text)
{
    FirmwareLoader loader;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i)
        if (i + 1 < lines.size() || !lines[i].isEmpty())
            loader.add_line(QString::fromLatin1(lines[i] + (i + 1 < lines.size() ? "\n" : "")));
    loader.end_of_file();
    return loader;
}

// The BMS's loader, played on the far side of the terminal: answers each status
// poll with the command it names, until `done` says the upgrade is over.
struct Player {
    PtyPeer &pty;
    QList<QByteArray> commands; // every transmission of an upgrade command
    int polls_before_crc = -1;  // status polls between the last write and the CRC
    QByteArray last, previous;
    int polls = 0;

    bool play(Loader loader, const std::function<bool()> &done, int ms = 30000)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms) {
            if (done())
                return true;
            const QByteArray frame = pty.nextFrame(-1, 20);
            if (frame == STATUS_POLL && loader != Silent) {
                const bool late = loader == LateForWrites && polls == 0 &&
                                  cmd(last) == CMD_FLASH_WRITE && cmd(previous) == CMD_FLASH_WRITE;
                pty.write(status_reply(loader == ZerosFirst && polls == 0
                                           ? QByteArray(4, '\0')
                                           : (late ? previous : last).mid(4, 4)));
                ++polls;
            } else if (frame.size() > 4 && cmd(frame) >= CMD_FLASH_ERASE) {
                commands << frame;
                if (cmd(frame) == CMD_FLASH_CHECK_CRC && cmd(last) == CMD_FLASH_WRITE)
                    polls_before_crc = polls;
                if (frame != last) { // a resend keeps counting the polls of its command
                    previous = last;
                    last = frame;
                    polls = 0;
                }
            }
        }
        return false;
    }
};

} // namespace

class TestUpgrade : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    QString write_file(const QByteArray &contents)
    {
        static int files = 0;
        QFile f(dir.filePath(QString("fw%1.hex").arg(++files)));
        if (f.open(QIODevice::WriteOnly))
            f.write(contents);
        return f.fileName();
    }

private slots:
    void engine_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("loader");
        QTest::addColumn<QString>("expected"); // E erase, L line, C CRC: attempt numbers
        QTest::newRow("echo") << generated_hex_file(4, 16, 42) << int(Echo)
                              << "E1 erased L1/4:1 L2/4:1 L3/4:1 L4/4:1 sent C1 succeeded";
        QTest::newRow("ends in a data line") << generated_hex_file(2, 16, 9, false) << int(Echo)
                                             << "E1 erased L1/2:1 L2/2:1 sent C1 succeeded";
        QTest::newRow("no data lines") << QByteArray(":020000040800F2\r\n:00000001FF\r\n")
                                       << int(Echo) << "E1 erased sent C1 succeeded";
        QTest::newRow("zeros confirm only the CRC")
            << generated_hex_file(1, 16, 11) << int(ZerosFirst)
            << "E1 E2 erased L1/1:1 L1/1:2 sent C1 succeeded";
        QTest::newRow("late status for the previous line")
            << generated_hex_file(3, 16, 13) << int(LateForWrites)
            << "E1 erased L1/3:1 L2/3:1 L2/3:2 L3/3:1 L3/3:2 sent C1 succeeded";
        QTest::newRow("never answers") << generated_hex_file(1, 16, 5) << int(Silent)
                                       << "E1 E2 E3 E4 E5 E6 E7 E8 E9 E10 failed";
    }

    void engine()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, loader);
        QFETCH(QString, expected);
        PtyPeer pty;
        BmsLink link;
        QVERIFY(link.open(pty.slavePath()));
        UpgradeEngine upgrade(&link);
        UpgradeTiming timing = SHORT;
        if (loader == Silent) { // nothing answers, so no reply can miss a short window
            timing.erase_delay_ms = 1;
            timing.reply_window_ms = 10;
        }
        upgrade.setTiming(timing);
        QStringList events;
        connect(&upgrade, &UpgradeEngine::transmitting, this,
                [&](UpgradePhase phase, quint16 line, quint16 total, int attempt) {
                    const char *name = phase == UpgradePhase::Erasing        ? "E"
                                       : phase == UpgradePhase::SendingLines ? "L"
                                                                             : "C";
                    events << (phase == UpgradePhase::SendingLines
                                   ? QString("L%1/%2:%3").arg(line).arg(total).arg(attempt)
                                   : name + QString::number(attempt));
                });
        connect(&upgrade, &UpgradeEngine::erased, this, [&] { events << "erased"; });
        connect(&upgrade, &UpgradeEngine::allLinesSent, this, [&] { events << "sent"; });
        connect(&upgrade, &UpgradeEngine::finished, this, [&](UpgradeOutcome outcome) {
            events << (outcome == UpgradeOutcome::Succeeded ? "succeeded" : "failed");
        });

        const FirmwareLoader firmware = load(file);
        upgrade.start(firmware);
        Player player{pty, {}, -1, {}, {}, 0};
        QVERIFY(player.play(Loader(loader), [&] { return upgrade.phase() == UpgradePhase::Idle; }));
        QCOMPARE(events.join(' '), expected);
        QVERIFY(!upgrade.checkTimer()->isActive() && !upgrade.retryTimer()->isActive());

        // One transmission per announced attempt; resends are the same bytes, and the
        // commands are the erase, the file's data records in order, the image's CRC.
        QCOMPARE(player.commands.size(), events.filter(QRegularExpression("^[ELC]")).size());
        QByteArrayList wanted = {build_erase_command()};
        for (const HexRecord &record : firmware.records())
            wanted << build_write_command(record);
        if (loader == Silent)
            wanted = wanted.mid(0, 1);
        else
            wanted << build_crc_command(
                crc32_words(0xFFFFFFFFu, firmware.image().data(), FIRMWARE_IMAGE_SIZE));
        player.commands.erase(std::unique(player.commands.begin(), player.commands.end()),
                              player.commands.end());
        QCOMPARE(player.commands, wanted);
        // A file that ends in a data line goes to the CRC check without polling the
        // last line's status.
        if (wanted.size() > 2 && loader == Echo)
            QCOMPARE(player.polls_before_crc == 0, firmware.last_line_is_data());
    }

    void window_log_and_flash_button()
    {
        PtyPeer pty;
        MyDialogWindow window;
        window.findChild<UpgradeEngine *>()->setTiming(SHORT); // the log is checked, not the pace
        connect_window(&window, pty.slavePath());
        const auto log = [&] {
            return widget<QPlainTextEdit>(&window, "plainTextEdit")->toPlainText().split('\n');
        };
        const auto flash = [&](const QString &path) {
            set_text(&window, "lineEdit_set_firmware_path", path);
            click(&window, "pushButton_fw_upgrade");
        };
        // Load errors send nothing and keep polling.
        click(&window, "pushButton_fw_upgrade"); // the field still holds its hint text
        flash(dir.filePath("missing.hex"));
        QByteArray past = generated_hex_file(2, 16, 7);
        past.insert(past.indexOf(":00000001FF"),
                    hex_record(0, 0x37F0, QByteArray(32, '\x11')).toLatin1() + "\r\n");
        flash(write_file(past));
        const QString missing = "Firmware load error. File does not exist";
        QCOMPARE(log(), (QStringList{missing, missing,
                                     "Firmware load error. Line 4 writes 32 bytes at address "
                                     "0x37F0, beyond the flash end 0x37FF"}));
        QVERIFY(timer(&window, "bms_registers_request_send_timer")->isActive());

        // A mistyped path clicked in the middle of an upgrade leaves it running.
        widget<QPlainTextEdit>(&window, "plainTextEdit")->clear();
        const QByteArray file = generated_hex_file(8, 16, 3);
        flash(write_file(file));
        QVERIFY(!timer(&window, "bms_registers_request_send_timer")->isActive());
        Player player{pty, {}, -1, {}, {}, 0};
        const auto finished = [&] {
            return log().last() == "New firmware has been successfully flashed." ||
                   log().last() == "Firmware update failed";
        };
        QVERIFY(player.play(
            Echo, [&] { return log().size() > 6; }, 10000));
        flash(dir.filePath("mistyped.hex"));
        QVERIFY(player.play(Echo, finished));
        QStringList expected = {"Firmware has been loaded: total 8 hex lines",
                                "Trying to erase flash. Attempt 1 of 10",
                                "Flash has been successfully erased"};
        for (int line = 1; line <= 8; ++line) {
            expected << QString("Sending hex line %1 of 8. Attempt 1 of 10").arg(line);
            if (line == 4) // where the click came
                expected << missing;
        }
        expected << "New firmware has been successfully sent."
                 << "Checking new firmware CRC. Attempt 1 of 10"
                 << "New firmware checksum is OK"
                 << "New firmware has been successfully flashed.";
        QCOMPARE(log(), expected);
        QVERIFY(timer(&window, "bms_registers_request_send_timer")->isActive());
        click(&window, "button_disconnect");
    }

    // The simulated BMS through the window: live values, a setting written and read
    // back, and a whole upgrade whose flash is then compared with the file.
    void against_the_simulator()
    {
        QProcess sim;
        const QString pty = start_sim(sim, {"--flash-dump", dir.filePath("flash")});
        QVERIFY2(pty.startsWith("/dev/"), qPrintable(pty));
        MyDialogWindow window;
        // What the window shows is checked here, not the pace of its polling and refresh.
        connect_window(&window, pty);
        poll_fast(&window);
        QTRY_COMPARE_WITH_TIMEOUT(
            (refresh_soon(&window), text_of(&window, "lineEdit_serial_number")),
            QString("SIM10S-0000042"), 10000);
        QTRY_COMPARE_WITH_TIMEOUT((refresh_soon(&window), text_of(&window, "lineEdit_bms_serial")),
                                  QString("0A3F001751334B5220383147"), 10000);
        set_text(&window, "lineEdit_set_capacity", "12400");
        click(&window, "pushButton_set_capacity");
        poll_fast(&window);
        QTRY_COMPARE_WITH_TIMEOUT(
            (refresh_soon(&window), text_of(&window, "lineEdit_battery_capacity")),
            QString("12400"), 10000);

        // What is checked here is the flash's content, not the pace.
        window.findChild<UpgradeEngine *>()->setTiming(SHORT);
        const QByteArray file = generated_hex_file(20, 16, 77);
        set_text(&window, "lineEdit_set_firmware_path", write_file(file));
        click(&window, "pushButton_fw_upgrade");
        auto *log = widget<QPlainTextEdit>(&window, "plainTextEdit");
        QVERIFY(wait_until(
            [log] {
                return log->toPlainText().endsWith("New firmware has been successfully flashed.") ||
                       log->toPlainText().endsWith("Firmware update failed");
            },
            30000));
        QVERIFY(log->toPlainText().endsWith("flashed."));
        QFile dump(dir.filePath("flash"));
        QVERIFY(dump.open(QIODevice::ReadOnly));
        const FirmwareLoader firmware = load(file);
        QCOMPARE(dump.readAll(), QByteArray(reinterpret_cast<const char *>(firmware.image().data()),
                                            FIRMWARE_IMAGE_SIZE));
        click(&window, "button_disconnect");
        stop_sim(sim);
    }
};

QTEST_MAIN(TestUpgrade)
#include "test_upgrade.moc"
