// The device without hardware: keys nothing. Also the template of a driver.
#pragma once

#include <cstdint>

namespace varkel {

struct KeyingDevice;

int32_t null_init(KeyingDevice* device, int32_t fd);
int32_t null_release(KeyingDevice* device);
int32_t null_reset(KeyingDevice* device);
int32_t null_key(KeyingDevice* device, int32_t state);
int32_t null_ptt(KeyingDevice* device, int32_t state);

}  // namespace varkel
