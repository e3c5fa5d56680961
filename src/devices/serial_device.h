// Keys a transmitter on a serial port's DTR line, PTT on RTS.
#pragma once

#include <cstdint>

#include "devices/device_node.h"

namespace varkel {

struct KeyingDevice;

// A descriptor of an open serial port named under /dev, or -1. Only a
// terminal with a serial port behind it is opened.
int probe_serial(const char* text);

int32_t serial_init(KeyingDevice* device, int32_t fd);
int32_t serial_release(KeyingDevice* device);
int32_t serial_reset(KeyingDevice* device);
int32_t serial_key(KeyingDevice* device, int32_t state);
int32_t serial_ptt(KeyingDevice* device, int32_t state);

}  // namespace varkel
