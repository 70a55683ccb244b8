// The whole upgrade against the simulated BMS process: its loader erases, writes
// and checks a flash of its own, and can be told to lose commands and status
// replies.

#include "app/program_state.h"
#include "dialog_access.h"
#include "hex_text.h"

#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace
{

const QString FLASHED = QStringLiteral("New firmware has been successfully flashed.");
const QString FAILED = QStringLiteral("Firmware update failed");

} // namespace

class TestUpgradeE2e : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QProcess *sim = nullptr;
    MyDialogWindow *dialog = nullptr;

    QString dump_path() const { return dir.filePath(QStringLiteral("flash.bin")); }

    void start(const QStringList &faults)
    {
        QFile::remove(dump_path());
        sim = new QProcess;
        sim->start(QStringLiteral(BMS_SIM_PATH),
                   QStringList{QStringLiteral("--flash-dump"), dump_path()} + faults);
        QVERIFY(sim->waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(sim->canReadLine(), 10000);
        const QString pty = QString::fromLocal8Bit(sim->readLine()).trimmed();
        dialog = new MyDialogWindow;
        widget<QComboBox>(dialog, "ports_combo_box")->setEditText(pty);
        widget<QPushButton>(dialog, "button_connect")->click();
    }

    QString write_file(const QByteArray &contents)
    {
        const QString path = dir.filePath(QStringLiteral("fw.hex"));
        QFile f(path);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(contents);
        return path;
    }

    QStringList log() const
    {
        return widget<QPlainTextEdit>(dialog, "plainTextEdit")->toPlainText().split('\n');
    }

    void click_flash(const QString &path)
    {
        widget<QLineEdit>(dialog, "lineEdit_set_firmware_path")->setText(path);
        widget<QPushButton>(dialog, "pushButton_fw_upgrade")->click();
    }

    // Runs the upgrade to its end; false if it hangs.
    bool run_to_end(int timeout_ms)
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < timeout_ms) {
            QTest::qWait(20);
            const QString last = log().last();
            if (upgrade_state == UPGRADE_IDLE && (last == FLASHED || last == FAILED))
                return true;
        }
        return false;
    }

    bool flash(const QString &path, int timeout_ms)
    {
        click_flash(path);
        return run_to_end(timeout_ms);
    }

    bool succeeded() const { return log().last() == FLASHED; }

    int retries() const
    {
        int n = 0;
        for (const QString &line : log())
            n += line.contains(QLatin1String("Attempt")) &&
                 !line.endsWith(QLatin1String("Attempt 1 of 10"));
        return n;
    }

    QByteArray flashed() const
    {
        QFile f(dump_path());
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }

    QByteArray image() const
    {
        return QByteArray(reinterpret_cast<const char *>(firmware_image.data()),
                          FIRMWARE_IMAGE_SIZE);
    }

private slots:
    void init() { reset_program_state(); }

    void cleanup()
    {
        delete dialog;
        dialog = nullptr;
        if (sim) {
            sim->closeWriteChannel(); // the simulator ends when its stdin closes
            if (!sim->waitForFinished(5000))
                sim->kill();
            delete sim;
            sim = nullptr;
        }
    }

    void flashes_a_generated_file()
    {
        start({});
        const int lines = 240;
        QVERIFY(flash(write_file(generated_hex_file(lines, 16, 77)), 90000));
        QVERIFY2(succeeded(), qPrintable(log().join('\n')));
        QCOMPARE(retries(), 0);
        QCOMPARE(log().at(0), QStringLiteral("Firmware has been loaded: total 240 hex lines"));
        QCOMPARE(flashed(), image());
        // The first data record (after the 17 characters of the extended address
        // record and the 9 of its own header) is what the flash starts with.
        QCOMPARE(image().left(16).toHex().toUpper(), generated_hex_file(1, 16, 77).mid(17 + 9, 32));
    }

    void lost_commands_are_retried()
    {
        start({QStringLiteral("--ignore-first"), QStringLiteral("1")});
        QVERIFY(flash(write_file(generated_hex_file(12, 32, 3)), 60000));
        QVERIFY2(succeeded(), qPrintable(log().join('\n')));
        QCOMPARE(retries(), 12 + 2); // every command needed a second transmission
        QCOMPARE(flashed(), image());
    }

    void lossy_and_late_status_never_hang()
    {
        start({QStringLiteral("--drop-status"), QStringLiteral("0.3"),
               QStringLiteral("--late-status"), QStringLiteral("0.3"), QStringLiteral("--seed"),
               QStringLiteral("5")});
        QVERIFY(flash(write_file(generated_hex_file(30, 16, 8)), 120000));
        qInfo("%s after %d retries", succeeded() ? "flashed" : "failed", retries());
        if (succeeded()) {
            QVERIFY(retries() > 0);
            QCOMPARE(flashed(), image());
        } else {
            QCOMPARE(log().last(), FAILED);
        }
        QVERIFY(bms_registers_request_send_timer->isActive());
    }

    void loader_that_ignores_everything_fails()
    {
        start({QStringLiteral("--ignore-first"), QStringLiteral("10")});
        QVERIFY(flash(write_file(generated_hex_file(3, 16, 1)), 30000));
        QCOMPARE(log().last(), FAILED);
        QCOMPARE(retries(), 9);
    }

    void file_changed_while_flashing_fails_the_crc_check()
    {
        start({});
        const QString path = write_file(generated_hex_file(4, 16, 21));
        click_flash(path);
        // Rewritten in place before the first line is read for sending.
        write_file(generated_hex_file(4, 16, 22));
        QVERIFY(run_to_end(60000));
        QCOMPARE(log().last(), FAILED);
        QVERIFY(log().contains(QStringLiteral("Checking new firmware CRC. Attempt 10 of 10")));
        QVERIFY(flashed() != image());
    }
};

QTEST_MAIN(TestUpgradeE2e)
#include "test_upgrade_e2e.moc"
