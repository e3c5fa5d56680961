#include "devices/serial_port_io.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace varkel {

namespace {

int linux_open(const char* path, int flags) {
    return ::open(path, flags);
}
int linux_fstat(int fd, struct stat* status) {
    return ::fstat(fd, status);
}
int linux_close(int fd) {
    return ::close(fd);
}
int linux_get_modem_lines(int fd, int* bits) {
    return ioctl(fd, TIOCMGET, bits);
}
int linux_set_modem_lines(int fd, int bits) {
    return ioctl(fd, TIOCMBIS, &bits);
}
int linux_clear_modem_lines(int fd, int bits) {
    return ioctl(fd, TIOCMBIC, &bits);
}
// Plain requests rather than tcgetattr, so that a simulated port sees them.
int linux_keep_lines_at_close(int fd) {
    termios settings{};
    if (ioctl(fd, TCGETS, &settings) == -1) {
        return -1;
    }
    if ((settings.c_cflag & HUPCL) == 0) {
        return 0;
    }
    settings.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    return ioctl(fd, TCSETS, &settings);
}

}  // namespace

const SerialPortIo kLinuxSerialPortIo{
    .open = linux_open,
    .fstat = linux_fstat,
    .close = linux_close,
    .get_modem_lines = linux_get_modem_lines,
    .set_modem_lines = linux_set_modem_lines,
    .clear_modem_lines = linux_clear_modem_lines,
    .keep_lines_at_close = linux_keep_lines_at_close,
};

SerialPortIo serial_port_io = kLinuxSerialPortIo;

}  // namespace varkel
