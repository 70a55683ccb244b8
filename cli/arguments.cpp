#include "arguments.h"

#include "terminal.h"

bool fail(const QString &line)
{
    warn(line);
    return false;
}

std::optional<qint64> whole(const QString &option, const QString &text, qint64 low, qint64 high,
                            const char *unit)
{
    bool ok = false;
    const qint64 v = text.toLongLong(&ok);
    if (ok && v >= low && v <= high)
        return v;
    warn(QStringLiteral("%1 %2: a whole number of %3 from %4 to %5 is expected")
             .arg(option, text, QLatin1String(unit))
             .arg(low)
             .arg(high));
    return std::nullopt;
}

const SettingDef *named_setting(const QString &where, const QString &name)
{
    const SettingDef *setting = find_setting(name);
    if (!setting)
        warn(QStringLiteral("%1: no setting is called \"%2\" (bmsctl get --help lists the %3 "
                            "settings)")
                 .arg(where, name)
                 .arg(SETTING_COUNT));
    return setting;
}

bool read_file_argument(const QString &command, const QStringList &arguments, SettingsFile &file)
{
    if (arguments.size() != 1)
        return fail(QStringLiteral("%1: one FILE is expected, %2 given (bmsctl %1 --help)")
                        .arg(command)
                        .arg(arguments.size()));
    const QStringList problems = read_settings_file(arguments.first(), file);
    for (const QString &p : problems)
        warn(command + QStringLiteral(": ") + p);
    return problems.isEmpty();
}

bool cross_checked(const QString &command, const SettingValues &values, bool force)
{
    const QStringList problems = cross_check(values);
    for (const QString &p : problems)
        warn(QStringLiteral("%1: %2%3")
                 .arg(command, force ? QStringLiteral("warning: ") : QString(), p));
    if (problems.isEmpty() || force)
        return true;
    warn(QStringLiteral("%1: refused, nothing written (--force writes anyway)").arg(command));
    return false;
}
