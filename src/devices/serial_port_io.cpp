#include "devices/serial_port_io.h"

#include <fcntl.h>
#include <sys/ioctl.h>
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

}  // namespace

const SerialPortIo kLinuxSerialPortIo{
    .open = linux_open,
    .fstat = linux_fstat,
    .close = linux_close,
    .get_modem_lines = linux_get_modem_lines,
    .set_modem_lines = linux_set_modem_lines,
    .clear_modem_lines = linux_clear_modem_lines,
};

SerialPortIo serial_port_io = kLinuxSerialPortIo;

}  // namespace varkel
