// Whether a device name from the command line or the network may be opened
// as a keying port. Opening is not harmless: a watchdog that is opened and
// closed reboots the machine, a terminal raises DTR and RTS when opened, and
// a name with ".." leaves /dev. So a name is checked before anything is
// opened: it must resolve to a character device under /dev whose class the
// kernel reports as one the probe can drive.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace varkel {

// "/dev/" and the name, and the node it resolves to, fit this.
inline constexpr size_t kDevicePathSize = 1024;

enum class PortKind {
    serial,    // a terminal with a serial port behind it (tty class, with a device)
    parallel,  // a Linux ppdev port
};

struct DeviceNode {
    char path[kDevicePathSize];  // under /dev, every link resolved
    dev_t number;                // to check that what is opened is this node
};

// Resolves "/dev/<text>" and tells whether it is a node of the given kind.
// Opens nothing and logs nothing.
bool find_device_node(const char* text, PortKind kind, DeviceNode& node);

// Whether an opened file is the node that was checked.
bool is_device_node(const struct stat& status, const DeviceNode& node);

}  // namespace varkel
