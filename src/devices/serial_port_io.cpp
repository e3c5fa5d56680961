#include "devices/serial_port_io.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

int linux_wait_modem_lines(int fd, int mask) {
    return ioctl(fd, TIOCMIWAIT, mask);
}
int linux_get_input_counts(int fd, InputLineCounts* counts) {
    serial_icounter_struct kernel{};
    if (ioctl(fd, TIOCGICOUNT, &kernel) == -1) {
        return -1;
    }
    *counts = {.cts = kernel.cts, .dsr = kernel.dsr, .dcd = kernel.dcd, .ri = kernel.rng};
    return 0;
}
int linux_set_low_latency(int fd) {
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) == -1) {
        return -1;
    }
    if ((info.flags & ASYNC_LOW_LATENCY) != 0) {
        return 0;
    }
    info.flags |= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &info);
}
int linux_latency_timer_ms(const char* path) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved) == nullptr) {
        return -1;
    }
    const char* slash = strrchr(resolved, '/');
    char timer_path[PATH_MAX + 64];
    snprintf(timer_path, sizeof timer_path, "/sys/class/tty/%s/device/latency_timer",
             slash != nullptr ? slash + 1 : resolved);
    FILE* file = fopen(timer_path, "re");
    if (file == nullptr) {
        return -1;
    }
    int ms = -1;
    if (fscanf(file, "%d", &ms) != 1) {
        ms = -1;
    }
    fclose(file);
    return ms;
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
    .wait_modem_lines = linux_wait_modem_lines,
    .get_input_counts = linux_get_input_counts,
    .set_low_latency = linux_set_low_latency,
    .latency_timer_ms = linux_latency_timer_ms,
};

SerialPortIo serial_port_io = kLinuxSerialPortIo;

}  // namespace varkel
