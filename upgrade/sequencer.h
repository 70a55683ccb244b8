#ifndef UPGRADE_SEQUENCER_H
#define UPGRADE_SEQUENCER_H

#include <QtGlobal>

enum UpgradeState : quint8 {
    UPGRADE_IDLE = 0,
    UPGRADE_ERASING = 1,
    UPGRADE_SENDING_LINES = 2,
    UPGRADE_CHECKING_CRC = 3,
};

constexpr quint8 UPGRADE_MAX_ATTEMPTS = 10;

#endif // UPGRADE_SEQUENCER_H
