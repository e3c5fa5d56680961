// Keys a transmitter on a serial port's DTR line, PTT on RTS.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varkel {

struct KeyingDevice;

inline constexpr size_t kDevicePathSize = 1024;

// A descriptor of an open serial port named under /dev, or -1.
int probe_serial(const char* text);

int32_t serial_init(KeyingDevice* device, int32_t fd);
int32_t serial_release(KeyingDevice* device);
int32_t serial_reset(KeyingDevice* device);
int32_t serial_key(KeyingDevice* device, int32_t state);
int32_t serial_ptt(KeyingDevice* device, int32_t state);

}  // namespace varkel
