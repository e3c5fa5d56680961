#include "devices/parallel_port_io.h"

#include <fcntl.h>
#include <linux/ppdev.h>
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
int linux_claim(int fd) {
    return ioctl(fd, PPCLAIM);
}
int linux_read_control(int fd, unsigned char* value) {
    return ioctl(fd, PPRCONTROL, value);
}
int linux_write_control(int fd, unsigned char value) {
    return ioctl(fd, PPWCONTROL, &value);
}
int linux_write_data(int fd, unsigned char value) {
    return ioctl(fd, PPWDATA, &value);
}
int linux_read_status(int fd, unsigned char* value) {
    return ioctl(fd, PPRSTATUS, value);
}

}  // namespace

const ParallelPortIo kLinuxParallelPortIo{
    .open = linux_open,
    .fstat = linux_fstat,
    .close = linux_close,
    .claim = linux_claim,
    .read_control = linux_read_control,
    .write_control = linux_write_control,
    .write_data = linux_write_data,
    .read_status = linux_read_status,
};

ParallelPortIo parallel_port_io = kLinuxParallelPortIo;

}  // namespace varkel
