#include "restore_command.h"

#include "arguments.h"
#include "bms_link.h"
#include "output.h"
#include "terminal.h"
#include "views.h"

#include <QCommandLineParser>

CommandInfo RestoreCommand::info()
{
    using O = QCommandLineOption;
    return {"restore",
            "restore FILE|- [--dry-run] [--yes] [--only NAME,...] [--except NAME,...] "
            "[--skip-identity] [--force] [--all]",
            "write FILE's settings that differ, after showing the diff",
            "Shows the diff, checks the settings as they will be, asks for confirmation on a\n"
            "terminal, then writes the settings that differ and reads each back, as set does.\n"
            "Without a terminal it writes only with --yes; - reads the file from standard\n"
            "input (then --yes too). A value the window's lists do not offer (a factory\n"
            "value) is left alone where the BMS holds it; otherwise it is refused unless\n"
            "--force writes it or --except leaves it out. Once writing, the first Ctrl-C or\n"
            "hang-up only warns; a second within 5 s stops after the write in flight.",
            "bmsctl restore pack-0117.json --skip-identity --dry-run",
            {O(QStringLiteral("dry-run"),
               QStringLiteral("show the diff and the checks; write nothing")),
             O(QStringLiteral("yes"), QStringLiteral("write without asking")),
             O(QStringLiteral("only"), QStringLiteral("restore only these settings"),
               QStringLiteral("NAME,...")),
             O(QStringLiteral("except"), QStringLiteral("leave these settings as they are"),
               QStringLiteral("NAME,...")),
             O(QStringLiteral("skip-identity"),
               QStringLiteral("leave serial_number and date_of_production as they are")),
             O(QStringLiteral("force"),
               QStringLiteral("write even when a cross-check fails, and values the window's lists "
                              "do not offer")),
             O(QStringLiteral("all"),
               QStringLiteral("write every setting of FILE, also those the BMS holds"))},
            true};
}

bool RestoreCommand::parse(const QCommandLineParser &p, const QStringList &arguments)
{
    SettingsFile &file = options_.file;
    if (!read_file_argument(QStringLiteral("restore"), arguments, file))
        return false;
    options_.dry_run = p.isSet(QStringLiteral("dry-run"));
    options_.yes = p.isSet(QStringLiteral("yes"));
    all_ = p.isSet(QStringLiteral("all"));
    force_ = p.isSet(QStringLiteral("force"));
    SettingValues &values = file.values;
    if (p.isSet(QStringLiteral("only"))) {
        SettingValues kept = no_settings();
        for (const QString &name : p.value(QStringLiteral("only")).split(QLatin1Char(','))) {
            const SettingDef *setting =
                named_setting(QStringLiteral("restore: --only"), name.trimmed());
            if (!setting)
                return false;
            const auto i = static_cast<size_t>(setting->id);
            if (values[i].isUndefined())
                return fail(QStringLiteral("restore: --only names %1, which %2 does not hold")
                                .arg(setting->name, file.path));
            kept[i] = values[i];
        }
        values = kept;
    }
    if (p.isSet(QStringLiteral("except"))) {
        for (const QString &name : p.value(QStringLiteral("except")).split(QLatin1Char(','))) {
            const SettingDef *setting =
                named_setting(QStringLiteral("restore: --except"), name.trimmed());
            if (!setting)
                return false;
            values[static_cast<size_t>(setting->id)] = QJsonValue::Undefined;
        }
    }
    if (p.isSet(QStringLiteral("skip-identity"))) {
        values[static_cast<size_t>(Setting::SerialNumber)] = QJsonValue::Undefined;
        values[static_cast<size_t>(Setting::DateOfProduction)] = QJsonValue::Undefined;
    }
    if (file.count() == 0)
        return fail(QStringLiteral("restore: nothing left to restore from %1 after --only, "
                                   "--except and --skip-identity")
                        .arg(file.path));
    if (arguments.first() == QLatin1String("-") && !options_.dry_run && !options_.yes)
        return fail(QStringLiteral("restore: refused: the file comes on standard input, so the "
                                   "question cannot be asked there; add --yes to write without "
                                   "asking, or --dry-run to only look"));
    if (!options_.dry_run && !options_.yes && !stdin_is_terminal())
        return fail(QStringLiteral("restore: refused: no terminal to confirm on; add --yes "
                                   "to write without asking, or --dry-run to only look"));
    values_ = values;
    return force_ || cross_checked(QStringLiteral("restore"), values_, false);
}

void RestoreCommand::showPlan()
{
    note_other_board(QStringLiteral("restore"), options_.file, link_->image());
    say(diff_report(options_.file, link_->image()));
}

bool RestoreCommand::writable()
{
    bool ok = true;
    for (const Item &item : items_) {
        QString why;
        if (item.outcome != Outcome::Pending || encode_setting(*item.setting, item.value, &why))
            continue;
        const QString problem =
            QStringLiteral("%1: settings.%2: %3; the BMS holds %4")
                .arg(options_.file.path, item.setting->name,
                     not_allowed(*item.setting, value_text(*item.setting, item.value), why),
                     held_text(*item.setting, link_->image()));
        if (force_) {
            warn(QStringLiteral("restore: warning: %1; written anyway (--force)").arg(problem));
            continue;
        }
        warn(QStringLiteral("restore: %1 (--force writes it anyway, --except %2 leaves it out)")
                 .arg(problem, item.setting->name));
        ok = false;
    }
    if (!ok)
        warn(QStringLiteral("restore: refused, nothing written"));
    return ok;
}

void RestoreCommand::go(int to_write)
{
    if (options_.dry_run) {
        say(QStringLiteral("Dry run: %1 to write; nothing was written.\n")
                .arg(to_write == 1 ? QStringLiteral("1 setting")
                                   : QStringLiteral("%1 settings").arg(to_write)));
        stop(exit_code::OK);
        return;
    }
    if (to_write == 0) {
        stop(exit_code::OK);
        return;
    }
    if (options_.yes) {
        startWriting();
        return;
    }
    ask(this,
        QStringLiteral("Write %1 setting%2 to the BMS? [y/N] ")
            .arg(to_write)
            .arg(to_write == 1 ? "" : "s"),
        [this](bool yes) {
            if (yes) {
                startWriting();
                return;
            }
            warn(QStringLiteral("restore: not confirmed, nothing written"));
            stop(exit_code::FAILED);
        });
}
