#ifndef CLI_BATCH_H
#define CLI_BATCH_H

// Several boards at once: one link per port in the one event loop, each command
// as it is for one board but with its output gathered per port (a heading, a
// column, a line of its own). Single-port runs never come here.

#include "command.h"
#include "command_line.h"

#include <QString>
#include <QVector>

struct BatchPort {
    QString path;  // as given
    QString label; // the path given, plus its /dev/serial/by-id link where there is one
};

// The ports of --port (more than one) or --all-ports, each named once; -1 to go
// on, else the exit code after the reason was reported: 2 for a port named twice
// or a command that runs on one port at a time, 3 when --all-ports finds none.
int batch_ports(const GlobalOptions &global, QVector<BatchPort> *ports);

// Whether `command` runs on several ports at once.
bool runs_as_batch(const QString &command);

// Runs `command` on every port from the running application's event loop; the
// exit code is the highest of the boards'.
int run_batch(Command *command, const GlobalOptions &global, const QVector<BatchPort> &ports);

#endif // CLI_BATCH_H
