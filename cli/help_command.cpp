#include "help_command.h"

#include "arguments.h"
#include "command_line.h"
#include "output.h"
#include "registry.h"
#include "terminal.h"

CommandInfo HelpCommand::info()
{
    return {"help",
            "help [COMMAND]",
            "this overview, or a command's options and example",
            "Prints the overview of the commands, or COMMAND's usage, options and example\n"
            "(the same as bmsctl COMMAND --help).",
            "bmsctl help restore",
            {},
            true};
}

bool HelpCommand::parse(const QCommandLineParser &, const QStringList &arguments)
{
    if (arguments.size() > 1)
        return fail(QStringLiteral("help: one COMMAND at most is expected, %1 given")
                        .arg(arguments.size()));
    if (arguments.isEmpty())
        return true;
    topic_ = arguments.first();
    if (find_command(topic_))
        return true;
    QStringList names;
    for (const CommandEntry &entry : commands())
        names << QLatin1String(entry.info().name);
    return fail(QStringLiteral("help: unknown command \"%1\"; the commands are %2")
                    .arg(topic_, names.join(QStringLiteral(", "))));
}

int HelpCommand::runWithoutPort()
{
    say(topic_.isEmpty() ? global_help() : command_help(find_command(topic_)->info()));
    return exit_code::OK;
}
