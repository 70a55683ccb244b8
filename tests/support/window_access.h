#ifndef TESTS_WINDOW_ACCESS_H
#define TESTS_WINDOW_ACCESS_H

// The window as a technician sees it: widgets and timers by object name, and the
// gestures on them.

#include <QComboBox>
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
