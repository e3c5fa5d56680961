#include "devices/device_node_io.h"

#include <unistd.h>

#include <cstdlib>

namespace varkel {

namespace {

char* linux_resolve(const char* path, char* resolved) {
    return ::realpath(path, resolved);
}
int linux_stat(const char* path, struct stat* status) {
    return ::stat(path, status);
}
ssize_t linux_read_link(const char* path, char* target, size_t size) {
    return ::readlink(path, target, size);
}

}  // namespace

const DeviceNodeIo kLinuxDeviceNodeIo{
    .resolve = linux_resolve,
    .stat = linux_stat,
    .read_link = linux_read_link,
};

DeviceNodeIo device_node_io = kLinuxDeviceNodeIo;

}  // namespace varkel
