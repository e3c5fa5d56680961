#include "devices/signal_rest.h"

#include <atomic>

#include "devices/keying_device.h"
#include "devices/parallel_device.h"
#include "devices/serial_device.h"

namespace varkel {

namespace {

enum class RestKind : int32_t { none, serial, parallel };

// Kind and descriptor in one word, so a handler never sees the kind of one
// device with the descriptor of another. Aligned as a word, so that every
// compiler makes its loads and stores single instructions rather than
// calls into the atomic library.
struct alignas(8) RestTarget {
    RestKind kind;
    int32_t fd;
};

std::atomic<RestTarget> g_rest_target{RestTarget{RestKind::none, -1}};
static_assert(std::atomic<RestTarget>::is_always_lock_free,
              "a signal handler may only read a lock-free atomic");

std::atomic<bool> g_rested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

void publish_signal_rest(const KeyingDevice* device, int32_t fd) {
    RestTarget target{RestKind::none, -1};
    if (device == &serial_device) {
        target = {RestKind::serial, fd};
    } else if (device == &parallel_device) {
        target = {RestKind::parallel, fd};
    }
    g_rest_target.store(target);
}

void rest_device_from_signal() {
    g_rested.store(true);
    const RestTarget target = g_rest_target.load();
    if (target.fd < 0) {
        return;
    }
    switch (target.kind) {
        case RestKind::serial:
            serial_rest_from_signal(target.fd);
            break;
        case RestKind::parallel:
            parallel_rest_from_signal(target.fd);
            break;
        case RestKind::none:
            break;
    }
}

bool device_rested_by_signal() {
    return g_rested.load();
}

void reset_signal_rest_for_tests() {
    g_rest_target.store(RestTarget{RestKind::none, -1});
    g_rested.store(false);
}

}  // namespace varkel
