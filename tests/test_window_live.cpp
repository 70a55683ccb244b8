// The window against the simulator: how a live pack looks, and what its loss does.

#include "window_fixture.h"

#include <QApplication>
#include <QGroupBox>
#include <QPainter>
#include <QStyleFactory>

#include <time.h>

namespace
{

QStringList warnings;
QtMessageHandler default_handler = nullptr;

// The contrast of a field's text as drawn: its darkest glyph pixel against the
// panel's background, inside the frame.
double drawn_contrast(QWidget *field)
{
    const QImage image = field->grab().toImage();
    const QColor background = image.pixelColor(image.width() - 4, image.height() / 2);
    double best = 1.0;
    for (int y = 3; y < image.height() - 3; ++y)
        for (int x = 3; x < image.width() - 3; ++x)
            best = qMax(best, contrast_ratio(image.pixelColor(x, y), background));
    return best;
}

// CPU used by this whole process per second of wall time while the event loop runs.
double cpu_share_while_idle(int ms)
{
    timespec before{}, after{};
    QElapsedTimer wall;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    wall.start();
    QTest::qWait(ms);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    const double cpu = static_cast<double>(after.tv_sec - before.tv_sec) +
                       static_cast<double>(after.tv_nsec - before.tv_nsec) / 1e9;
    return cpu / (static_cast<double>(wall.elapsed()) / 1000.0);
}

} // namespace

class TestWindowLive : public WindowFixture
{
    Q_OBJECT

private slots:
    // A live pack at the form's fixed geometry: few texts are cut, each one that is
    // (and only such a one) has its full text as tooltip, and the value fields, whose
    // panels come from a cache, look as the style draws them. Then the simulator
    // exits, as when a USB adapter is pulled: the window shows the loss, lets the
    // user disconnect, and stays idle instead of spinning on write errors.
    void live_pack_then_its_loss()
    {
        // Nothing of all this may warn: not a write to the closed port, not a
        // disconnect in the middle of an upgrade.
        warnings.clear();
        default_handler = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext &c, const QString &text) {
                if (type != QtDebugMsg && type != QtInfoMsg)
                    warnings << text;
                default_handler(type, c, text);
            });
        const bool narrow =
            QFontInfo(QFont("Liberation Sans Narrow")).family() == "Liberation Sans Narrow";
        if (narrow) {
            QCOMPARE(QFontInfo(label()->font()).family(), QString("Liberation Sans"));
            QCOMPARE(QFontInfo(widget<QGroupBox>(w(), "groupBox_3")->font()).family(),
                     QString("Liberation Sans Narrow"));
        }
        QProcess sim;
        w()->show();
        const QString sim_port = start_sim(sim);
        connect_window(w(), sim_port);
        poll_fast(w());
        // The last read of the cycle has arrived, and so have the others.
        QTRY_VERIFY_WITH_TIMEOUT(
            (refresh_soon(w()), text_of(w(), "lineEdit_critical_int_temp").toInt() > 0), 10000);
        QStringList clipped;
        for (QWidget *child : w()->findChildren<QWidget *>()) {
            const QString text = clipped_text(child);
            QCOMPARE(child->toolTip(), text);
            if (!text.isEmpty())
                clipped << child->objectName();
        }
        // The chosen font leaves nothing cut off up to 110 DPI (offscreen: 100).
        if (narrow && w()->logicalDpiX() <= 110)
            QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(' ')));
        // The value fields are disabled, yet their text reads: in the style Qt picked,
        // and in Fusion forced.
        const auto fields = {"lineEdit_battery_voltage", "lineEdit_bms_serial",
                             "lineEdit_critical_int_temp", "lineEdit_date_of_production"};
        for (const char *name : fields) {
            auto *value = widget<QLineEdit>(w(), name);
            QVERIFY(!value->isEnabled());
            const double contrast = drawn_contrast(value);
            QVERIFY2(contrast >= 4.5, qPrintable(QString("%1: %2").arg(name).arg(contrast)));
        }
        {
            QStyle *fusion = QStyleFactory::create("Fusion");
            const QString previous = QApplication::style()->objectName();
            QApplication::setStyle(fusion);
            MyDialogWindow in_fusion;
            auto *value = widget<QLineEdit>(&in_fusion, "lineEdit_battery_voltage");
            value->setText("12345");
            const double contrast = drawn_contrast(value);
            QApplication::setStyle(previous);
            QVERIFY2(contrast >= 4.5, qPrintable(QString::number(contrast)));
        }
        set_text(w(), "lineEdit_set_capacity", QString(30, '8'));
        QCOMPARE(widget<QLineEdit>(w(), "lineEdit_set_capacity")->toolTip(), QString(30, '8'));
        auto *field = widget<QLineEdit>(w(), "lineEdit_battery_voltage");
        QWidget parent;
        QLineEdit plain(field->text(), &parent);
        plain.setFont(field->font());
        plain.setPalette(field->palette());
        plain.resize(field->size());
        // The cached panel stands on the window's colour, as the field does.
        for (bool enabled : {true, false}) {
            field->setEnabled(enabled);
            plain.setEnabled(enabled);
            QImage drawn(plain.grab().toImage().size(), QImage::Format_RGB32);
            drawn.fill(field->palette().color(QPalette::Window));
            QPainter(&drawn).drawImage(0, 0, plain.grab().toImage());
            QCOMPARE(field->grab().toImage().convertToFormat(QImage::Format_RGB32), drawn);
        }

        // Disconnect while an upgrade runs: its retries go nowhere, and it fails.
        QTemporaryFile firmware;
        QVERIFY(firmware.open());
        firmware.write(generated_hex_file(200, 16, 7));
        firmware.close();
        set_text(w(), "lineEdit_set_firmware_path", firmware.fileName());
        // What matters here is where the retries go, not the loader's pace; once nothing
        // can answer, no reply can miss a short window either.
        auto *upgrade = w()->findChild<UpgradeEngine *>();
        UpgradeTiming timing;
        timing.erase_delay_ms = timing.crc_delay_ms = 20;
        timing.write_delay_ms = 5;
        upgrade->setTiming(timing);
        // The loss is checked, not the one-second supervision period.
        w()->findChild<BmsLink *>()->setSupervisionPeriod(200);
        click(w(), "pushButton_fw_upgrade");
        QVERIFY(
            wait_until([this] { return log()->toPlainText().contains("Sending hex line 3 of"); }));
        timing.reply_window_ms = 10;
        upgrade->setTiming(timing);
        click(w(), "button_disconnect");
        QVERIFY(
            wait_until([this] { return log()->toPlainText().endsWith("Firmware update failed"); }));
        QVERIFY(wait_until([this] { return label()->text() == "BMS IS DISCONNECTED"; }));
        connect_window(w(), sim_port);
        poll_fast(w());
        QVERIFY(wait_until([this] { return label()->text() == "BMS IS CONNECTED"; }));

        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
        set_text(w(), "lineEdit_set_overvoltage_voltage", "4160");
        click(w(), "pushButton_set_overvoltage_voltage");
        QVERIFY(wait_until([this] { return label()->text() == "BMS IS DISCONNECTED"; }));
        // A spinning event loop takes most of a core; idle polling takes well under
        // one percent, even in the sanitizer build.
        const double share = cpu_share_while_idle(300);
        QVERIFY2(share < 0.10, qPrintable(QString::number(100.0 * share, 'f', 2) + " %"));
        QCOMPARE(label()->styleSheet(), QStringLiteral("color: rgb(150, 20, 20)"));
        click(w(), "button_disconnect");
        QVERIFY(!port()->isOpen() && widget<QPushButton>(w(), "button_connect")->isEnabled());
        QVERIFY(!timer(w(), POLL_TIMER)->isActive());
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
    }
};

QTEST_MAIN(TestWindowLive)
#include "test_window_live.moc"
