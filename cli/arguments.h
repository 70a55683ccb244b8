#ifndef CLI_ARGUMENTS_H
#define CLI_ARGUMENTS_H

// The checks the commands' parse() share: each reports what is wrong with
// warn(), one line naming the option or setting, and says whether to go on.

#include "settings/settings.h"
#include "settings/settings_file.h"

#include <QString>
#include <QStringList>

#include <optional>

// warn() and false, so a check reads as one step.
bool fail(const QString &line);

// A whole number from `low` to `high`, or a complaint naming the option.
std::optional<qint64> whole(const QString &option, const QString &text, qint64 low, qint64 high,
                            const char *unit);

// The setting called `name`, or a complaint: "WHERE: no setting is called ...".
const SettingDef *named_setting(const QString &where, const QString &name);

// The single FILE argument of diff and restore, read and checked whole; "-" is
// standard input, called "standard input" in messages.
bool read_file_argument(const QString &command, const QStringList &arguments, SettingsFile &file);

// One line on standard error when `file` was saved from another BMS than the
// connected one: the normal case when moving settings to a new board.
void note_other_board(const QString &command, const SettingsFile &file, const RegisterImage &image);

// The cross-checks on `values`: each problem is reported (a warning with
// --force); false when the command must stop, after saying nothing was written.
bool cross_checked(const QString &command, const SettingValues &values, bool force);

#endif // CLI_ARGUMENTS_H
