#include "command_history.h"

#include "command.h"
#include "monitor/display.h"
#include "settings/settings.h"
#include "terminal.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

void record_visit(Command &command, const RegisterImage &image)
{
    HistoryRecorder &history = command.history();
    if (!history.enabled())
        return;
    command.noteHistory(
        history.visit(command.objectName(), decode_identity(image), decode_pack_state(image)));
}

void record_backup(Command &command, const QString &path, const QByteArray &file_text)
{
    const QJsonObject settings =
        QJsonDocument::fromJson(file_text).object().value(QStringLiteral("settings")).toObject();
    command.noteHistory(command.history().backup({path, settings}));
}

void note_recorded_settings(Command &command, const RegisterImage &image)
{
    HistoryRecorder &history = command.history();
    if (!history.enabled())
        return;
    QString warning;
    const std::optional<RecordedSettings> recorded =
        history.lastSettings(decode_identity(image), &warning);
    command.noteHistory(warning);
    if (!recorded)
        return;
    QStringList differ;
    for (auto i = recorded->settings.begin(); i != recorded->settings.end(); ++i) {
        const SettingDef *setting = find_setting(i.key());
        if (setting && !i.value().isNull() && !setting_holds(*setting, image, i.value()))
            differ << i.key();
    }
    if (differ.isEmpty())
        return;
    warn(QStringLiteral("%1: note: the BMS no longer holds the settings last recorded for this "
                        "pack (%2 UTC): %3")
             .arg(command.objectName(),
                  recorded->recorded_at.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm")),
                  differ.join(QStringLiteral(", "))));
}
