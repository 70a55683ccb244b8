#include "sim/flash_loader.h"

#include "sim/bms_model.h"

void FlashLoader::handle_command(const QByteArray &frame, RegisterImage &registers)
{
    const int status = 2 * SIM_STATUS_REGISTER;
    for (int i = 0; i < 4; ++i)
        registers[static_cast<size_t>(status + i)] =
            4 + i < frame.size() ? static_cast<quint8>(frame.at(4 + i)) : 0;
}
