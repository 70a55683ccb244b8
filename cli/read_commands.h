#ifndef CLI_READ_COMMANDS_H
#define CLI_READ_COMMANDS_H

// info, get, backup and diff: one snapshot of the whole register space, printed.

#include "command.h"
#include "invocation.h"

class QSaveFile;

class ReadCommand : public Command
{
    Q_OBJECT

public:
    explicit ReadCommand(const Invocation &invocation, QObject *parent = nullptr);

    int prepare() override;
    void run(BmsLink *link) override;

private:
    int backup(const RegisterImage &image);
    int diff(const RegisterImage &image);
    int get(const RegisterImage &image);

    Invocation inv_;
    QSaveFile *output_ = nullptr; // backup -o
};

#endif // CLI_READ_COMMANDS_H
