// The protocol's own cost while connected: the engine alone polling a BMS, ten
// requests and ten replies a second, with no window to show them. bench/window_cpu
// measures it beside the window, so that the window's share reads as a ratio to it.
//
//   bms_poll_floor PORT

#include "bms_link.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: bms_poll_floor PORT\n");
        return 2;
    }
    BmsLink link(BmsLink::Wiring::Internal);
    if (!link.open(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "bms_poll_floor: cannot open %s: %s\n", argv[1],
                     qPrintable(link.errorString()));
        return 1;
    }
    link.startPolling();
    return application.exec();
}
