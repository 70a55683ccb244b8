// Replies as a USB adapter cuts and merges them, from the test and from the simulator.

#include "window_fixture.h"

class TestWindowReplies : public WindowFixture
{
    Q_OBJECT

private slots:
    // Replies in 32-byte pieces a few milliseconds apart, and two replies in one
    // write, fill the window as whole replies do.
    void replies_in_pieces_and_merged()
    {
        qInstallMessageHandler(capture);
        const RegisterImage pack = a_pack(60, 30000, '1');
        connect_window(w(), peer->slavePath());
        poll_fast(w());
        for (const bool merged : {false, true}) {
            debug_log.clear();
            QCOMPARE(serve(pack, 12, merged ? 0 : 32, merged), 12);
            QCOMPARE(debug_log.count(STORED), 12);
            QCOMPARE(label()->text(), QString("BMS IS CONNECTED"));
        }
        QVERIFY(QMetaObject::invokeMethod(w(), "refresh_values"));
        const auto texts = shown();
        for (auto it = texts.cbegin(); it != texts.cend(); ++it)
            QVERIFY2(!it.value().isEmpty() || it.key().startsWith("label_cell_bal"),
                     qPrintable(it.key()));
        click(w(), "button_disconnect");

        // The simulator as such an adapter: the pack shows as on a clean line, and an
        // upgrade runs without a retransmission.
        QProcess sim;
        connect_window(w(), start_sim(sim, {"--chunk", "32"}));
        poll_fast(w());
        QTRY_VERIFY_WITH_TIMEOUT(
            (refresh_soon(w()), !text_of(w(), "lineEdit_bms_serial").isEmpty() &&
                                    !text_of(w(), "lineEdit_adc_offset").isEmpty()),
            10000);
        QVERIFY(text_of(w(), "lineEdit_bms_serial") != QString(24, '0'));
        QVERIFY(text_of(w(), "lineEdit_critical_int_temp").toInt() > 0);
        QTemporaryFile firmware;
        QVERIFY(firmware.open());
        firmware.write(generated_hex_file(20, 16, 3));
        firmware.close();
        set_text(w(), "lineEdit_set_firmware_path", firmware.fileName());
        // The loader's delays are the simulator's business, not the adapter's; the
        // reply window, which a cut reply could miss, stays as it is.
        UpgradeTiming timing;
        timing.erase_delay_ms = timing.crc_delay_ms = 20;
        timing.write_delay_ms = 5;
        w()->findChild<UpgradeEngine *>()->setTiming(timing);
        click(w(), "pushButton_fw_upgrade");
        QVERIFY(wait_until([this] { return log()->toPlainText().contains("successfully flashed"); },
                           20000));
        QVERIFY(!log()->toPlainText().contains("Attempt 2 of"));
        click(w(), "button_disconnect");
        stop_sim(sim);
    }
};

QTEST_MAIN(TestWindowReplies)
#include "test_window_replies.moc"
