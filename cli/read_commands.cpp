#include "read_commands.h"

#include "bms_link.h"
#include "monitor/display.h"
#include "output.h"
#include "views.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QSaveFile>

ReadCommand::ReadCommand(const Invocation &invocation, QObject *parent)
    : Command(parent), inv_(invocation)
{
}

int ReadCommand::prepare()
{
    if (inv_.command != CommandKind::Backup || inv_.output.isEmpty())
        return -1;
    // Opened now so that a path that cannot be written is refused before the BMS
    // is asked anything; the old file stays as it was until the new one is whole.
    output_ = new QSaveFile(inv_.output, this);
    if (!output_->open(QIODevice::WriteOnly))
        return refuse(
            QStringLiteral("backup: cannot write %1: %2").arg(inv_.output, output_->errorString()));
    return -1;
}

void ReadCommand::run(BmsLink *link)
{
    const RegisterImage &image = link->image();
    int code = exit_code::OK;
    switch (inv_.command) {
    case CommandKind::Info:
        print(inv_.json ? QString::fromUtf8(QJsonDocument(info_json(image)).toJson())
                        : info_text(image));
        break;
    case CommandKind::Get:
        code = get(image);
        break;
    case CommandKind::Backup:
        code = backup(image);
        break;
    case CommandKind::Diff:
        code = diff(image);
        break;
    default:
        break;
    }
    emit finished(code);
}

int ReadCommand::get(const RegisterImage &image)
{
    QVector<const SettingDef *> shown = inv_.names;
    if (shown.isEmpty())
        for (const SettingDef &setting : all_settings())
            shown.append(&setting);
    QJsonObject json;
    QVector<QStringList> rows;
    for (const SettingDef *setting : shown) {
        json.insert(QLatin1String(setting->name), decode_setting(*setting, image));
        rows.append({QString::fromLatin1(setting->name), held_text(*setting, image)});
    }
    print(inv_.json ? QString::fromUtf8(QJsonDocument(json).toJson()) : table(rows));
    return exit_code::OK;
}

int ReadCommand::backup(const RegisterImage &image)
{
    // Better heard now, while the old board is at hand, than at the restore.
    for (const SettingDef &setting : all_settings())
        if (!encode_setting(setting, decode_setting(setting, image)))
            complain(QStringLiteral("note: %1: the BMS holds %2, which cannot be written (allowed: "
                                    "%3): restore keeps it only on a board that holds "
                                    "it already")
                         .arg(setting.name, held_text(setting, image), allowed_text(setting)));

    const QByteArray text = settings_file_text(image, QDateTime::currentDateTimeUtc());
    if (!output_) {
        print(QString::fromUtf8(text));
        return exit_code::OK;
    }
    output_->write(text);
    if (!output_->commit()) {
        complain(
            QStringLiteral("backup: cannot write %1: %2").arg(inv_.output, output_->errorString()));
        return exit_code::FAILED;
    }
    const PackIdentity id = decode_identity(image);
    complain(QStringLiteral("saved the %1 settings of pack %2 (BMS %3, firmware %4) to %5")
                 .arg(SETTING_COUNT)
                 .arg(id.serial_number, id.bms_serial)
                 .arg(id.firmware)
                 .arg(inv_.output));
    return exit_code::OK;
}

int ReadCommand::diff(const RegisterImage &image)
{
    const SettingsFile &file = inv_.settings;
    const QVector<const SettingDef *> shown = differing(file.values, image);
    if (shown.isEmpty()) {
        print(QStringLiteral("No differences: the BMS holds all %1 settings of %2.\n")
                  .arg(file.count())
                  .arg(file.path));
        return exit_code::OK;
    }
    print(diff_table(shown, file.values, image, QStringLiteral("IN ") + file.path) +
          QStringLiteral("%1 of the %2 settings in %3 differ.\n")
              .arg(shown.size())
              .arg(file.count())
              .arg(file.path));
    return exit_code::OK;
}
