// The platform calls that tell what a name under /dev is without opening
// it. Tests put a simulated file system in their place.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace varkel {

struct DeviceNodeIo {
    // realpath: resolved has room for PATH_MAX bytes.
    char* (*resolve)(const char* path, char* resolved);
    int (*stat)(const char* path, struct stat* status);
    ssize_t (*read_link)(const char* path, char* target, size_t size);  // readlink
};

// The real calls, and the table the probes use (real by default).
extern const DeviceNodeIo kLinuxDeviceNodeIo;
extern DeviceNodeIo device_node_io;

}  // namespace varkel
