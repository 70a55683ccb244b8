#include "app/program_state.h"

QSerialPort *serial_port = nullptr;

QTimer *bms_registers_request_send_timer = nullptr;
QTimer *values_refresh_timer = nullptr;
QTimer *disconnect_timer = nullptr;
QTimer *upgrade_command_check_timer = nullptr;
QTimer *upgrade_command_retry_timer = nullptr;

QByteArray tx_frame;
QByteArray rx_buffer;
RegisterImage reply_buffer{};
RegisterImage bms_registers{};
qint32 register_request_offset = 0;

QByteArray upgrade_frame;
QFile firmware_file;
FirmwareImage firmware_image{};
quint16 hex_lines_total = 0;
quint8 upgrade_state = UPGRADE_IDLE;
quint8 upgrade_attempt = 0;
quint16 hex_line_number = 0;
quint32 firmware_crc = 0;
