#ifndef LINK_SERIAL_SEND_H
#define LINK_SERIAL_SEND_H

#include <QByteArray>

// Writes `frame` to serial_port in one write and waits at most 1000 ms for it to
// leave. Neither result is examined: a lost frame shows as a missing reply.
void send_frame(const QByteArray &frame);

#endif // LINK_SERIAL_SEND_H
