#include "devices/keying_device.h"

#include "devices/null_device.h"
// STUB: to be written.
namespace varkel {
KeyingDevice serial_device{};
KeyingDevice null_device{null_init, null_release, null_reset, null_key, null_ptt,
                         nullptr, nullptr, nullptr, 0, std::nullopt};
KeyingDevice parallel_device{};
std::atomic<KeyingDevice*> current_device{&null_device};
bool select_device(std::atomic<KeyingDevice*>&, const char*) { return true; }
uint8_t band_switch_code(int band) {
    return static_cast<uint8_t>((band & 0x01) | ((band & 0x0E) << 4));
}
void switch_band(KeyingDevice*, int) {}
void set_default_descriptions() {}
void release_current_device() {}
void free_descriptions() {}
void device_key(KeyingDevice*, int32_t) {}
void device_ptt(KeyingDevice*, int32_t) {}
void device_reset(KeyingDevice*) {}
void device_ssb_way(KeyingDevice*, int32_t) {}
void device_band_switch(KeyingDevice*, uint8_t) {}
int32_t device_read_ptt_switch(KeyingDevice*) { return 0; }
bool device_key_is_down() { return false; }
void release_device_lock_if_held() {}
void reset_devices_for_tests() {}
}  // namespace varkel
