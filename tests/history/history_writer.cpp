// One of the programs recording at once: records N visits, each through a
// recorder of its own as N bmsctl commands in a row would, each with a settings
// write; by turns of the pack SERIAL and of a pack whose BMS holds no serial
// number (found by reading first, then written). Exit 1 with the warning on the
// first one not recorded.
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
    identity.firmware = 18;
    PackState state;
    state.voltage_mv = 38000;
    const int count = args.at(3).toInt();
    for (int i = 0; i < count; ++i) {
        HistoryRecorder history(args.at(1), args.at(4));
        state.soc_percent = i;
        identity.serial_number = i % 2 ? QString() : args.at(2);
        identity.bms_serial = i % 2 ? QStringLiteral("BB0011223344556677889900")
                                    : QStringLiteral("00112233445566778899AABB");
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
