#include "devices/serial_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/logging.h"
#include "core/process_exit.h"
#include "devices/keying_device.h"
#include "devices/serial_lines.h"
#include "devices/serial_port_io.h"

namespace varkel {

namespace {

const char* description_of(const KeyingDevice* device) {
    return device->description ? device->description->c_str() : "";
}

// One request naming one line, so a key edge and a PTT change made at the
// same moment never undo each other. False after a failure: the report is
// made and the process is ending.
bool change_line(KeyingDevice* device, bool set, int line) {
    const int result = set ? serial_port_io.set_modem_lines(device->fd, line)
                           : serial_port_io.clear_modem_lines(device->fd, line);
    if (result >= 0) {
        return true;
    }
    error_report("Ioctl serial port %s", description_of(device));
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
    // our controlling terminal; closed in any program a library starts, so
    // that our close is the last and drops the lines.
    const int fd = serial_port_io.open(node.path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd == -1) {
        // The one failure an operator can mend without a soldering iron.
        if (errno == EACCES || errno == EPERM) {
            debug_log(WW,
                      "serial port %s: %s; its group is dialout: sudo adduser $USER dialout, "
                      "then log in again",
                      node.path, strerror(errno));
        }
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
    const int unused = unused_serial_line();
    if (unused != 0 && !process_is_ending()) {
        change_line(device, false, unused);
    }
    // An active-low line is asserted at rest, and the kernel would drop it
    // at the last close, keying the transmitter whenever the daemon ends.
    if ((serial_lines.key_inverted || serial_lines.ptt_inverted) && !process_is_ending() &&
        serial_port_io.keep_lines_at_close(fd) == -1) {
        debug_log(WW, "serial port %s will drop its lines when closed (HUPCL stays set)",
                  description_of(device));
    }
    return 0;
}

int32_t serial_release(KeyingDevice* device) {
    device->reset(device);
    serial_port_io.close(device->fd);
    return 0;
}

int32_t serial_reset(KeyingDevice* device) {
    // Key first: PTT never falls under a keyed line.
    if (change_line(device, key_line_level(0), serial_lines.key_line) &&
        serial_lines.ptt_line != 0) {
        change_line(device, ptt_line_level(0), serial_lines.ptt_line);
    }
    return 0;
}

int32_t serial_key(KeyingDevice* device, int32_t state) {
    change_line(device, key_line_level(state), serial_lines.key_line);
    return 0;
}

int32_t serial_ptt(KeyingDevice* device, int32_t state) {
    if (serial_lines.ptt_line != 0) {
        change_line(device, ptt_line_level(state), serial_lines.ptt_line);
    }
    return 0;
}

void serial_rest_from_signal(int fd) {
    // Results are not looked at: nothing more can be done from here.
    const auto rest = [fd](int line, bool set) {
        if (set) {
            serial_port_io.set_modem_lines(fd, line);
        } else {
            serial_port_io.clear_modem_lines(fd, line);
        }
    };
    rest(serial_lines.key_line, key_line_level(0));
    if (serial_lines.ptt_line != 0) {
        rest(serial_lines.ptt_line, ptt_line_level(0));
    }
}

}  // namespace varkel
