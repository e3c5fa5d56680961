#include "devices/device_node.h"

#include <sys/sysmacros.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "devices/device_node_io.h"

namespace varkel {

namespace {

constexpr char kDeviceDirectory[] = "/dev/";
constexpr size_t kSysfsPathSize = 64;
constexpr size_t kLinkTargetSize = 256;

// The kernel's class of a character device, from its sysfs entry:
// /sys/dev/char/MAJOR:MINOR/subsystem links to .../class/<name>.
bool sysfs_entry(dev_t number, const char* leaf, char (&path)[kSysfsPathSize]) {
    const int length =
        snprintf(path, sizeof path, "/sys/dev/char/%u:%u/%s", major(number), minor(number), leaf);
    return length >= 0 && static_cast<size_t>(length) < sizeof path;
}

bool has_class(dev_t number, const char* wanted) {
    char path[kSysfsPathSize];
    char target[kLinkTargetSize];
    if (!sysfs_entry(number, "subsystem", path)) {
        return false;
    }
    const ssize_t length = device_node_io.read_link(path, target, sizeof target - 1);
    if (length <= 0) {
        return false;
    }
    target[length] = '\0';
    const char* slash = strrchr(target, '/');
    return strcmp(slash == nullptr ? target : slash + 1, wanted) == 0;
}

// A terminal with hardware behind it (a UART, a USB adapter, a modem) has
// a parent device; the console, virtual consoles, /dev/tty and ptmx have
// none, and pseudo-terminals have no sysfs entry at all.
bool has_hardware(dev_t number) {
    char path[kSysfsPathSize];
    char target[kLinkTargetSize];
    return sysfs_entry(number, "device", path) &&
           device_node_io.read_link(path, target, sizeof target) > 0;
}

bool is_of_kind(dev_t number, PortKind kind) {
    switch (kind) {
        case PortKind::serial:
            return has_class(number, "tty") && has_hardware(number);
        case PortKind::parallel:
            return has_class(number, "ppdev");
    }
    return false;
}

}  // namespace

bool find_device_node(const char* text, PortKind kind, DeviceNode& node) {
    char named[kDevicePathSize];
    const int length = snprintf(named, sizeof named, "%s%s", kDeviceDirectory, text);
    if (length < 0 || static_cast<size_t>(length) >= sizeof named) {
        return false;
    }
    char resolved[PATH_MAX];
    if (device_node_io.resolve(named, resolved) == nullptr) {
        return false;
    }
    // Links such as /dev/serial/by-id/... are followed, but only to a node
    // that is itself under /dev.
    if (strncmp(resolved, kDeviceDirectory, sizeof kDeviceDirectory - 1) != 0 ||
        strlen(resolved) >= sizeof node.path) {
        return false;
    }
    struct stat status {};
    if (device_node_io.stat(resolved, &status) == -1 || !S_ISCHR(status.st_mode) ||
        !is_of_kind(status.st_rdev, kind)) {
        return false;
    }
    snprintf(node.path, sizeof node.path, "%s", resolved);
    node.number = status.st_rdev;
    return true;
}

bool is_device_node(const struct stat& status, const DeviceNode& node) {
    return S_ISCHR(status.st_mode) && status.st_rdev == node.number;
}

}  // namespace varkel
