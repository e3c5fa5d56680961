// The record through which the daemon drives a transmitter, the three kinds
// of device, the current one, and its selection by name.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace varkel {

struct KeyingDevice {
    int32_t (*init)(KeyingDevice* device, int32_t fd);
    int32_t (*release)(KeyingDevice* device);
    int32_t (*reset)(KeyingDevice* device);
    int32_t (*key)(KeyingDevice* device, int32_t state);
    int32_t (*ptt)(KeyingDevice* device, int32_t state);
    int32_t (*ssb_way)(KeyingDevice* device, int32_t state);     // optional
    int32_t (*band_switch)(KeyingDevice* device, uint8_t code);  // optional
    int32_t (*read_ptt_switch)(KeyingDevice* device);            // optional
    int32_t fd;
    std::optional<std::string> description;  // a name under /dev
};

extern KeyingDevice serial_device;
extern KeyingDevice null_device;
extern KeyingDevice parallel_device;

// The device every part acts on; never null after start-up.
extern std::atomic<KeyingDevice*> current_device;

bool select_device(std::atomic<KeyingDevice*>& target, const char* text);
uint8_t band_switch_code(int band);
void switch_band(KeyingDevice* device, int band);
void set_default_descriptions();
void release_current_device();  // clean-up handler B
void free_descriptions();       // clean-up handler A

// Called in the parent that detaches, before it exits: the child goes on
// with the same open port (and, on a parallel port, the same claim), so the
// parent's clean-up must neither bring the port to rest nor un-claim it.
void forget_current_device_in_parent();

// For the drivers: a device request failed and the driver has made its
// error report. Drives nothing more and ends the process with status 1;
// returns only if another thread is already ending it.
void end_on_device_failure();

// Device operations as the rest of the daemon calls them. Each runs under
// the device lock, so that key edges from libcw's thread and PTT, SSB and
// band changes from the main thread never interleave inside a driver, and a
// selection never swaps the device between the read of the current device
// and its use. An operation on a device that is no longer current is
// skipped: the selection has already brought that device to rest.
// PTT never falls while the key is down: device_ptt(.., 0) lifts the key
// first when the last edge mirrored was a key-down.
void device_key(KeyingDevice* device, int32_t state);
// A key-down that is dropped (false) while refuse is set. The test is made under
// the device lock: a thread that sets refuse and then lifts the key is
// never overtaken by a key-down that tested refuse before it was set.
bool device_key_down_unless(KeyingDevice* device, const std::atomic<bool>& refuse);
void device_ptt(KeyingDevice* device, int32_t state);
void device_reset(KeyingDevice* device);
void device_ssb_way(KeyingDevice* device, int32_t state);
void device_band_switch(KeyingDevice* device, uint8_t code);
int32_t device_read_ptt_switch(KeyingDevice* device);
// Reads the foot switch and acts only when it has changed since it was last
// read: pressed, it raises PTT; released, it lets PTT fall unless the
// daemon holds it (automatic or manual PTT). While it is pressed a PTT off
// from the daemon leaves the line on.
void device_follow_ptt_switch(KeyingDevice* device);
// The process is ending: key up, then PTT off, at once, and no further
// key or PTT change reaches the device (libcw may go on reporting edges
// until its generator has stopped). The release at exit still runs.
// With keep_ptt PTT stays up until end_ptt_for_exit.
void end_keying_for_exit(bool keep_ptt = false);
void end_ptt_for_exit();

// When the key line last went up (CLOCK_MONOTONIC nanoseconds), 0 before.
int64_t device_last_key_up_ns();

// The serial port the paddle reads, while the serial device is current.
struct SerialPortView {
    int32_t fd;
    uint32_t generation;  // changes with every selection of a device
    std::string name;     // under /dev
};
[[nodiscard]] bool current_serial_port(SerialPortView& port);
[[nodiscard]] uint32_t device_generation();
// Asserts the serial port's output line that neither keys nor carries PTT
// (a paddle's supply), while the selection of generation is current.
void hold_serial_supply(uint32_t generation);

// Whether the key line was last driven down (mirrored edges).
bool device_key_is_down();
// Whether the daemon has PTT on (device_ptt), whatever a foot switch does.
bool device_ptt_is_on();

// Puts the three records back to their initial state (tests only).
void reset_devices_for_tests();

}  // namespace varkel
