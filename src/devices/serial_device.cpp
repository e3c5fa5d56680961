#include "devices/serial_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstdio>

#include "core/logging.h"
#include "devices/keying_device.h"
#include "devices/serial_port_io.h"

namespace varkel {

namespace {

// The kernel's modem-line bits for the two lines this driver drives.
constexpr int kKeyLine = TIOCM_DTR;
constexpr int kPttLine = TIOCM_RTS;

// One request naming one line, so a key edge and a PTT change made at the
// same moment never undo each other. False after a failure: the report is
// made and the process is ending.
bool change_line(KeyingDevice* device, bool set, int line) {
    const int result = set ? serial_port_io.set_modem_lines(device->fd, line)
                           : serial_port_io.clear_modem_lines(device->fd, line);
    if (result >= 0) {
        return true;
    }
    error_report("Ioctl serial port %s", device->description ? device->description->c_str() : "");
    end_on_device_failure();
    return false;
}

}  // namespace

int probe_serial(const char* text) {
    DeviceNode node{};
    if (!find_device_node(text, PortKind::serial, node)) {
        return -1;
    }
    // Non-blocking so a port waiting for carrier does not hold us up; never
    // our controlling terminal.
    const int fd = serial_port_io.open(node.path, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (fd == -1) {
        return -1;
    }
    struct stat status {};
    if (serial_port_io.fstat(fd, &status) == -1 || !is_device_node(status, node)) {
        serial_port_io.close(fd);
        return -1;
    }
    // Only a port with modem lines answers this; the bits are not needed.
    int bits = 0;
    if (serial_port_io.get_modem_lines(fd, &bits) == -1) {
        serial_port_io.close(fd);
        return -1;
    }
    return fd;
}

int32_t serial_init(KeyingDevice* device, int32_t fd) {
    device->fd = fd;
    // Opening raised DTR and RTS; the transmitter is keyed until this runs.
    device->reset(device);
    return 0;
}

int32_t serial_release(KeyingDevice* device) {
    device->reset(device);
    serial_port_io.close(device->fd);
    return 0;
}

int32_t serial_reset(KeyingDevice* device) {
    if (change_line(device, false, kKeyLine)) {
        change_line(device, false, kPttLine);
    }
    return 0;
}

int32_t serial_key(KeyingDevice* device, int32_t state) {
    change_line(device, state == 1, kKeyLine);
    return 0;
}

int32_t serial_ptt(KeyingDevice* device, int32_t state) {
    change_line(device, state == 1, kPttLine);
    return 0;
}

}  // namespace varkel
