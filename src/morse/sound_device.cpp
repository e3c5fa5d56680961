#include "morse/sound_device.h"

#include <libcw2.h>

#include <cstring>
#include <string>

#include "core/logging.h"
#include "core/settings.h"

namespace varkel {

namespace {

constexpr const char kOptionName[] = "sound-device=";
// libcw copies the name into a fixed field with its terminating NUL.
constexpr size_t kMaxNameBytes = LIBCW_SOUND_DEVICE_NAME_SIZE - 1;

std::string g_sound_device;

// Printable ASCII only: the name goes into the log and to the sound
// system's own parser, neither of which wants control bytes.
bool printable(std::string_view name) {
    for (const char c : name) {
        if (c < 0x20 || c > 0x7e) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool is_sound_device_option(const char* text) {
    return strncmp(text, kOptionName, sizeof kOptionName - 1) == 0;
}

bool parse_sound_device_option(const char* text) {
    const std::string_view name(text + sizeof kOptionName - 1);
    if (name.size() > kMaxNameBytes || !printable(name)) {
        // The name itself is not echoed: it may hold control bytes.
        debug_log(EE,
                  "invalid requested sound device: %zu bytes (use sound-device=NAME, at most %zu "
                  "printable characters)",
                  name.size(), kMaxNameBytes);
        return false;
    }
    g_sound_device = name;
    debug_log(II, "requested sound device \"%s\"", g_sound_device.c_str());
    return true;
}

std::string_view sound_device_for(int sound_system) {
    if (sound_system != settings.defaults.sound_system) {
        return {};
    }
    return g_sound_device;
}

std::string_view chosen_sound_device() {
    return g_sound_device;
}

void reset_sound_device_for_tests() {
    g_sound_device.clear();
}

}  // namespace varkel
