#ifndef CLI_VIEWS_H
#define CLI_VIEWS_H

// What a register image says, as bmsctl prints it. Pure functions: the commands
// decide when and where.

#include "link/frame.h"
#include "settings/settings.h"

#include <QJsonObject>
#include <QString>
#include <QVector>

QJsonObject info_json(const RegisterImage &image);
QString info_text(const RegisterImage &image);

// The value a setting has on the BMS, for a person; the raw register follows
// where the value does not say everything the register holds (a cooldown of
// 5500 ms shown in whole seconds, a code the window has no word for).
QString held_text(const SettingDef &setting, const RegisterImage &image);

// Settings whose value in `values` the BMS does not hold, in the window's order.
QVector<const SettingDef *> differing(const SettingValues &values, const RegisterImage &image);
// The table of those: setting, on the BMS, in `source`.
QString diff_table(const QVector<const SettingDef *> &settings, const SettingValues &values,
                   const RegisterImage &image, const QString &source);

// 1-based numbers of the cells being balanced, as "3 7"; empty when none.
QString balancing_cells(quint16 mask, const QString &separator = QStringLiteral(" "));

#endif // CLI_VIEWS_H
