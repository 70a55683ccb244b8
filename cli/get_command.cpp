#include "get_command.h"

#include "arguments.h"
#include "bms_link.h"
#include "output.h"
#include "terminal.h"
#include "views.h"

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>

CommandInfo GetCommand::info()
{
    return {"get",
            "get [NAME...] [--json]",
            "settings in the window's units (all, or the named ones)",
            "Prints the settings in the window's units: all of them, or the named ones.",
            "bmsctl get overvoltage undervoltage --json",
            {QCommandLineOption(QStringLiteral("json"), QStringLiteral("JSON instead of text"))},
            true,
            true};
}

bool GetCommand::parse(const QCommandLineParser &options, const QStringList &arguments)
{
    options_.json = options.isSet(QStringLiteral("json"));
    for (const QString &n : arguments) {
        const SettingDef *setting = named_setting(QStringLiteral("get"), n);
        if (!setting)
            return false;
        if (!options_.names.contains(setting))
            options_.names.append(setting);
    }
    return true;
}

void GetCommand::run(BmsLink *link)
{
    const RegisterImage &image = link->image();
    QVector<const SettingDef *> shown = options_.names;
    if (shown.isEmpty())
        for (const SettingDef &setting : all_settings())
            shown.append(&setting);
    QJsonObject json;
    QVector<QStringList> rows;
    for (const SettingDef *setting : shown) {
        json.insert(QLatin1String(setting->name), decode_setting(*setting, image));
        rows.append({QString::fromLatin1(setting->name), held_text(*setting, image)});
    }
    say(options_.json ? QString::fromUtf8(QJsonDocument(json).toJson()) : table(rows));
    emit finished(exit_code::OK);
}
