#include "devices/parallel_device.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "core/logging.h"
#include "devices/device_node.h"
#include "devices/keying_device.h"
#include "devices/parallel_port_io.h"

namespace varkel {

namespace {

// A failed request: the report names it, then the process ends. False so
// that the caller makes no further request.
bool failed(const char* request) {
    error_report("%s", request);
    end_on_device_failure();
    return false;
}

bool change_control_bits(int fd, unsigned char mask, unsigned char value) {
    unsigned char control = 0;
    if (parallel_port_io.read_control(fd, &control) == -1) {
        return failed("Parallel port PPIGCTRL");
    }
    control = static_cast<unsigned char>((control & ~mask) | value);
    if (parallel_port_io.write_control(fd, control) == -1) {
        return failed("Parallel port PPISCTRL");
    }
    return true;
}

bool write_data(int fd, unsigned char value) {
    if (parallel_port_io.write_data(fd, value) == -1) {
        return failed("Parallel port PPISDATA");
    }
    return true;
}

}  // namespace

int probe_parallel(const char* text, bool* held_elsewhere) {
    if (held_elsewhere != nullptr) {
        *held_elsewhere = false;
    }
    DeviceNode node{};
    if (!find_device_node(text, PortKind::parallel, node)) {
        return -1;
    }
    // Closed in any program a library starts: a copy would keep our claim.
    const int fd = parallel_port_io.open(node.path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        return -1;
    }
    struct stat status {};
    if (parallel_port_io.fstat(fd, &status) == -1 || !is_device_node(status, node)) {
        parallel_port_io.close(fd);
        return -1;
    }
    // Only a parallel port accepts the claim, and its registers answer only
    // once it is claimed. The claim belongs to this open file: closing the
    // last descriptor of it lets the port go.
    if (parallel_port_io.claim(fd) == -1) {
        if (errno == EBUSY && held_elsewhere != nullptr) {
            *held_elsewhere = true;
        }
        parallel_port_io.close(fd);
        return -1;
    }
    return fd;
}

bool names_open_parallel_port(const char* text, int fd) {
    DeviceNode node{};
    struct stat open_port {};
    return fd >= 0 && find_device_node(text, PortKind::parallel, node) &&
           parallel_port_io.fstat(fd, &open_port) == 0 && is_device_node(open_port, node);
}

void set_control_bits(int fd, unsigned char mask, unsigned char value) {
    change_control_bits(fd, mask, value);
}

int32_t parallel_init(KeyingDevice* device, int32_t fd) {
    if (change_control_bits(fd, kControlInUse, kControlInUse)) {
        device->fd = fd;
        device->reset(device);
    }
    return 0;
}

// The pins keep their levels once the port is let go: the key goes up and
// PTT off with the in-use marker, in one write; the audio route and the
// data stay. Closing the descriptor lets the claim go.
int32_t parallel_release(KeyingDevice* device) {
    change_control_bits(device->fd, kControlInUse | kControlKey | kControlPtt, kControlKey);
    parallel_port_io.close(device->fd);
    return 0;
}

int32_t parallel_reset(KeyingDevice* device) {
    const int fd = device->fd;
    // A failure ends the process; the bits changed before it stay.
    if (change_control_bits(fd, kControlKey, kControlKey) &&  // key up
        change_control_bits(fd, kControlPtt, 0) &&            // PTT off
        change_control_bits(fd, kControlSsb, 0)) {            // microphone
        write_data(fd, 0);
    }
    return 0;
}

int32_t parallel_key(KeyingDevice* device, int32_t state) {
    // The key line is active low.
    change_control_bits(device->fd, kControlKey, state == 1 ? 0 : kControlKey);
    return 0;
}

int32_t parallel_ptt(KeyingDevice* device, int32_t state) {
    change_control_bits(device->fd, kControlPtt, state == 1 ? kControlPtt : 0);
    return 0;
}

int32_t parallel_ssb_way(KeyingDevice* device, int32_t state) {
    change_control_bits(device->fd, kControlSsb, state == 1 ? kControlSsb : 0);
    return 0;
}

int32_t parallel_band_switch(KeyingDevice* device, uint8_t code) {
    write_data(device->fd, code);
    return 0;
}

int32_t parallel_read_ptt_switch(KeyingDevice* device) {
    unsigned char status = 0;
    if (parallel_port_io.read_status(device->fd, &status) == -1) {
        failed("Parallel port PPIGSTATUS");
        return 1;  // as an open switch; the process is ending
    }
    return (status & kStatusFootSwitch) != 0 ? 1 : 0;
}

void parallel_rest_from_signal(int fd) {
    // Key up, then PTT off, each one read-modify-write of the control
    // register; a failed read leaves the register alone.
    unsigned char control = 0;
    if (parallel_port_io.read_control(fd, &control) != -1) {
        parallel_port_io.write_control(fd, static_cast<unsigned char>(control | kControlKey));
    }
    if (parallel_port_io.read_control(fd, &control) != -1) {
        parallel_port_io.write_control(fd, static_cast<unsigned char>(control & ~kControlPtt));
    }
}

}  // namespace varkel
