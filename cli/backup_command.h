#ifndef CLI_BACKUP_COMMAND_H
#define CLI_BACKUP_COMMAND_H

// backup [-o FILE]: every setting to a JSON file, or to standard output.

#include "command.h"

class QSaveFile;

class BackupCommand : public Command
{
    Q_OBJECT
    friend class BatchBackup; // runs it on several boards at once

public:
    static CommandInfo info();

    bool parse(const QCommandLineParser &options, const QStringList &arguments) override;
    int prepare() override;
    void run(BmsLink *link) override;

private:
    struct Options {
        QString output; // standard output when empty
    } options_;
    QSaveFile *output_ = nullptr;
};

#endif // CLI_BACKUP_COMMAND_H
