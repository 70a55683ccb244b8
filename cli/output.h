#ifndef CLI_OUTPUT_H
#define CLI_OUTPUT_H

// The exit codes scripts rely on, and how values read; what goes where is the
// terminal's (terminal.h).

#include "settings/settings.h"

#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <QVector>

namespace exit_code
{
constexpr int OK = 0;
constexpr int FAILED = 1;    // tried and did not succeed: a write not confirmed, silence midway
constexpr int USAGE = 2;     // bad input of any kind; nothing was sent to the BMS
constexpr int PORT = 3;      // no port to use, or it cannot be opened
constexpr int NO_ANSWER = 4; // the BMS was silent before anything was written
} // namespace exit_code

bool stdin_is_terminal();
bool stdout_is_terminal();
bool stderr_is_terminal();

// A setting's value as a person reads it: "4200 mV", "SIM10S-0000042",
// "3000,3350,... mV"; "(no meaning)" for a code the BMS holds that the window
// has no word for.
QString value_text(const SettingDef &setting, const QJsonValue &value);

// Columns padded to their widest cell, two spaces apart; one line per row.
QString table(const QVector<QStringList> &rows);

#endif // CLI_OUTPUT_H
