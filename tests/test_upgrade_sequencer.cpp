// The firmware upgrade as the technician runs it: a HEX file named in the window,
// "Flash!", and a BMS on the far end of a real pseudo-terminal whose loader is
// scripted here, frame by frame.

#include "app/program_state.h"
#include "dialog_access.h"
#include "hex_text.h"
#include "pty_peer.h"
#include "upgrade/upgrade_commands.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <optional>

namespace
{

const QByteArray STATUS_POLL = QByteArray::fromHex("55AA03220169046CFF");

struct SeenFrame {
    QByteArray bytes;
    qint64 at_ms;
};

quint8 cmd_of(const QByteArray &frame)
{
    return frame_byte(frame, 4);
}

// The far end: splits what the tool sends into frames and answers status polls
// with whatever `status_for` decides (nothing when it returns no value).
class ScriptedBms
{
public:
    explicit ScriptedBms(PtyPeer &pty) : pty(pty) { clock.start(); }

    // Given the last upgrade command, the one before it and how many status polls
    // have followed the last command's first transmission (1 for the first), returns
    // the status to report.
    std::function<std::optional<QByteArray>(const QByteArray &, const QByteArray &, int)>
        status_for = [](const QByteArray &last, const QByteArray &, int) {
            return std::optional<QByteArray>(echo(last));
        };

    static QByteArray echo(const QByteArray &command)
    {
        QByteArray status;
        for (int i = 4; i < 8; ++i)
            status.append(static_cast<char>(frame_byte(command, i)));
        return status;
    }

    bool run_until(const std::function<bool()> &done, int timeout_ms)
    {
        QElapsedTimer waited;
        waited.start();
        while (!done()) {
            if (waited.elapsed() > timeout_ms)
                return false;
            take(pty.readAtLeast(1, 20));
        }
        return true;
    }

    // A read reply for the status registers, as the loader's BMS sends it.
    void deliver_status(const QByteArray &status)
    {
        QByteArray reply = QByteArray::fromHex("55AA06250169");
        reply.append(status);
        append_checksum(reply);
        pty.write(reply);
    }

    QList<SeenFrame> frames; // everything the tool sent, polling excepted
    QList<SeenFrame> upgrade_commands() const
    {
        QList<SeenFrame> out;
        for (const SeenFrame &f : frames)
            if (f.bytes != STATUS_POLL)
                out.append(f);
        return out;
    }

private:
    void take(const QByteArray &bytes)
    {
        pending.append(bytes);
        while (pending.size() >= 3) {
            const int start = pending.indexOf(QByteArray::fromHex("55AA"));
            if (start < 0) {
                pending.clear();
                return;
            }
            pending.remove(0, start);
            if (pending.size() < 3)
                return;
            const int size = static_cast<quint8>(pending.at(2)) + 6;
            if (pending.size() < size)
                return;
            handle(pending.left(size));
            pending.remove(0, size);
        }
    }

    void handle(const QByteArray &frame)
    {
        const quint8 cmd = cmd_of(frame);
        if (frame == STATUS_POLL) {
            frames.append({frame, clock.elapsed()});
            ++polls;
            if (const auto status = status_for(last, previous, polls))
                deliver_status(*status);
        } else if (cmd == CMD_FLASH_ERASE || cmd == CMD_FLASH_WRITE || cmd == CMD_FLASH_CHECK_CRC) {
            frames.append({frame, clock.elapsed()});
            if (frame != last) { // a retry keeps counting the polls of its command
                previous = last;
                last = frame;
                polls = 0;
            }
        }
        // Register polling is not the loader's business.
    }

    PtyPeer &pty;
    QElapsedTimer clock;
    QByteArray pending;
    QByteArray last;
    QByteArray previous;
    int polls = 0;
};

QString erase_text(int attempt)
{
    return QStringLiteral("Trying to erase flash. Attempt %1 of 10").arg(attempt);
}

QString line_text(int line, int total, int attempt)
{
    return QStringLiteral("Sending hex line %1 of %2. Attempt %3 of 10")
        .arg(line)
        .arg(total)
        .arg(attempt);
}

QString crc_text(int attempt)
{
    return QStringLiteral("Checking new firmware CRC. Attempt %1 of 10").arg(attempt);
}

const QString LOADED = QStringLiteral("Firmware has been loaded: total %1 hex lines");
const QString ERASED = QStringLiteral("Flash has been successfully erased");
const QString SENT = QStringLiteral("New firmware has been successfully sent.");
const QString FLASHED = QStringLiteral("New firmware checksum is OK");
const QString FLASHED_2 = QStringLiteral("New firmware has been successfully flashed.");
const QString FAILED = QStringLiteral("Firmware update failed");

} // namespace

class TestUpgradeSequencer : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    MyDialogWindow *dialog = nullptr;
    PtyPeer *pty = nullptr;
    ScriptedBms *bms = nullptr;

    QString write_file(const QByteArray &contents)
    {
        static int n = 0;
        const QString path = dir.filePath(QStringLiteral("fw%1.hex").arg(++n));
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(contents);
        return path;
    }

    void flash(const QString &path)
    {
        widget<QLineEdit>(dialog, "lineEdit_set_firmware_path")->setText(path);
        widget<QPushButton>(dialog, "pushButton_fw_upgrade")->click();
    }

    QStringList log() const
    {
        const QString text = widget<QPlainTextEdit>(dialog, "plainTextEdit")->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }

    bool finished() const
    {
        const QStringList l = log();
        return upgrade_state == UPGRADE_IDLE && !l.isEmpty() &&
               (l.last() == FAILED || l.last() == FLASHED_2);
    }

    bool polling_resumed() const
    {
        return bms_registers_request_send_timer->isActive() &&
               bms_registers_request_send_timer->interval() == 100;
    }

private slots:
    void init()
    {
        reset_program_state();
        dialog = new MyDialogWindow;
        pty = new PtyPeer;
        QVERIFY(pty->isOpen());
        widget<QComboBox>(dialog, "ports_combo_box")->setEditText(pty->slavePath());
        widget<QPushButton>(dialog, "button_connect")->click();
        bms = new ScriptedBms(*pty);
    }

    void cleanup()
    {
        delete bms;
        delete dialog;
        delete pty;
    }

    void loading_reports_and_refuses()
    {
        auto *path = widget<QLineEdit>(dialog, "lineEdit_set_firmware_path");
        auto *button = widget<QPushButton>(dialog, "pushButton_fw_upgrade");

        // The field still holds its instruction text, then a path that is not there.
        QCOMPARE(path->text(), QStringLiteral("Copy and paste full path to hex, including .hex"));
        button->click();
        flash(dir.filePath(QStringLiteral("missing.hex")));
        QCOMPARE(log(), QStringList({"Firmware load error. File does not exist",
                                     "Firmware load error. File does not exist"}));
        QVERIFY(polling_resumed());
        QCOMPARE(upgrade_state, quint8(UPGRADE_IDLE));

        // Data past the end of the flash: refused by name, nothing sent.
        QByteArray past = generated_hex_file(2, 16, 7);
        past.insert(past.indexOf(":00000001FF"),
                    hex_record(0, 0x37F0, QByteArray(32, '\x11')).toLatin1() + "\r\n");
        flash(write_file(past));
        QCOMPARE(log().last(), QStringLiteral("Firmware load error. Line 4 writes 32 bytes at "
                                              "address 0x37F0, beyond the flash end 0x37FF"));
        QVERIFY(polling_resumed());
        QCOMPARE(firmware_image[0x37FF], quint8(0));
        QVERIFY(bms->upgrade_commands().isEmpty());
        QVERIFY(!bms->run_until([&] { return !bms->frames.isEmpty(); }, 300));

        // A typical file: extended address, 896 data records, end of file.
        flash(write_file(generated_hex_file(896, 16, 1)));
        QCOMPARE(log().mid(3), QStringList({LOADED.arg(896), erase_text(1)}));
        QCOMPARE(hex_lines_total, quint16(896));
        QVERIFY(!bms_registers_request_send_timer->isActive());
        QVERIFY(bms->run_until([&] { return !bms->frames.isEmpty(); }, 3000));
        QCOMPARE(bms->frames.first().bytes, build_erase_command());
    }

    void echoing_bms_flashes_the_file()
    {
        const int lines = 4;
        for (int pass = 0; pass < 2; ++pass)
            for (int i = 0; i < lines; ++i)
                QTest::ignoreMessage(QtDebugMsg,
                                     qPrintable(QStringLiteral("size 16 address %1").arg(16 * i)));
        QTest::ignoreMessage(QtDebugMsg, "Last processed by MCU 250 1 1 1");
        QTest::ignoreMessage(QtDebugMsg, "Last sent from the app 250 1 1 1");

        const QByteArray file = generated_hex_file(lines, 16, 42);
        flash(write_file(file));
        QVERIFY(bms->run_until([&] { return finished(); }, 20000));

        QStringList expected{LOADED.arg(lines), erase_text(1), ERASED};
        for (int i = 1; i <= lines; ++i)
            expected << line_text(i, lines, 1);
        expected << SENT << crc_text(1) << FLASHED << FLASHED_2;
        QCOMPARE(log(), expected);
        QVERIFY(polling_resumed());
        QVERIFY(!firmware_file.isOpen());
        QVERIFY(!upgrade_command_check_timer->isActive());
        QVERIFY(!upgrade_command_retry_timer->isActive());

        // One transmission per command, each followed by one status poll; the
        // writes carry the file's lines, the CRC command the image's CRC.
        const QList<SeenFrame> commands = bms->upgrade_commands();
        QCOMPARE(commands.size(), lines + 2);
        QCOMPARE(bms->frames.size(), 2 * (lines + 2));
        const QList<QByteArray> file_lines = file.split('\n');
        for (int i = 0; i < lines; ++i) {
            const HexRecord record = parse_data_line(QString::fromLatin1(file_lines.at(i + 1)));
            QCOMPARE(commands.at(i + 1).bytes, build_write_command(record));
        }
        QCOMPARE(firmware_crc, crc32_words(0xFFFFFFFFu, firmware_image.data(), 14336));
        QCOMPARE(commands.last().bytes, build_crc_command(firmware_crc));

        // A status reply with no upgrade running changes nothing.
        // The far end keeps reading meanwhile, as a BMS would.
        bms->deliver_status(QByteArray(4, '\0'));
        QVERIFY(bms->run_until([&] { return bms_registers[2 * 0x69] == 0; }, 3000));
        bms->deliver_status(ScriptedBms::echo(commands.last().bytes));
        QVERIFY(bms->run_until([&] { return bms_registers[2 * 0x69] != 0; }, 3000));
        QCOMPARE(log(), expected);
        QCOMPARE(upgrade_state, quint8(UPGRADE_IDLE));
    }

    void silent_bms_fails_after_ten_erases()
    {
        bms->status_for = [](const QByteArray &, const QByteArray &, int) {
            return std::optional<QByteArray>();
        };
        flash(write_file(generated_hex_file(3, 16, 5)));
        QVERIFY(bms->run_until([&] { return finished(); }, 20000));

        QStringList expected{LOADED.arg(3)};
        for (int i = 1; i <= 10; ++i)
            expected << erase_text(i);
        expected << FAILED;
        QCOMPARE(log(), expected);
        QVERIFY(polling_resumed());
        QVERIFY(!firmware_file.isOpen());

        const QList<SeenFrame> erases = bms->upgrade_commands();
        QCOMPARE(erases.size(), 10);
        for (int i = 1; i < erases.size(); ++i) {
            QCOMPARE(erases.at(i).bytes, build_erase_command());
            const qint64 gap = erases.at(i).at_ms - erases.at(i - 1).at_ms;
            QVERIFY2(gap >= 550 && gap <= 1500, qPrintable(QString::number(gap)));
        }
    }

    void last_data_line_goes_straight_to_the_crc_check()
    {
        flash(write_file(generated_hex_file(3, 16, 9, false)));
        QVERIFY(bms->run_until([&] { return finished(); }, 20000));
        QCOMPARE(log(), QStringList({LOADED.arg(3), erase_text(1), ERASED, line_text(1, 3, 1),
                                     line_text(2, 3, 1), line_text(3, 3, 1), SENT, crc_text(1),
                                     FLASHED, FLASHED_2}));
        // The CRC command follows the last write with no status poll between them.
        const QList<SeenFrame> &frames = bms->frames;
        int last_write = -1;
        for (int i = 0; i < frames.size(); ++i)
            if (cmd_of(frames.at(i).bytes) == CMD_FLASH_WRITE)
                last_write = i;
        QVERIFY(last_write > 0);
        QCOMPARE(cmd_of(frames.at(last_write + 1).bytes), CMD_FLASH_CHECK_CRC);
    }

    void file_without_data_goes_from_erase_to_crc()
    {
        flash(write_file(":020000040800F2\r\n:00000001FF\r\n"));
        QVERIFY(bms->run_until([&] { return finished(); }, 20000));
        QCOMPARE(log(), QStringList({LOADED.arg(0), erase_text(1), ERASED, SENT, crc_text(1),
                                     FLASHED, FLASHED_2}));
        QCOMPARE(bms->upgrade_commands().last().bytes, build_crc_command(0xC53CC327u));
        QVERIFY(polling_resumed());
    }

    void zero_status_confirms_only_the_crc_check()
    {
        // The first status after each command is all zeros, later ones echo it.
        bms->status_for = [](const QByteArray &last, const QByteArray &, int poll) {
            return std::optional<QByteArray>(poll == 1 ? QByteArray(4, '\0')
                                                       : ScriptedBms::echo(last));
        };
        flash(write_file(generated_hex_file(2, 16, 11)));
        QVERIFY(bms->run_until([&] { return finished(); }, 20000));
        QCOMPARE(log(), QStringList({LOADED.arg(2), erase_text(1), erase_text(2), ERASED,
                                     line_text(1, 2, 1), line_text(1, 2, 2), line_text(2, 2, 1),
                                     line_text(2, 2, 2), SENT, crc_text(1), FLASHED, FLASHED_2}));
    }

    void late_status_for_the_previous_line_resends()
    {
        // The first poll after line 2 still finds line 1's status.
        bms->status_for = [](const QByteArray &last, const QByteArray &previous, int poll) {
            const bool late =
                poll == 1 && cmd_of(last) == CMD_FLASH_WRITE && cmd_of(previous) == CMD_FLASH_WRITE;
            return std::optional<QByteArray>(ScriptedBms::echo(late ? previous : last));
        };
        flash(write_file(generated_hex_file(3, 16, 13)));
        QVERIFY(bms->run_until([&] { return finished(); }, 20000));
        QCOMPARE(log(), QStringList({LOADED.arg(3), erase_text(1), ERASED, line_text(1, 3, 1),
                                     line_text(2, 3, 1), line_text(2, 3, 2), line_text(3, 3, 1),
                                     line_text(3, 3, 2), SENT, crc_text(1), FLASHED, FLASHED_2}));
        const QList<SeenFrame> commands = bms->upgrade_commands();
        QCOMPARE(commands.size(), 1 + 5 + 1);
        QCOMPARE(commands.at(2).bytes, commands.at(3).bytes); // resent unchanged
    }
};

QTEST_MAIN(TestUpgradeSequencer)
#include "test_upgrade_sequencer.moc"
