// The serial driver's only door to the platform: opening the port and the
// modem-line requests. Tests put a simulated port in its place.
#pragma once

#include <sys/stat.h>

namespace varkel {

// Transitions seen on each input line since the port was opened.
struct InputLineCounts {
    int cts;
    int dsr;
    int dcd;
    int ri;
    bool operator==(const InputLineCounts&) const = default;
};

struct SerialPortIo {
    int (*open)(const char* path, int flags);
    int (*fstat)(int fd, struct stat* status);
    int (*close)(int fd);
    int (*get_modem_lines)(int fd, int* bits);   // TIOCMGET
    int (*set_modem_lines)(int fd, int bits);    // TIOCMBIS
    int (*clear_modem_lines)(int fd, int bits);  // TIOCMBIC
    // TCGETS, then TCSETS without HUPCL when it is set: the last close
    // then leaves the lines as they are instead of dropping them.
    int (*keep_lines_at_close)(int fd);
    // The paddle's requests. TIOCMIWAIT: sleeps until a line of mask
    // changes (no timeout; a signal without SA_RESTART ends it with EINTR).
    int (*wait_modem_lines)(int fd, int mask);
    int (*get_input_counts)(int fd, InputLineCounts* counts);  // TIOCGICOUNT
    // TIOCGSERIAL, then TIOCSSERIAL with ASYNC_LOW_LATENCY added when it is
    // not set; nothing else changes.
    int (*set_low_latency)(int fd);
    // The USB adapter's latency timer of the port open as path, in ms, or
    // -1 when it has none (sysfs latency_timer).
    int (*latency_timer_ms)(const char* path);
};

// The real requests, and the table the driver uses (real by default).
extern const SerialPortIo kLinuxSerialPortIo;
extern SerialPortIo serial_port_io;

}  // namespace varkel
