#include "registry.h"

#include "backup_command.h"
#include "diff_command.h"
#include "flash_command.h"
#include "get_command.h"
#include "help_command.h"
#include "history_command.h"
#include "info_command.h"
#include "monitor_command.h"
#include "ports_command.h"
#include "report_command.h"
#include "restore_command.h"
#include "set_command.h"

namespace
{

// A command class brings `static CommandInfo info()` and a default constructor.
template <class C> CommandEntry entry()
{
    return {&C::info, [] { return std::unique_ptr<Command>(new C); }};
}

} // namespace

const std::vector<CommandEntry> &commands()
{
    static const std::vector<CommandEntry> list{
        entry<PortsCommand>(),  entry<InfoCommand>(),    entry<MonitorCommand>(),
        entry<ReportCommand>(), entry<GetCommand>(),     entry<SetCommand>(),
        entry<BackupCommand>(), entry<DiffCommand>(),    entry<RestoreCommand>(),
        entry<FlashCommand>(),  entry<HistoryCommand>(), entry<HelpCommand>(),
    };
    return list;
}

const CommandEntry *find_command(const QString &name)
{
    for (const CommandEntry &entry : commands())
        if (name == QLatin1String(entry.info().name))
            return &entry;
    return nullptr;
}
