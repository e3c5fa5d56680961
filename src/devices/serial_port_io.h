// The serial driver's only door to the platform: opening the port and the
// modem-line requests. Tests put a simulated port in its place.
#pragma once

#include <sys/stat.h>

namespace varkel {

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
};

// The real requests, and the table the driver uses (real by default).
extern const SerialPortIo kLinuxSerialPortIo;
extern SerialPortIo serial_port_io;

}  // namespace varkel
