// One of the programs recording at once: records N visits of one pack, each
// through a recorder of its own as N bmsctl commands in a row would, each with a
// settings write. Exit 1 with the warning on the first one not recorded.
//
//   history_writer URL SERIAL N PROGRAM

#include "history_recorder.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: history_writer URL SERIAL N PROGRAM\n");
        return 2;
    }
    PackIdentity identity;
    identity.serial_number = args.at(2);
    identity.bms_serial = QStringLiteral("00112233445566778899AABB");
    identity.firmware = 18;
    PackState state;
    state.voltage_mv = 38000;
    const int count = args.at(3).toInt();
    for (int i = 0; i < count; ++i) {
        HistoryRecorder history(args.at(1), args.at(4));
        state.soc_percent = i;
        QString warning = history.visit(QStringLiteral("set"), identity, state);
        if (warning.isEmpty())
            warning = history.settingsWrite({QStringLiteral("capacity"), i, i + 1, true});
        if (!warning.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(warning));
            return 1;
        }
    }
    return 0;
}
