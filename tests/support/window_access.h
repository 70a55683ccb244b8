#ifndef TESTS_WINDOW_ACCESS_H
#define TESTS_WINDOW_ACCESS_H

// The window as a technician sees it: widgets and timers by object name, and the
// gestures on them.

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

template <typename T> T *widget(QObject *window, const char *name)
{
    T *w = window->findChild<T *>(QString::fromLatin1(name));
    if (!w)
        qFatal("no object %s", name);
    return w;
}

inline QTimer *timer(QObject *window, const char *name)
{
    return widget<QTimer>(window, name);
}

inline void click(QObject *window, const char *button)
{
    widget<QPushButton>(window, button)->click();
}

inline void set_text(QObject *window, const char *line_edit, const QString &text)
{
    widget<QLineEdit>(window, line_edit)->setText(text);
}

inline QString text_of(QObject *window, const char *line_edit)
{
    return widget<QLineEdit>(window, line_edit)->text();
}

// Tests that check what the window makes of the replies, not their pace, let it poll
// every `ms` instead of every 100 ms; a connect or a write restarts the polling at its
// own period.
inline void poll_fast(QObject *window, int ms = 10)
{
    timer(window, "bms_registers_request_send_timer")->setInterval(ms);
}

// Lets the window's next value refresh come at once instead of within its 500 ms
// period; it restarts at its own period after that one.
inline void refresh_soon(QObject *window)
{
    timer(window, "values_refresh_timer")->start(0);
}

// Runs the event loop until `done()` holds, for at most `ms`. Unlike QTRY_*, which
// looks every 50 ms and sleeps between its rounds of events, this answers the
// window's timers and the terminal at once: an upgrade's hundred round trips
// take their own time, not the test's.
template <typename Done> bool wait_until(Done done, int ms = 10000)
{
    QTimer wake; // ends each wait for events, should none come
    wake.start(5);
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.hasExpired(ms))
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Types `path` into the port box and clicks Connect.
inline void connect_window(QObject *window, const QString &path)
{
    widget<QComboBox>(window, "ports_combo_box")->setEditText(path);
    click(window, "button_connect");
}

// "55 AA 03" -> bytes.
inline QByteArray hex(const char *spaced)
{
    return QByteArray::fromHex(QByteArray(spaced).replace(' ', ""));
}

// Starts bms_sim and returns the terminal it printed on its first line.
QString start_sim(QProcess &sim, const QStringList &args = {});
void stop_sim(QProcess &sim);

#endif // TESTS_WINDOW_ACCESS_H
