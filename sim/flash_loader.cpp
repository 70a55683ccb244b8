#include "flash_loader.h"

#include <QFile>

#include <cstring>

FlashLoader::FlashLoader() : rng(1)
{
    memory.fill(0xFF);
}

void FlashLoader::configure(const LoaderFaults &f)
{
    faults = f;
    rng.seed(f.seed ^ 0xF1A5u);
}

bool FlashLoader::chance(double share)
{
    return share > 0 && std::uniform_real_distribution<double>(0.0, 1.0)(rng) < share;
}

void FlashLoader::set_status(wire::Registers &registers, const quint8 *status)
{
    std::memcpy(registers.data() + 2 * wire::LOADER_STATUS, status, wire::LOADER_STATUS_BYTES);
}

void FlashLoader::handle_command(const QByteArray &frame, wire::Registers &registers)
{
    if (faults.no_loader || frame.size() < 10)
        return;
    // Whatever was still pending has long been carried out by now.
    if (late_pending) {
        set_status(registers, late_status);
        late_pending = false;
    }
    transmissions = frame == last_frame ? transmissions + 1 : 1;
    last_frame = frame;
    if (transmissions <= faults.ignore_first)
        return;

    const auto *bytes = reinterpret_cast<const quint8 *>(frame.constData());
    quint8 status[4] = {bytes[4], bytes[5], bytes[6], bytes[7]};
    switch (bytes[4]) {
    case wire::ERASE:
        memory.fill(0xFF);
        break;
    case wire::PROGRAM_LINE: {
        const int n = bytes[5];
        const int address = bytes[6] << 8 | bytes[7];
        if (bytes[2] != n + 4 || frame.size() != n + 10)
            return;
        // 0xFFFF marks a record that belongs to no flash address; it is taken and
        // dropped, as the tool leaves it out of its image too.
        if (address == 0xFFFF)
            break;
        if (address + n > wire::FLASH_BYTES)
            return; // refused: the status keeps naming the previous command
        std::memcpy(memory.data() + address, bytes + 8, static_cast<size_t>(n));
        break;
    }
    case wire::CHECK_CRC: {
        const quint32 wanted = quint32(bytes[5]) | quint32(bytes[6]) << 8 |
                               quint32(bytes[7]) << 16 | quint32(bytes[8]) << 24;
        const quint32 found = wire::loader_crc(memory.data(), wire::FLASH_BYTES);
        if (found != wanted) {
            status[0] = LOADER_CRC_MISMATCH;
            status[1] = wire::CHECK_CRC;
            status[2] = static_cast<quint8>(found & 0xFF);
            status[3] = static_cast<quint8>((found >> 8) & 0xFF);
        }
        dump_flash();
        break;
    }
    default:
        return;
    }

    if (chance(faults.late_status)) {
        std::memcpy(late_status, status, sizeof late_status);
        late_pending = true;
        late_polls_left = 1;
        return;
    }
    set_status(registers, status);
}

bool FlashLoader::status_polled(wire::Registers &registers)
{
    if (chance(faults.drop_status))
        return false;
    if (late_pending) {
        if (late_polls_left > 0) {
            --late_polls_left; // this poll still sees the previous status
        } else {
            set_status(registers, late_status);
            late_pending = false;
        }
    }
    return true;
}

void FlashLoader::dump_flash() const
{
    if (faults.flash_dump.isEmpty())
        return;
    QFile out(faults.flash_dump);
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        out.write(reinterpret_cast<const char *>(memory.data()), wire::FLASH_BYTES);
}
