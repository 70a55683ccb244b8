#ifndef TESTS_DIALOG_ACCESS_H
#define TESTS_DIALOG_ACCESS_H

#include "app/mydialogwindow.h"

#include <QMetaObject>
#include <QObject>
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

#endif // TESTS_DIALOG_ACCESS_H
