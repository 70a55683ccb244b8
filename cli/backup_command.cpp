#include "backup_command.h"

#include "arguments.h"
#include "bms_link.h"
#include "monitor/display.h"
#include "output.h"
#include "settings/settings_file.h"
#include "terminal.h"
#include "views.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QSaveFile>

CommandInfo BackupCommand::info()
{
    return {"backup",
            "backup [-o FILE]",
            "every setting to a JSON file (standard output without -o)",
            "Saves every setting as JSON, to FILE or standard output.",
            "bmsctl backup -o pack-0117.json",
            {QCommandLineOption({QStringLiteral("o"), QStringLiteral("output")},
                                QStringLiteral("write FILE (replaced whole, never left "
                                               "half-written)"),
                                QStringLiteral("FILE"))}};
}

bool BackupCommand::parse(const QCommandLineParser &options, const QStringList &)
{
    options_.output = options.value(QStringLiteral("output"));
    if (options.isSet(QStringLiteral("output")) && options_.output.isEmpty())
        return fail(QStringLiteral("backup: -o: a file name is expected"));
    return true;
}

int BackupCommand::prepare()
{
    if (options_.output.isEmpty())
        return -1;
    output_ = new QSaveFile(options_.output, this);
    return open_output(output_, QStringLiteral("backup")) ? -1 : exit_code::USAGE;
}

void BackupCommand::run(BmsLink *link)
{
    const RegisterImage &image = link->image();
    // Better heard now, while the old board is at hand, than at the restore.
    for (const SettingDef &setting : all_settings())
        if (!encode_setting(setting, decode_setting(setting, image)))
            warn(QStringLiteral("note: %1: the BMS holds %2, which cannot be written (allowed: "
                                "%3): restore keeps it only on a board that holds "
                                "it already")
                     .arg(setting.name, held_text(setting, image), allowed_text(setting)));

    const QByteArray text = settings_file_text(image, QDateTime::currentDateTimeUtc());
    if (!output_) {
        say(QString::fromUtf8(text));
        emit finished(exit_code::OK);
        return;
    }
    output_->write(text);
    if (!output_->commit()) {
        warn(QStringLiteral("backup: cannot write %1: %2")
                 .arg(options_.output, output_->errorString()));
        emit finished(exit_code::FAILED);
        return;
    }
    const PackIdentity id = decode_identity(image);
    warn(QStringLiteral("saved the %1 settings of pack %2 (BMS %3, firmware %4) to %5")
             .arg(SETTING_COUNT)
             .arg(id.serial_number, id.bms_serial)
             .arg(id.firmware)
             .arg(options_.output));
    emit finished(exit_code::OK);
}
