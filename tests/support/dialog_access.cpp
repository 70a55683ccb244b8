#include "dialog_access.h"

#include "app/program_state.h"

void reset_program_state()
{
    tx_frame.clear();
    rx_buffer.clear();
    reply_buffer.fill(0);
    bms_registers.fill(0);
    register_request_offset = 0;
    upgrade_frame.clear();
    if (firmware_file.isOpen())
        firmware_file.close();
    firmware_image.fill(0);
    hex_lines_total = 0;
    upgrade_state = UPGRADE_IDLE;
    upgrade_attempt = 0;
    hex_line_number = 0;
    firmware_crc = 0;
}
