#include "set_command.h"

#include "arguments.h"
#include "output.h"

#include <QCommandLineParser>

CommandInfo SetCommand::info()
{
    return {"set",
            "set NAME=VALUE... [--force]",
            "write settings, read them back and confirm",
            "Writes each setting as the window's Set button does, reads it back and compares;\n"
            "a setting that did not take is written again, at most three times in all. The\n"
            "settings as they will be are cross-checked first (refused unless --force).\n"
            "Curve points are separated by commas; quote text with spaces.",
            "bmsctl set overvoltage=4200 'serial_number=PACK 0117' \\\n"
            "             discharge_curve=3000,3350,3480,3560,3620,3680,3760,3850,3940,4040,4150",
            {QCommandLineOption(QStringLiteral("force"),
                                QStringLiteral("write even when a cross-check fails"))},
            true,
            true};
}

bool SetCommand::parse(const QCommandLineParser &options, const QStringList &arguments)
{
    force_ = options.isSet(QStringLiteral("force"));
    if (arguments.isEmpty())
        return fail(QStringLiteral("set: nothing to set; give NAME=VALUE (bmsctl set --help)"));
    for (const QString &arg : arguments) {
        const int eq = arg.indexOf(QLatin1Char('='));
        if (eq <= 0)
            return fail(QStringLiteral("set: \"%1\" is not NAME=VALUE").arg(arg));
        const SettingDef *setting = named_setting(QStringLiteral("set"), arg.left(eq));
        if (!setting)
            return false;
        QJsonValue &slot = values_[static_cast<size_t>(setting->id)];
        if (!slot.isUndefined())
            return fail(QStringLiteral("set: %1 is given twice").arg(setting->name));
        QString why;
        const std::optional<QJsonValue> value = parse_setting_text(*setting, arg.mid(eq + 1), &why);
        if (!value || !encode_setting(*setting, *value, &why))
            return fail(QStringLiteral("set: ") + not_allowed(*setting, arg, why));
        slot = *value;
    }
    // A rule whose settings are all given fails whatever the BMS holds, so it is
    // refused before anything is sent. With --force the warnings come once, from
    // the check of the settings as they will be.
    return force_ || cross_checked(QStringLiteral("set"), values_, false);
}
