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

// The single FILE argument of diff and restore, read and checked whole.
bool read_file_argument(const QString &command, const QStringList &arguments, SettingsFile &file);

// The cross-checks on `values`: each problem is reported (a warning with
// --force); false when the command must stop, after saying nothing was written.
bool cross_checked(const QString &command, const SettingValues &values, bool force);

#endif // CLI_ARGUMENTS_H
