#include "command.h"

#include "terminal.h"

void Command::setHistory(const QString &database, bool enabled)
{
    history_database_ = database;
    history_enabled_ = enabled;
    history_.reset();
}

HistoryRecorder &Command::history()
{
    if (!history_)
        history_ = std::make_unique<HistoryRecorder>(history_database_, QStringLiteral("bmsctl"),
                                                     history_enabled_);
    return *history_;
}

void Command::noteHistory(const QString &warning)
{
    if (!warning.isEmpty())
        warn(warning);
}
