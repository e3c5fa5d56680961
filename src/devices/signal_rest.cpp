#include "devices/signal_rest.h"

#include <time.h>

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

// Driver calls under way, on any thread.
std::atomic<int32_t> g_driver_calls{0};
static_assert(std::atomic<int32_t>::is_always_lock_free);

// How long the handler waits for driver calls under way: a port request
// takes microseconds; a call that never ends is the faulting thread's own.
constexpr long kCallsUnderWayWaitNs = 10'000'000;
constexpr long kCallsUnderWayPollNs = 50'000;
constexpr long kNanosecondsPerSecond = 1'000'000'000;

long elapsed_ns(const timespec& since) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * kNanosecondsPerSecond + (now.tv_nsec - since.tv_nsec);
}

// Key, then PTT, of the published port to rest. Async-signal-safe.
void rest_published_port() {
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
    rest_published_port();
    if (g_driver_calls.load() == 0) {
        return;
    }
    // Only clock_gettime and nanosleep, both async-signal-safe.
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const timespec poll{0, kCallsUnderWayPollNs};
    while (g_driver_calls.load() != 0 && elapsed_ns(start) < kCallsUnderWayWaitNs) {
        nanosleep(&poll, nullptr);
    }
    rest_published_port();
}

bool device_rested_by_signal() {
    return g_rested.load();
}

void driver_call_begin() {
    g_driver_calls.fetch_add(1);
}

void driver_call_end(bool made) {
    // Both sequentially consistent: either the rest's flag is seen here,
    // or the rest was made after this call's request reached the port.
    if (made && g_rested.load()) {
        rest_published_port();
    }
    g_driver_calls.fetch_sub(1);
}

void reset_signal_rest_for_tests() {
    g_driver_calls.store(0);
    g_rest_target.store(RestTarget{RestKind::none, -1});
    g_rested.store(false);
}

}  // namespace varkel
