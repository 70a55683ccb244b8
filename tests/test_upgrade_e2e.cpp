// The whole upgrade against the simulated BMS process, whose loader erases, writes
// and checks a flash of its own and can be told to lose and delay status replies.

#include "app/program_state.h"
#include "dialog_access.h"
#include "hex_text.h"

#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>

class TestUpgradeE2e : public QObject
{
    Q_OBJECT

private slots:
    void flashes_the_simulator_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<int>("lines");
        QTest::newRow("clean") << QStringList() << 200;
        QTest::newRow("lossy and late status")
            << QStringList{"--drop-status", "0.3", "--late-status", "0.3", "--seed", "5"} << 30;
    }

    void flashes_the_simulator()
    {
        QFETCH(QStringList, faults);
        QFETCH(int, lines);
        reset_program_state();
        QTemporaryDir dir;
        QProcess sim;
        const QString pty =
            start_sim(sim, QStringList{"--flash-dump", dir.filePath("flash")} + faults);
        QVERIFY2(pty.startsWith("/dev/"), qPrintable(pty));
        MyDialogWindow dialog;
        connect_dialog(&dialog, pty);

        const QByteArray file = generated_hex_file(lines, 16, 77);
        QFile hex_file(dir.filePath("fw.hex"));
        QVERIFY(hex_file.open(QIODevice::WriteOnly));
        hex_file.write(file);
        hex_file.close();
        set_text(&dialog, "lineEdit_set_firmware_path", hex_file.fileName());
        click(&dialog, "pushButton_fw_upgrade");

        const auto log = [&] {
            return widget<QPlainTextEdit>(&dialog, "plainTextEdit")->toPlainText().split('\n');
        };
        QTRY_VERIFY_WITH_TIMEOUT(
            upgrade_state == UPGRADE_IDLE &&
                (log().last() == "Firmware update failed" ||
                 log().last() == "New firmware has been successfully flashed."),
            120000);
        const int retries = log().filter("Attempt").size() - log().filter("Attempt 1 of").size();
        const bool flashed = log().last() != "Firmware update failed";
        qInfo("%s after %d retries", flashed ? "flashed" : "failed", retries);
        QVERIFY(flashed || !faults.isEmpty());
        QCOMPARE(retries == 0, faults.isEmpty());
        QVERIFY(bms_registers_request_send_timer->isActive());
        if (flashed) {
            QFile dump(dir.filePath("flash"));
            QVERIFY(dump.open(QIODevice::ReadOnly));
            const QByteArray image(reinterpret_cast<const char *>(firmware_image.data()),
                                   FIRMWARE_IMAGE_SIZE);
            QCOMPARE(dump.readAll(), image);
            // The flash begins with the first data record (after the 17 characters of
            // the extended address record and the 9 of its own header).
            QCOMPARE(image.left(16).toHex().toUpper(), file.mid(17 + 9, 32));
        }
        click(&dialog, "button_disconnect");
        stop_sim(sim);
    }
};

QTEST_MAIN(TestUpgradeE2e)
#include "test_upgrade_e2e.moc"
