// Keys a transmitter on a serial port's modem lines: DTR keys and RTS is
// PTT unless the options chose otherwise (serial_lines.h).
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

// Key, then PTT, to their rest on the port open as fd, with nothing but the
// two modem requests: safe in a signal handler, on any thread.
void serial_rest_from_signal(int fd);

}  // namespace varkel
