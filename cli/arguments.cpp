#include "arguments.h"

#include "monitor/display.h"
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
    const bool piped = arguments.first() == QLatin1String("-");
    const QString path = piped ? QStringLiteral("/dev/stdin") : arguments.first();
    const QString shown = QStringLiteral("standard input");
    const QStringList problems = read_settings_file(path, file);
    for (QString p : problems)
        warn(command + QStringLiteral(": ") + (piped ? p.replace(path, shown) : p));
    if (piped)
        file.path = shown;
    return problems.isEmpty();
}

void note_other_board(const QString &command, const SettingsFile &file, const RegisterImage &image)
{
    const QString serial = decode_identity(image).bms_serial;
    if (!file.bms_serial.isEmpty() && file.bms_serial != serial)
        warn(QStringLiteral("%1: note: %2 was saved from BMS %3; this is BMS %4")
                 .arg(command, file.path, file.bms_serial, serial));
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
