#ifndef MONITOR_DISPLAY_H
#define MONITOR_DISPLAY_H

// Turns the register image into the texts of the display fields, keyed by the
// object name of the widget that shows each one.

#include "link/frame.h"

#include <QString>
#include <QVector>

struct FieldText {
    QString widget; // object name: lineEdit_... or label_cell_balancing...
    QString text;
};

// Every display field, in one pass over `image`. Pure: the same image always gives
// the same texts.
QVector<FieldText> decode_registers(const RegisterImage &image);

// Register r of the image, unsigned.
quint16 register_value(const RegisterImage &image, int reg);

#endif // MONITOR_DISPLAY_H
