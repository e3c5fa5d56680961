#include "devices/null_device.h"

#include "devices/keying_device.h"

namespace varkel {

// The null device keeps the descriptor it is given but never uses it.
int32_t null_init(KeyingDevice* device, int32_t fd) {
    device->fd = fd;
    return 0;
}

int32_t null_release(KeyingDevice*) {
    return 0;
}
int32_t null_reset(KeyingDevice*) {
    return 0;
}
int32_t null_key(KeyingDevice*, int32_t) {
    return 0;
}
int32_t null_ptt(KeyingDevice*, int32_t) {
    return 0;
}

}  // namespace varkel
