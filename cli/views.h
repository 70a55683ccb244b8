#ifndef CLI_VIEWS_H
#define CLI_VIEWS_H

// What a register image says, as bmsctl prints it. Pure functions: the commands
// decide when and where.

#include "link/frame.h"
#include "settings/settings.h"
#include "settings/settings_file.h"

#include <QJsonObject>
#include <QString>
#include <QVector>

QJsonObject info_json(const RegisterImage &image);
QString info_text(const RegisterImage &image);

// The value a setting has on the BMS, for a person; the raw register follows
// where the value does not say everything the register holds (a cooldown of
// 5500 ms shown in whole seconds, a code the window has no word for).
QString held_text(const SettingDef &setting, const RegisterImage &image);

// What diff and restore print: the settings of `file` the BMS does not hold, as a
// table (setting, on the BMS, in the file) and a count, or that there are none.
QString diff_report(const SettingsFile &file, const RegisterImage &image);

// 1-based numbers of the cells being balanced, as "3 7"; empty when none.
QString balancing_cells(quint16 mask, const QString &separator = QStringLiteral(" "));

#endif // CLI_VIEWS_H
