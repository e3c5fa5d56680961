#include "devices/keying_device.h"

#include <unistd.h>

#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>

#include "core/logging.h"
#include "core/process_exit.h"
#include "devices/null_device.h"
#include "devices/parallel_device.h"
#include "devices/parallel_port_io.h"
#include "devices/selection_io.h"
#include "devices/serial_device.h"
#include "devices/serial_lines.h"
#include "devices/serial_port_io.h"
#include "devices/signal_rest.h"

namespace varkel {

// The drivers' operations never change; fd and description change only in
// select_device, set_default_descriptions and free_descriptions, under the
// device lock.
KeyingDevice serial_device{
    .init = serial_init,
    .release = serial_release,
    .reset = serial_reset,
    .key = serial_key,
    .ptt = serial_ptt,
    .ssb_way = nullptr,          // DTR and RTS are taken by key and PTT
    .band_switch = nullptr,      // no data lines are driven
    .read_ptt_switch = nullptr,  // the modem inputs are not read
    .fd = 0,
    .description = std::nullopt,
};

KeyingDevice null_device{
    .init = null_init,
    .release = null_release,
    .reset = null_reset,
    .key = null_key,
    .ptt = null_ptt,
    .ssb_way = nullptr,          // no hardware to route audio
    .band_switch = nullptr,      // no hardware to switch bands
    .read_ptt_switch = nullptr,  // no foot switch to read
    .fd = 0,
    .description = std::nullopt,
};

KeyingDevice parallel_device{
    .init = parallel_init,
    .release = parallel_release,
    .reset = parallel_reset,
    .key = parallel_key,
    .ptt = parallel_ptt,
    .ssb_way = parallel_ssb_way,
    .band_switch = parallel_band_switch,
    .read_ptt_switch = parallel_read_ptt_switch,
    .fd = 0,
    .description = std::nullopt,
};

// Read by every thread; stored only under the device lock.
std::atomic<KeyingDevice*> current_device{&null_device};

namespace {

// The device lock: held around every driver call and every change of the
// current device. The owner is kept so that a driver that fails can let go
// of it before the process ends from inside a driver call.
std::mutex g_device_mutex;
std::atomic<std::thread::id> g_device_lock_owner{};

// Whether the key line was last driven down, and the PTT line on. Written
// under the device lock.
std::atomic<bool> g_key_down{false};
std::atomic<bool> g_ptt_on{false};
// When the key line last went up (CLOCK_MONOTONIC ns); 0 before any key-up.
std::atomic<int64_t> g_last_key_up_ns{0};
// The PTT line is on while the daemon asks for it (automatic or manual PTT,
// through device_ptt) or the foot switch was last read pressed: each of the
// two lets the line fall only when the other does not hold it. Written
// under the device lock.
std::atomic<bool> g_ptt_asked{false};
std::atomic<bool> g_switch_holds_ptt{false};

// Once set, no driver is called again: a request has failed and the process
// is ending, the current device has been released at exit, or this is the
// parent that detached and the child drives the port.
std::atomic<bool> g_devices_stopped{false};

// Set once the process has begun to end: libcw may still report edges while
// its generator is being stopped, and they must not key the port again.
std::atomic<bool> g_keying_ended{false};

// Bumped by every selection, so that the paddle's thread knows its port.
std::atomic<uint32_t> g_generation{0};

// Lets go of the device lock if this thread holds it; true if it did.
bool unlock_device_if_owner() {
    if (g_device_lock_owner.load() != std::this_thread::get_id()) {
        return false;
    }
    g_device_lock_owner.store(std::thread::id{});
    g_device_mutex.unlock();
    // Written only now: a stuck log output must not keep the lock, which
    // libcw's thread needs for every key edge.
    release_log_lines();
    return true;
}

class DeviceLock {
  public:
    DeviceLock() {
        g_device_mutex.lock();
        g_device_lock_owner.store(std::this_thread::get_id());
        hold_log_lines();
    }
    ~DeviceLock() {
        // A failing driver may have let go of the lock already.
        unlock_device_if_owner();
    }
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;
};

// Ends the process from under the device lock: the clean-up handlers that
// exit runs take the lock again to bring the device to rest.
void exit_releasing_device_lock(int status) {
    unlock_device_if_owner();
    exit_process(status);
}

// Whether a wrapper may drive the device. Called under the device lock.
bool drivable(const KeyingDevice* device) {
    return device != nullptr && device == current_device.load() && !g_devices_stopped.load() &&
           !g_keying_ended.load() && !device_rested_by_signal();
}

int64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Drives the key line and keeps its state. Called under the device lock.
void drive_key(KeyingDevice* device, int32_t state) {
    device->key(device, state);
    if (state != 1 && g_key_down.load()) {
        g_last_key_up_ns.store(now_ns());
    }
    g_key_down.store(state == 1);
}

// A wrapper's driver calls with the test that they may be made: a fatal
// signal's rest that lands while one is under way is made again after it
// (devices/signal_rest.h). Called under the device lock.
class DriverCall {
  public:
    DriverCall() { driver_call_begin(); }
    ~DriverCall() { driver_call_end(made_); }
    DriverCall(const DriverCall&) = delete;
    DriverCall& operator=(const DriverCall&) = delete;
    // drivable(device), remembering that the driver is then called.
    bool drivable(const KeyingDevice* device) {
        const bool may = varkel::drivable(device);
        made_ = made_ || may;
        return may;
    }

  private:
    bool made_ = false;
};

bool copy_description(const char* text, std::optional<std::string>& copy) {
    return selection_io.copy_text(text, copy);
}

// The device is at rest: key up, PTT off, and the foot switch counts as
// open until it is next read. Called under the device lock.
void forget_line_states() {
    g_key_down.store(false);
    g_ptt_on.store(false);
    g_ptt_asked.store(false);
    g_switch_holds_ptt.store(false);
}

// Drives the PTT line; never lets it fall under a keyed line. libcw asks
// for PTT off just before its final key-up; dropping PTT under a keyed
// line would hot-switch the transmitter. A PTT that is already off cannot
// fall, so the key is left. Called under the device lock.
void drive_ptt_locked(KeyingDevice* device, bool on) {
    if (!on && g_ptt_on.load() && g_key_down.load()) {
        drive_key(device, 0);
    }
    device->ptt(device, on ? 1 : 0);
    g_ptt_on.store(on);
}

// Brings a device that is no longer to be driven to rest and ends its use,
// closing its descriptor. Called under the device lock.
void retire(KeyingDevice* device) {
    if (device == nullptr || g_devices_stopped.load()) {
        return;
    }
    publish_signal_rest(nullptr, -1);
    if (device->reset != nullptr) {
        device->reset(device);
    }
    forget_line_states();
    if (device->release != nullptr) {
        device->release(device);
    }
}

// A probe's descriptor that will not be used (0 and -1 stand for the null
// device and are no descriptors).
void close_unused_descriptor(const KeyingDevice* kind, int32_t fd) {
    if (kind == &serial_device) {
        serial_port_io.close(fd);
    } else if (kind == &parallel_device) {
        parallel_port_io.close(fd);
    }
}

void log_not_root() {
    debug_log(EE, "you must run this program as root to use parallel port");
}

}  // namespace

bool select_device(std::atomic<KeyingDevice*>& target, const char* text) {
    if (text == nullptr || text[0] == '\0') {
        debug_log(EE, "invalid device description \"%s\"", text == nullptr ? "(null)" : text);
        return false;
    }

    KeyingDevice* chosen = nullptr;
    int32_t fd = probe_serial(text);
    if (fd != -1) {
        chosen = &serial_device;
    } else {
        if (target.load() == &parallel_device &&
            names_open_parallel_port(text, parallel_device.fd)) {
            // Our own claim would make the probe's claim wait for ever.
            if (selection_io.effective_user_id() != 0) {
                log_not_root();
                return false;
            }
            DeviceLock lock;
            retire(&parallel_device);
            target.store(&null_device);
        }
        bool held_elsewhere = false;
        fd = probe_parallel(text, &held_elsewhere);
        if (held_elsewhere) {
            debug_log(WW,
                      "parallel port \"%s\" is held by another program, keeping the current "
                      "keying device",
                      text);
            return false;
        }
        if (fd != -1) {
            if (selection_io.effective_user_id() != 0) {
                log_not_root();
                parallel_port_io.close(fd);
                return false;
            }
            chosen = &parallel_device;
        } else if (strcmp(text, "null") == 0) {
            chosen = &null_device;
            fd = 0;
        } else {
            debug_log(EE, "no valid device found, setting cwdevice to null device");
            chosen = &null_device;
            fd = -1;
        }
    }

    std::optional<std::string> description;
    if (!copy_description(text, description)) {
        debug_log(EE, "memory allocation error");
        close_unused_descriptor(chosen, fd);
        return false;
    }

    DeviceLock lock;
    KeyingDevice* replaced = target.load();
    if (replaced != chosen || replaced->fd != fd) {
        retire(replaced);
    }
    target.store(chosen);
    chosen->description = std::move(description);
    debug_log(II, "keying device used: \"%s\"", chosen->description->c_str());
    if (!g_devices_stopped.load()) {
        // From the open on: the open may have raised the lines already.
        publish_signal_rest(chosen, fd);
        chosen->init(chosen, fd);
    }
    forget_line_states();
    g_generation.fetch_add(1);
    return true;
}

bool current_serial_port(SerialPortView& port) {
    DeviceLock lock;
    port.generation = g_generation.load();
    if (current_device.load() != &serial_device || !drivable(&serial_device)) {
        return false;
    }
    port.fd = serial_device.fd;
    port.name = serial_device.description.value_or("");
    return true;
}

uint32_t device_generation() {
    return g_generation.load();
}

void hold_serial_supply(uint32_t generation) {
    DeviceLock lock;
    const int supply = unused_serial_line();
    if (supply != 0 && generation == g_generation.load() && drivable(&serial_device)) {
        // Asserted is the contacts' supply voltage, whatever the inversion
        // of key and PTT.
        serial_port_io.set_modem_lines(serial_device.fd, supply);
    }
}

uint8_t band_switch_code(int band) {
    return static_cast<uint8_t>((band & 0x01) | ((band & 0x0E) << 4));
}

void switch_band(KeyingDevice* device, int band) {
    if (device->band_switch == nullptr) {
        debug_log(EE, "band switch output not implemented");
        return;
    }
    device_band_switch(device, band_switch_code(band));
    debug_log(II, "set band switch to %x", static_cast<unsigned>(band));
}

void set_default_descriptions() {
    DeviceLock lock;
    if (!copy_description("ppi0", parallel_device.description) ||
        !copy_description("ttyd0", serial_device.description) ||
        !copy_description("null", null_device.description)) {
        // Nothing can be selected or logged sensibly without memory.
        debug_log(EE, "memory allocation error");
        exit_releasing_device_lock(1);
    }
}

void release_current_device() {
    DeviceLock lock;
    KeyingDevice* device = current_device.load();
    if (device == nullptr || device->release == nullptr || g_devices_stopped.load()) {
        return;
    }
    // Pins keep their state after the process ends: a key left down
    // would key the transmitter for good.
    if (g_key_down.load() && device->key != nullptr) {
        device->key(device, 0);
        g_key_down.store(false);
    }
    device->release(device);
    publish_signal_rest(nullptr, -1);
    g_devices_stopped.store(true);
}

void free_descriptions() {
    DeviceLock lock;
    serial_device.description.reset();
    null_device.description.reset();
    parallel_device.description.reset();
}

void forget_current_device_in_parent() {
    publish_signal_rest(nullptr, -1);
    g_devices_stopped.store(true);
}

void end_on_device_failure() {
    // The port has gone: a signal has nothing left to bring to rest.
    publish_signal_rest(nullptr, -1);
    g_devices_stopped.store(true);
    exit_releasing_device_lock(1);
}

void device_key(KeyingDevice* device, int32_t state) {
    DeviceLock lock;
    DriverCall call;
    if (!call.drivable(device)) {
        return;
    }
    drive_key(device, state);
}

bool device_key_down_unless(KeyingDevice* device, const std::atomic<bool>& refuse) {
    DeviceLock lock;
    DriverCall call;
    if (refuse.load()) {
        return false;
    }
    if (call.drivable(device)) {
        drive_key(device, 1);
    }
    return true;
}

void device_ptt(KeyingDevice* device, int32_t state) {
    DeviceLock lock;
    DriverCall call;
    if (!call.drivable(device)) {
        return;
    }
    g_ptt_asked.store(state == 1);
    drive_ptt_locked(device, state == 1 || g_switch_holds_ptt.load());
}

void device_reset(KeyingDevice* device) {
    DeviceLock lock;
    DriverCall call;
    if (!call.drivable(device)) {
        return;
    }
    device->reset(device);
    forget_line_states();
}

void device_ssb_way(KeyingDevice* device, int32_t state) {
    DeviceLock lock;
    DriverCall call;
    if (!call.drivable(device) || device->ssb_way == nullptr) {
        return;
    }
    device->ssb_way(device, state);
}

void device_band_switch(KeyingDevice* device, uint8_t code) {
    DeviceLock lock;
    DriverCall call;
    if (!call.drivable(device) || device->band_switch == nullptr) {
        return;
    }
    device->band_switch(device, code);
}

void device_follow_ptt_switch(KeyingDevice* device) {
    DeviceLock lock;
    DriverCall call;
    if (!call.drivable(device) || device->read_ptt_switch == nullptr) {
        return;
    }
    const bool pressed = device->read_ptt_switch(device) == 0;
    // A failed read has ended the use of the device.
    if (!call.drivable(device) || pressed == g_switch_holds_ptt.load()) {
        return;
    }
    g_switch_holds_ptt.store(pressed);
    const bool on = pressed || g_ptt_asked.load();
    if (on != g_ptt_on.load()) {
        drive_ptt_locked(device, on);
    }
}

int32_t device_read_ptt_switch(KeyingDevice* device) {
    DeviceLock lock;
    if (!drivable(device) || device->read_ptt_switch == nullptr) {
        return 1;  // as an open switch: asks for nothing
    }
    return device->read_ptt_switch(device);
}

void end_keying_for_exit(bool keep_ptt) {
    DeviceLock lock;
    DriverCall call;
    KeyingDevice* device = current_device.load();
    if (call.drivable(device)) {
        if (g_key_down.load()) {
            drive_key(device, 0);
        }
        if (g_ptt_on.load() && !keep_ptt) {
            device->ptt(device, 0);
        }
        // A PTT kept up falls in end_ptt_for_exit.
        const bool ptt_kept = keep_ptt && g_ptt_on.load();
        forget_line_states();
        g_ptt_on.store(ptt_kept);
    }
    g_keying_ended.store(true);
}

void end_ptt_for_exit() {
    DeviceLock lock;
    KeyingDevice* device = current_device.load();
    if (device == nullptr || g_devices_stopped.load() || device_rested_by_signal() ||
        !g_keying_ended.load() || !g_ptt_on.load()) {
        return;
    }
    if (g_key_down.load()) {
        drive_key(device, 0);
    }
    device->ptt(device, 0);
    g_ptt_on.store(false);
}

int64_t device_last_key_up_ns() {
    return g_last_key_up_ns.load();
}

bool device_key_is_down() {
    return g_key_down.load();
}

bool device_ptt_is_on() {
    return g_ptt_asked.load();
}

void reset_devices_for_tests() {
    DeviceLock lock;
    for (KeyingDevice* device : {&serial_device, &null_device, &parallel_device}) {
        device->fd = 0;
        device->description.reset();
    }
    current_device.store(&null_device);
    selection_io = kProcessSelectionIo;
    forget_line_states();
    g_devices_stopped.store(false);
    g_keying_ended.store(false);
    reset_signal_rest_for_tests();
}

}  // namespace varkel
