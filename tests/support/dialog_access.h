#ifndef TESTS_DIALOG_ACCESS_H
#define TESTS_DIALOG_ACCESS_H

#include "app/mydialogwindow.h"
#include "link/frame.h"

#include <QMetaObject>
#include <QObject>
#include <QProcess>
#include <QtTest>

// The dialog as a technician sees it: widgets by object name, slots by name.

template <typename T> T *widget(QObject *dialog, const char *name)
{
    T *w = dialog->findChild<T *>(QString::fromLatin1(name));
    if (!w)
        qFatal("no widget %s", name);
    return w;
}

inline bool run_slot(QObject *dialog, const char *slot)
{
    return QMetaObject::invokeMethod(dialog, slot, Qt::DirectConnection);
}

// Puts every program-wide object back to its start-up value, so that each test
// function begins as a freshly started program would.
void reset_program_state();

// Types `path` into the port box and clicks Connect.
void connect_dialog(QObject *dialog, const QString &path);

// Text of a line edit, combo selection, button click: the usual gestures.
void set_text(QObject *dialog, const char *line_edit, const QString &text);
void choose(QObject *dialog, const char *combo_box, int index);
void click(QObject *dialog, const char *button);
QString text_of(QObject *dialog, const char *line_edit);

// Starts bms_sim and returns the terminal it printed on its first line.
QString start_sim(QProcess &sim, const QStringList &args = {});
void stop_sim(QProcess &sim);

// "55 AA 03" -> bytes.
inline QByteArray hex(const char *spaced)
{
    return QByteArray::fromHex(QByteArray(spaced).replace(' ', ""));
}

inline void put_register(RegisterImage &image, int reg, quint16 value)
{
    image[static_cast<size_t>(2 * reg)] = static_cast<quint8>(value & 0xFF);
    image[static_cast<size_t>(2 * reg + 1)] = static_cast<quint8>(value >> 8);
}

inline quint16 register_at(const RegisterImage &image, int reg)
{
    return static_cast<quint16>(image[static_cast<size_t>(2 * reg)] |
                                image[static_cast<size_t>(2 * reg + 1)] << 8);
}

#endif // TESTS_DIALOG_ACCESS_H
