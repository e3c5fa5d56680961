// Keys a transmitter through a parallel port's control register, writes the
// band code to its data register and reads the PTT foot switch.
#pragma once

#include <cstdint>

namespace varkel {

struct KeyingDevice;

inline constexpr unsigned char kControlInUse = 0x01;      // Strobe
inline constexpr unsigned char kControlSsb = 0x02;        // Auto Feed: set = soundcard
inline constexpr unsigned char kControlPtt = 0x04;        // Initialize: set = PTT on
inline constexpr unsigned char kControlKey = 0x08;        // Select In: clear = key down
inline constexpr unsigned char kStatusFootSwitch = 0x08;  // Error

// A descriptor of an open, claimed parallel port named under /dev, or -1;
// held_elsewhere then tells whether it was a parallel port that another
// program holds, which the claim does not wait for.
int probe_parallel(const char* text, bool* held_elsewhere = nullptr);

// Whether the text names the port already open on fd. Claiming a port that
// another open file of ours holds would wait until that one lets go, so a
// selection of the port in use has to release it first.
bool names_open_parallel_port(const char* text, int fd);

// One read-modify-write of the control register: the bits in mask take
// their value from value, the others are written back as read.
void set_control_bits(int fd, unsigned char mask, unsigned char value);

int32_t parallel_init(KeyingDevice* device, int32_t fd);
int32_t parallel_release(KeyingDevice* device);
int32_t parallel_reset(KeyingDevice* device);
int32_t parallel_key(KeyingDevice* device, int32_t state);
int32_t parallel_ptt(KeyingDevice* device, int32_t state);
int32_t parallel_ssb_way(KeyingDevice* device, int32_t state);
int32_t parallel_band_switch(KeyingDevice* device, uint8_t code);
int32_t parallel_read_ptt_switch(KeyingDevice* device);

// Key up, then PTT off, on the port open as fd, with nothing but register
// requests: safe in a signal handler, on any thread.
void parallel_rest_from_signal(int fd);

}  // namespace varkel
