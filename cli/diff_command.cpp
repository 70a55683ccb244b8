#include "diff_command.h"

#include "arguments.h"
#include "bms_link.h"
#include "output.h"
#include "terminal.h"
#include "views.h"

CommandInfo DiffCommand::info()
{
    return {"diff",
            "diff FILE|-",
            "settings that differ between the BMS and FILE",
            "Lists the settings whose value on the BMS differs from FILE's (exit 0 either way);\n"
            "- reads the file from standard input.",
            "bmsctl diff pack-0117.json",
            {},
            true};
}

bool DiffCommand::parse(const QCommandLineParser &, const QStringList &arguments)
{
    return read_file_argument(QStringLiteral("diff"), arguments, options_.file);
}

void DiffCommand::run(BmsLink *link)
{
    note_other_board(QStringLiteral("diff"), options_.file, link->image());
    say(diff_report(options_.file, link->image()));
    emit finished(exit_code::OK);
}
