// The firmware upgrade as the technician runs it: a HEX file named in the window,
// "Flash!", and a BMS loader on the far end of a real pseudo-terminal, played here
// frame by frame in one of a few ways.

#include "app/program_state.h"
#include "dialog_access.h"
#include "hex_text.h"
#include "pty_peer.h"
#include "upgrade/upgrade_commands.h"

#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>

namespace
{

enum Loader { Echo, Silent, ZerosFirst, LateForWrites };
const QByteArray STATUS_POLL = hex("55 AA 03 22 01 69 04 6C FF");
const QString SENT = "New firmware has been successfully sent.";
const QString FLASHED = "New firmware has been successfully flashed.";
const QString FAILED = "Firmware update failed";

QString attempt(const QString &what, int n)
{
    return QString("%1. Attempt %2 of 10").arg(what).arg(n);
}

QStringList erasing(int attempts)
{
    QStringList out;
    for (int n = 1; n <= attempts; ++n)
        out << attempt("Trying to erase flash", n);
    return out;
}

// The log from loading up to the sending phase; `attempts` per data line.
QStringList until_sent(const QList<int> &attempts, int erases = 1)
{
    QStringList out = {
        QString("Firmware has been loaded: total %1 hex lines").arg(attempts.size())};
    out << erasing(erases) << "Flash has been successfully erased";
    for (int i = 0; i < attempts.size(); ++i)
        for (int n = 1; n <= attempts[i]; ++n)
            out << attempt(QString("Sending hex line %1 of %2").arg(i + 1).arg(attempts.size()), n);
    return out << SENT << attempt("Checking new firmware CRC", 1) << "New firmware checksum is OK"
               << FLASHED;
}

quint8 cmd(const QByteArray &frame)
{
    return frame_byte(frame, 4);
}

} // namespace

class TestUpgradeSequencer : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    MyDialogWindow *dialog = nullptr;
    PtyPeer *pty = nullptr;
    QList<QPair<QByteArray, qint64>> sent; // upgrade commands and when they arrived
    QElapsedTimer clock;
    int files = 0;
    int polls_before_crc = -1; // status polls between the last write and the CRC command

    QStringList log() const
    {
        return widget<QPlainTextEdit>(dialog, "plainTextEdit")->toPlainText().split('\n');
    }

    // Names `contents` (a file written for it, or a path if it is one) and clicks "Flash!".
    void flash(const QByteArray &contents)
    {
        const QString path = dir.filePath(QString("fw%1.hex").arg(++files));
        QFile f(path);
        if (!contents.startsWith('/') && f.open(QIODevice::WriteOnly)) {
            f.write(contents);
            f.close();
        }
        set_text(dialog, "lineEdit_set_firmware_path", contents.startsWith('/') ? contents : path);
        click(dialog, "pushButton_fw_upgrade");
    }

    void reply_status(const QByteArray &status)
    {
        QByteArray reply = hex("55 AA 06 25 01 69") + status;
        append_checksum(reply);
        pty->write(reply);
    }

    // Plays the loader until the upgrade ends or `ms` pass; false if it never ends.
    bool play(Loader loader, int ms)
    {
        QByteArray last, previous;
        int polls = 0;
        const qint64 deadline = clock.elapsed() + ms;
        while (clock.elapsed() < deadline) {
            if (upgrade_state == UPGRADE_IDLE &&
                (log().last() == FLASHED || log().last() == FAILED))
                return true;
            const QByteArray frame = pty->nextFrame(-1, 20);
            if (frame == STATUS_POLL && loader != Silent) {
                const bool late = loader == LateForWrites && polls == 0 &&
                                  cmd(last) == CMD_FLASH_WRITE && cmd(previous) == CMD_FLASH_WRITE;
                reply_status(loader == ZerosFirst && polls == 0
                                 ? QByteArray(4, '\0')
                                 : (late ? previous : last).mid(4, 4));
                ++polls;
            } else if (frame.size() > 4 && cmd(frame) >= CMD_FLASH_ERASE) {
                sent.append({frame, clock.elapsed()});
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

    bool polling_resumed() const
    {
        return bms_registers_request_send_timer->isActive() &&
               bms_registers_request_send_timer->interval() == 100;
    }

private slots:
    void init()
    {
        reset_program_state();
        sent.clear();
        polls_before_crc = -1;
        clock.start();
        dialog = new MyDialogWindow;
        pty = new PtyPeer;
        QVERIFY(pty->isOpen());
        connect_dialog(dialog, pty->slavePath());
    }

    void cleanup()
    {
        delete dialog;
        delete pty;
    }

    void load_errors_send_nothing()
    {
        const QString missing = "Firmware load error. File does not exist";
        click(dialog, "pushButton_fw_upgrade"); // the field still holds its hint text
        flash(dir.filePath("missing.hex").toUtf8());
        QByteArray past = generated_hex_file(2, 16, 7);
        past.insert(past.indexOf(":00000001FF"),
                    hex_record(0, 0x37F0, QByteArray(32, '\x11')).toLatin1() + "\r\n");
        flash(past);
        const QStringList expected = {missing, missing,
                                      "Firmware load error. Line 4 writes 32 bytes at address "
                                      "0x37F0, beyond the flash end 0x37FF"};
        QCOMPARE(log(), expected);
        QVERIFY(polling_resumed());
        // Nor does a status reply while idle count as a confirmation of anything.
        reply_status(QByteArray(4, '\0'));
        QVERIFY(!play(Echo, 600));
        QVERIFY(sent.isEmpty());
        QCOMPARE(log(), expected);
    }

    void flashing_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("loader");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("echo") << generated_hex_file(4, 16, 42) << int(Echo)
                              << until_sent({1, 1, 1, 1});
        QTest::newRow("ends in a data line")
            << generated_hex_file(3, 16, 9, false) << int(Echo) << until_sent({1, 1, 1});
        QTest::newRow("no data lines")
            << QByteArray(":020000040800F2\r\n:00000001FF\r\n") << int(Echo) << until_sent({});
        QTest::newRow("zeros confirm only the CRC")
            << generated_hex_file(2, 16, 11) << int(ZerosFirst) << until_sent({2, 2}, 2);
        QTest::newRow("late status for the previous line")
            << generated_hex_file(3, 16, 13) << int(LateForWrites) << until_sent({1, 2, 2});
        QTest::newRow("never answers")
            << generated_hex_file(3, 16, 5) << int(Silent)
            << QStringList{"Firmware has been loaded: total 3 hex lines"} + erasing(10) +
                   QStringList{FAILED};
    }

    void flashing()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, loader);
        QFETCH(QStringList, expected);
        flash(file);
        QVERIFY(!bms_registers_request_send_timer->isActive());
        QVERIFY(play(Loader(loader), 30000));
        QCOMPARE(log(), expected);
        QVERIFY(polling_resumed());
        QVERIFY(!firmware_file.isOpen());
        QVERIFY(!upgrade_command_check_timer->isActive() &&
                !upgrade_command_retry_timer->isActive());

        // One transmission per logged attempt; resends are the same bytes, so without
        // repeats the commands are the erase, the file's data lines, the image's CRC.
        QCOMPARE(sent.size(), expected.filter("Attempt").size());
        QByteArrayList commands;
        for (int i = 0; i < sent.size(); ++i) {
            const qint64 gap = i ? sent[i].second - sent[i - 1].second : 0;
            if (commands.isEmpty() || commands.last() != sent[i].first)
                commands << sent[i].first;
            else if (cmd(sent[i].first) == CMD_FLASH_ERASE) // 500 ms, then up to 100 for a reply
                QVERIFY2(gap >= 450 && gap <= 1500, qPrintable(QString::number(gap)));
        }
        QByteArrayList wanted = {build_erase_command()};
        for (const QByteArray &line : file.split('\n')) {
            const QByteArray record = QByteArray::fromHex(line.mid(1));
            if (record.size() > 4 && record.at(3) == 0) // count, address, data as in the file
                wanted << hex("55 AA") + char(record.at(0) + 4) + hex("22 FB") + record.left(3) +
                              record.mid(4, record.at(0));
        }
        if (loader == Silent)
            wanted = wanted.mid(0, 1);
        else
            wanted << build_crc_command(crc32_words(0xFFFFFFFFu, firmware_image.data(), 14336));
        QCOMPARE(commands.size(), wanted.size());
        for (int i = 0; i < wanted.size(); ++i)
            QVERIFY2(commands[i].startsWith(wanted[i]), qPrintable(QString::number(i)));

        // A file that ends in a data line goes to the CRC check without polling the
        // last line's status; otherwise the end-of-file line is read after it.
        if (wanted.size() > 2 && loader != Silent)
            QCOMPARE(polls_before_crc == 0, !file.contains(":00000001FF"));
    }
};

QTEST_MAIN(TestUpgradeSequencer)
#include "test_upgrade_sequencer.moc"
