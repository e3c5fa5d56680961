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
};

// The real requests, and the table the driver uses (real by default).
extern const SerialPortIo kLinuxSerialPortIo;
extern SerialPortIo serial_port_io;

}  // namespace varkel
