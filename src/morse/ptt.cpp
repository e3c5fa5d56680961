#include "morse/ptt.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>

#include "core/logging.h"
#include "core/settings.h"
#include "devices/keying_device.h"
#include "morse/ptt_hold.h"
#include "morse/ptt_internal.h"

namespace varkel {

namespace {

// Why PTT is on. Written by the main thread and by the low-queue callback on
// libcw's thread: every change is one atomic read-modify-write, made under
// g_ptt_decision_mutex (see ptt_internal.h), so that no flag appears or
// vanishes between the callback's decision to drop automatic PTT and the
// drop itself.
std::atomic<uint8_t> g_ptt_flags{0};

constexpr uint8_t kPttFlagMask = PTT_ACTIVE_AUTO | PTT_ACTIVE_MANUAL | PTT_ACTIVE_ECHO;
constexpr long kNanosecondsPerMicrosecond = 1000;
constexpr long kMicrosecondsPerMillisecond = 1000;

}  // namespace

std::mutex g_ptt_decision_mutex;

PttFlagText ptt_flag_text(uint8_t flags) {
    return {(flags & PTT_ACTIVE_AUTO) != 0 ? 'A' : 'a',
            (flags & PTT_ACTIVE_MANUAL) != 0 ? 'M' : 'm',
            (flags & PTT_ACTIVE_ECHO) != 0 ? 'E' : 'e', '\0'};
}

uint8_t ptt_flags() {
    return g_ptt_flags.load();
}

uint8_t ptt_flags_set(uint8_t bits) {
    bits &= kPttFlagMask;
    std::lock_guard<std::mutex> lock(g_ptt_decision_mutex);
    return static_cast<uint8_t>(g_ptt_flags.fetch_or(bits) | bits);
}

uint8_t ptt_flags_clear(uint8_t bits) {
    std::lock_guard<std::mutex> lock(g_ptt_decision_mutex);
    return ptt_flags_clear_locked(bits);
}

uint8_t ptt_flags_clear_locked(uint8_t bits) {
    const auto keep = static_cast<uint8_t>(~bits);
    return static_cast<uint8_t>(g_ptt_flags.fetch_and(keep) & keep);
}

namespace {

void log_flags_cleared() {
    const uint8_t flags = 0;
    debug_log(DD, "PTT flag = 0 (0x%02x/%s)", flags, ptt_flag_text(flags).data());
}

}  // namespace

void ptt_flags_clear_all_locked() {
    ptt_hold_cancel();
    g_ptt_flags.exchange(0);
    log_flags_cleared();
}

void ptt_flags_clear_all() {
    {
        std::lock_guard<std::mutex> lock(g_ptt_decision_mutex);
        ptt_hold_cancel();
        g_ptt_flags.exchange(0);
    }
    // Outside the lock: the low-queue callback takes it, and the main
    // thread's line may wait for a stuck log output.
    log_flags_cleared();
}

void sleep_microseconds(long microseconds) {
    const timespec request{0, microseconds * kNanosecondsPerMicrosecond};
    timespec remaining{};
    if (nanosleep(&request, &remaining) == -1) {
        if (errno == EINTR) {
            nanosleep(&remaining, nullptr);
        } else {
            error_report("Nanosleep");
        }
    }
}

void ptt_auto_on_with_delay(KeyingDevice* device, const char* message, int delay_ms) {
    if (delay_ms == 0) {
        return;
    }
    {
        // The low-queue callback decides and drops automatic PTT as one step
        // under this lock: either it has dropped PTT and cleared the flag,
        // and PTT is raised again here, or it decides later and then finds
        // the text that is being played waiting in the message buffer.
        std::lock_guard<std::mutex> lock(g_ptt_decision_mutex);
        if ((g_ptt_flags.load() & PTT_ACTIVE_AUTO) != 0) {
            // PTT held after the last text goes on for this one.
            ptt_hold_cancel();
            return;
        }
    }
    device_ptt(device, 1);
    debug_log(II, "%s", message);
    sleep_microseconds(static_cast<long>(delay_ms) * kMicrosecondsPerMillisecond);
    const uint8_t flags = ptt_flags_set(PTT_ACTIVE_AUTO);
    debug_log(DD, "PTT flag +PTT_ACTIVE_AUTO (0x%02x/%s)", flags, ptt_flag_text(flags).data());
}

void ptt_auto_on(KeyingDevice* device, const char* message) {
    ptt_auto_on_with_delay(device, message, settings.current.ptt_delay);
}

void ptt_off_locked(KeyingDevice* device, const char* message) {
    // The device lifts the key first if it is still down: the low-queue
    // callback runs just before libcw's final key-up.
    device_ptt(device, 0);
    ptt_flags_clear_all_locked();
    debug_log(II, "%s", message);
}

void ptt_off(KeyingDevice* device, const char* message) {
    device_ptt(device, 0);
    ptt_flags_clear_all();
    debug_log(II, "%s", message);
}

}  // namespace varkel
