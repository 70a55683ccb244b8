// What the window makes of the bytes it receives: noise, other addresses, replies
// stored and shown, and only what the current connection read.

#include "window_fixture.h"

class TestWindowRead : public WindowFixture
{
    Q_OBJECT

private slots:
    void reception()
    {
        qInstallMessageHandler(capture);
        connect_window(w(), peer->slavePath());
        // The loss of the link is checked, not the one-second supervision period.
        w()->findChild<BmsLink *>()->setSupervisionPeriod(100);
        // Noise, a broken frame and a header cut short: nothing happens.
        QByteArray broken = STATUS;
        broken[9] = static_cast<char>(broken.at(9) ^ 0x10);
        QVERIFY(deliver(hex("00 55 13 AA") + broken + hex("55 AA 06")));
        QCOMPARE(label()->text(), QString("BMS IS DISCONNECTED"));
        QVERIFY(debug_log.isEmpty());
        click(w(), "button_disconnect");
        connect_window(w(), peer->slavePath());

        // Another address: the link is alive, nothing is stored.
        QVERIFY(deliver(hex("55 AA 06 22 01 69 11 22 33 44 C3 FE")));
        QCOMPARE(label()->text(), QString("BMS IS CONNECTED"));
        QCOMPARE(label()->styleSheet(), QString("color: rgb(30, 150, 30)"));
        QVERIFY(debug_log.isEmpty());

        // The status reply is stored and handed to the upgrade, whose debug lines show
        // it: whole, in two pieces, and two of them in one read.
        for (const QByteArray &reply : {STATUS, STATUS.left(5), STATUS.mid(5), STATUS + STATUS})
            QVERIFY(deliver(reply));
        QCOMPARE(debug_log.count(STORED), 4);
        QCOMPARE(debug_log.value(0), STORED);
        QVERIFY(debug_log.value(1).startsWith("Last processed by MCU 17 34 51 68"));

        // A reply lands where it says and shows at the next refresh.
        QVERIFY(deliver(hex("55 AA 04 25 01 34 B0 04 ED FE")));
        QVERIFY(QMetaObject::invokeMethod(w(), "refresh_values"));
        QCOMPARE(text_of(w(), "lineEdit_battery_current"), QString()); // not read yet
        QVERIFY(QMetaObject::invokeMethod(w(), "refresh_values"));
        QCOMPARE(text_of(w(), "lineEdit_battery_voltage"), QString("12000"));

        // No valid frame for a while: disconnected, in dark red, values kept.
        click(w(), "button_disconnect");
        QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QString("BMS IS DISCONNECTED"), 5000);
        QCOMPARE(label()->styleSheet(), QString("color: rgb(150, 20, 20)"));
    }

    // The window shows and writes only what the connected BMS said: before its first
    // reply nothing, then its values in the fields and the inputs, and after a
    // reconnect to another pack nothing of the first one.
    void only_what_this_connection_read()
    {
        const RegisterImage first_pack = a_pack(60, 30000, '1');
        connect_window(w(), peer->slavePath());
        // Only a loss of the link ends the display of a pack; its period is not checked here.
        w()->findChild<BmsLink *>()->setSupervisionPeriod(100);
        QVERIFY(QMetaObject::invokeMethod(w(), "refresh_values"));
        for (const QString &text : shown())
            QVERIFY(text.isEmpty() || text == "-");
        // Before the first reply every Set writes nothing: no item is chosen, no
        // line edit holds a value, and the log says so.
        for (auto *input : w()->findChildren<QComboBox *>(QRegularExpression("^comboBox_set_")))
            QCOMPARE(input->currentIndex(), -1);
        QVERIFY(click_sends_nothing("pushButton_set_critical_int_temp"));
        QVERIFY(click_sends_nothing("pushButton_set_overvoltage_hysteresis"));
        QVERIFY(click_sends_nothing("pushButton_set_date_of_production"));
        QVERIFY(click_sends_nothing("pushButton_set_serial_number"));
        QCOMPARE(log()->toPlainText().count("a value must be chosen"), 2);
        QVERIFY(log()->toPlainText().contains(
            "Nothing written for Critical cells temperature, \u00b0C: a value must be chosen"));
        QVERIFY(log()->toPlainText().contains(
            "Nothing written for Cell overvoltage hysteresis, mV: a value must be entered"));

        // One cycle of replies: fields and inputs show the pack.
        poll_fast(w()); // each write above restarted the polling at its own pace
        QCOMPARE(serve(first_pack, 6), 6);
        QVERIFY(QMetaObject::invokeMethod(w(), "refresh_values"));
        QCOMPARE(text_of(w(), "lineEdit_critical_int_temp"), QString("60"));
        QCOMPARE(text_of(w(), "lineEdit_t1"), QString("25"));
        QCOMPARE(text_of(w(), "lineEdit_date_of_production"), QString("5.3.2024"));
        QCOMPARE(box("comboBox_set_critical_int_temp")->currentText(), QString("60"));
        QCOMPARE(box("comboBox_set_balance_mode")->currentText(), QString("Always"));
        QCOMPARE(box("comboBox_set_undercurrent_current")->currentText(), QString("5"));
        QCOMPARE(box("comboBox_set_month_of_production")->currentText(), QString("Mar"));
        QCOMPARE(box("comboBox_set_year_of_production")->currentText(), QString("2024"));
        QCOMPARE(text_of(w(), "lineEdit_set_overvoltage_voltage"), QString("4200"));
        QCOMPARE(text_of(w(), "lineEdit_set_adc_offset"), QString("-3"));
        QCOMPARE(text_of(w(), "lineEdit_set_serial_number"), QString("PPPPP1"));
        QCOMPARE(text_of(w(), "lineEdit_set_dsg_curve11"), QString("4000"));

        // Set on an untouched row writes what the BMS holds.
        QCOMPARE(click_and_read("pushButton_set_critical_int_temp").mid(7, 2), hex("3C 00"));
        QCOMPARE(click_and_read("pushButton_set_date_of_production").mid(7, 2), hex("65 30"));
        // 30 s is no item of the cooldown list: nothing chosen, nothing written.
        QCOMPARE(box("comboBox_set_short_circuit_cooldown")->currentIndex(), -1);
        QVERIFY(click_sends_nothing("pushButton_set_short_circuit_cooldown"));
        QCOMPARE(last_log_line(), QString("Nothing written for Short circuit cooldown, s: the BMS "
                                          "holds 30, which is not in the list; a value must be "
                                          "chosen"));

        // What the user changed stays; later replies touch no input at all.
        auto *overvoltage = widget<QLineEdit>(w(), "lineEdit_set_overvoltage_voltage");
        overvoltage->selectAll();
        QTest::keyClicks(overvoltage, "4250");
        box("comboBox_set_critical_temp_hysteresis")->setCurrentIndex(2);
        RegisterImage changed = first_pack;
        put(changed, 0x64, 70);
        put(changed, 0x5A, 4100);
        poll_fast(w());
        QCOMPARE(serve(changed, 6), 6);
        QVERIFY(QMetaObject::invokeMethod(w(), "refresh_values"));
        QCOMPARE(text_of(w(), "lineEdit_critical_int_temp"), QString("70"));
        QCOMPARE(box("comboBox_set_critical_int_temp")->currentText(), QString("60"));
        QCOMPARE(overvoltage->text(), QString("4250"));

        // Disconnect keeps the values; a new connection shows none of them, then
        // the other pack's.
        click(w(), "button_disconnect");
        const auto before = shown();
        QCOMPARE(before.value("lineEdit_bms_serial"), QString("3132333435363738393A3B3C"));
        QTRY_COMPARE_WITH_TIMEOUT(label()->text(), QString("BMS IS DISCONNECTED"), 5000);
        QVERIFY(QMetaObject::invokeMethod(w(), "refresh_values"));
        QCOMPARE(shown(), before);
        const RegisterImage other_pack = a_pack(50, 3000, '7');
        connect_window(w(), peer->slavePath());
        for (const QString &text : shown())
            QVERIFY(text.isEmpty() || text == "-");
        QCOMPARE(box("comboBox_set_critical_int_temp")->currentIndex(), -1);
        QVERIFY(text_of(w(), "lineEdit_set_serial_number").isEmpty());
        QVERIFY(click_sends_nothing("pushButton_set_critical_int_temp"));
        poll_fast(w());
        QCOMPARE(serve(other_pack, 6), 6);
        QTRY_COMPARE_WITH_TIMEOUT((refresh_soon(w()), text_of(w(), "lineEdit_bms_serial")),
                                  QString("3738393A3B3C3D3E3F404142"), 5000);
        QCOMPARE(box("comboBox_set_critical_int_temp")->currentText(), QString("50"));
        QCOMPARE(box("comboBox_set_short_circuit_cooldown")->currentText(), QString("3"));
        QCOMPARE(text_of(w(), "lineEdit_set_serial_number"), QString("PPPPP7"));
        QCOMPARE(overvoltage->text(), QString("4250"));
        QCOMPARE(click_and_read("pushButton_set_overvoltage_voltage").mid(7, 2), hex("9A 10"));
        click(w(), "button_disconnect");
    }

    // A refresh looks only at the fields whose registers changed since the last one.
    // Whatever changes between two replies, the fields then show what a first look
    // at the new pack shows. Rounds by the bits of a register's number: for any two
    // registers, one round changes one and not the other; and by its number modulo
    // 8: a register next to a field's run of registers changes without them.
    void a_refresh_follows_every_register()
    {
        const RegisterImage first = a_pack(60, 3000, '1');
        for (int round = 0; round < 22; ++round) {
            RegisterImage next = first;
            for (size_t r = 0; r < next.size() / 2; ++r) {
                const bool changed = round < 14 ? bool(r >> (round % 7) & 1) == (round < 7)
                                                : int(r % 8) == round - 14;
                if (!changed)
                    continue;
                next[2 * r] ^= 0x15;
                next[2 * r + 1] ^= 0x01;
            }
            const auto look_at = [this](const RegisterImage &pack) {
                poll_fast(w(), 1);
                return serve(pack, 6) == 6 && QMetaObject::invokeMethod(w(), "refresh_values");
            };
            connect_window(w(), peer->slavePath());
            QVERIFY(look_at(first));
            QVERIFY(look_at(next));
            const auto followed = shown();
            click(w(), "button_disconnect");
            connect_window(w(), peer->slavePath());
            QVERIFY(look_at(next));
            QVERIFY2(followed == shown(), qPrintable(QString("round %1").arg(round)));
            click(w(), "button_disconnect");
        }
    }
};

QTEST_MAIN(TestWindowRead)
#include "test_window_read.moc"
