#ifndef CLI_REGISTRY_H
#define CLI_REGISTRY_H

// Every bmsctl command, in the order bmsctl --help lists them.

#include "command.h"

#include <QString>

#include <memory>
#include <vector>

struct CommandEntry {
    CommandInfo (*info)();
    std::unique_ptr<Command> (*make)();
};

const std::vector<CommandEntry> &commands();
const CommandEntry *find_command(const QString &name); // null when there is none

#endif // CLI_REGISTRY_H
