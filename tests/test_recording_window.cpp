// What the window puts into the service history, offscreen against the
// simulator, read back from the SQLite file.

#include "bms_link.h"
#include "history_timeline.h"
#include "link/reception.h"
#include "mydialogwindow.h"
#include "window_access.h"

#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <bitset>

class TestRecordingWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    // A visit once a connection has read the whole register space, and a Set,
    // confirmed when the polling reads it back. Beside it, at the same time, a window
    // told not to record and one whose history cannot be written.
    void window_records_a_connection_and_a_set()
    {
        const QString db =
            QStringLiteral("sqlite:") + dir.filePath(QStringLiteral("window.sqlite"));
        const Sim recorded, unrecorded, unwritable;
        MyDialogWindow window, quiet, failing;
        window.setHistory(db, true);
        quiet.setHistory(db, false);
        failing.setHistory(QStringLiteral("sqlite:/proc/no/such/folder/h.sqlite"), true);
        // Once the quiet window has read every register, a visit would have been taken.
        std::bitset<POLLED_REGISTER_COUNT> seen;
        connect(quiet.findChild<BmsLink *>(), &BmsLink::registersStored, this,
                [&seen](int first, int count) {
                    for (int r = qMax(first, 0); r < first + count && r < POLLED_REGISTER_COUNT;
                         ++r)
                        seen.set(static_cast<size_t>(r));
                });
        connect_window(&window, recorded.path);
        connect_window(&quiet, unrecorded.path);
        connect_window(&failing, unwritable.path);

        QTRY_COMPARE_WITH_TIMEOUT(timeline(db).size(), 1, 10000);
        set_text(&window, "lineEdit_set_capacity", QStringLiteral("9500"));
        click(&window, "pushButton_set_capacity");
        QTRY_VERIFY_WITH_TIMEOUT(
            !timeline(db).value(0).details.value("settings_writes").isUndefined(), 10000);
        click(&window, "button_disconnect");
        QVERIFY(widget<QPlainTextEdit>(&window, "plainTextEdit")->toPlainText().isEmpty());
        const QVector<TimelineEntry> t = timeline(db);
        QCOMPARE(commands_of(t), QStringList({"bms_tool connect"}));
        QCOMPARE(t[0].firmware, 18);
        QVERIFY(t[0].state.cells_mv[0] > 3000);
        QCOMPARE(
            only(t[0], "settings_writes"),
            QJsonObject(
                {{"setting", "capacity"}, {"before", 7800}, {"after", 9500}, {"confirmed", true}}));

        // --no-history: nothing; a history that cannot be written: the log says so once.
        QTRY_VERIFY_WITH_TIMEOUT(seen.all(), 10000);
        click(&quiet, "button_disconnect");
        QCOMPARE(timeline(db).size(), 1);
        auto *log = widget<QPlainTextEdit>(&failing, "plainTextEdit");
        QTRY_VERIFY_WITH_TIMEOUT(!log->toPlainText().isEmpty(), 10000);
        QVERIFY2(log->toPlainText().startsWith("service history not recorded") &&
                     !log->toPlainText().contains('\n'),
                 qPrintable(log->toPlainText()));
    }
};

QTEST_MAIN(TestRecordingWindow)
#include "test_recording_window.moc"
