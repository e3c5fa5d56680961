#include "morse/ptt_hold.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "core/alternate_signal_stack.h"
#include "core/logging.h"
#include "core/realtime_scheduling.h"
#include "core/value_parsers.h"
#include "devices/keying_device.h"
#include "morse/callbacks.h"
#include "morse/output.h"
#include "morse/ptt.h"
#include "morse/ptt_internal.h"

namespace varkel {

PttHold ptt_hold;

namespace {

constexpr int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr int64_t kNanosecondsPerMillisecond = 1'000'000;
constexpr int kDotsPerWordSpace = 7;
// At exit PTT waits for the rest of a hold, but never longer than this.
constexpr int64_t kExitHoldMaxNs = kNanosecondsPerSecond;
// libcw runs the low-queue callback just before the final key-up: when the
// hold is due with the key still down, it is looked at again this soon.
constexpr int64_t kKeyUpPendingNs = 200'000;
constexpr int64_t kKeyUpPendingMaxNs = 50'000'000;

// Bumped by every change below, so that the thread's wait ends and it looks
// again; the thread waits on it with the value it read before looking.
std::atomic<uint32_t> g_sequence{0};
// The hold that runs, in nanoseconds after the key-up it is reckoned from;
// 0 when none runs.
std::atomic<int64_t> g_hold_ns{0};
// Reckoned from the later of this and the last key-up on the device.
std::atomic<int64_t> g_hold_from_ns{0};
// At exit: when PTT falls (0: not exiting), and that the thread is to end.
std::atomic<int64_t> g_exit_fall_ns{0};
std::atomic<bool> g_thread_ends{false};

pthread_t g_thread{};
// Written by the main thread only; read by libcw's too.
std::atomic<bool> g_thread_started{false};

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "the futex word is the atomic itself");

int64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * kNanosecondsPerSecond + now.tv_nsec;
}

// Waits while the sequence is still the one given, until the absolute time
// on the monotonic clock (for ever when it is 0).
void wait_for_change(uint32_t sequence, int64_t until_ns) {
    const timespec until{static_cast<time_t>(until_ns / kNanosecondsPerSecond),
                         static_cast<long>(until_ns % kNanosecondsPerSecond)};
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&g_sequence),
            FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, sequence, until_ns == 0 ? nullptr : &until,
            nullptr, FUTEX_BITSET_MATCH_ANY);
}

void announce_change() {
    g_sequence.fetch_add(1);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&g_sequence), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1,
            nullptr, nullptr, 0);
}

// The hold set, at the speed and weighting in force: the later of the two.
int64_t hold_length_ns() {
    const int64_t tail = int64_t{ptt_hold.tail_ms} * kNanosecondsPerMillisecond;
    const double hang =
        ptt_hold.hang_word_spaces * kDotsPerWordSpace * static_cast<double>(key_line_dot_ns());
    return std::max(tail, static_cast<int64_t>(std::llround(hang)));
}

int64_t hold_fall_ns() {
    return std::max(g_hold_from_ns.load(), device_last_key_up_ns()) + g_hold_ns.load();
}

// The hold is over: PTT falls unless a text or a tune has taken it over or
// a client holds it. A pending echo stays pending for the next text.
void end_hold_locked() {
    g_hold_ns.store(0);
    const uint8_t flags = ptt_flags();
    if ((flags & ~PTT_ACTIVE_ECHO) != PTT_ACTIVE_AUTO || sending_pending()) {
        return;
    }
    if (flags == PTT_ACTIVE_AUTO) {
        ptt_off_locked(current_device.load(), "PTT (auto) off after hold");
        return;
    }
    device_ptt(current_device.load(), 0);
    const uint8_t left = ptt_flags_clear_locked(PTT_ACTIVE_AUTO);
    debug_log(DD, "PTT flag -PTT_ACTIVE_AUTO (0x%02x/%s)", left, ptt_flag_text(left).data());
    debug_log(II, "PTT (auto) off after hold");
}

// One look at the hold; returns when to look again (0: on the next change).
int64_t look_at_hold(uint32_t sequence) {
    const int64_t exit_fall = g_exit_fall_ns.load();
    if (exit_fall != 0) {
        if (now_ns() < exit_fall) {
            return exit_fall;
        }
        end_ptt_for_exit();
        debug_log(II, "PTT (auto) off after hold");
        g_thread_ends.store(true);  // its last work
        return 0;
    }
    if (g_hold_ns.load() == 0) {
        return 0;
    }
    const int64_t fall = hold_fall_ns();
    const int64_t now = now_ns();
    if (now < fall) {
        return fall;
    }
    std::lock_guard<std::mutex> lock(g_ptt_decision_mutex);
    if (g_sequence.load() != sequence || g_hold_ns.load() == 0) {
        return 0;  // begun again, or ended, while this looked
    }
    if (device_key_is_down()) {
        if (now - fall < kKeyUpPendingMaxNs) {
            return now + kKeyUpPendingNs;  // the final key-up is on its way
        }
        // Something else keys: what it sends begins a hold of its own.
        g_hold_ns.store(0);
        return 0;
    }
    end_hold_locked();
    return 0;
}

void* hold_thread(void*) {
    use_alternate_signal_stack();
    while (!g_thread_ends.load()) {
        const uint32_t sequence = g_sequence.load();
        const int64_t again = look_at_hold(sequence);
        if (g_thread_ends.load()) {
            break;
        }
        wait_for_change(sequence, again);
    }
    return nullptr;
}

// The number after "name=", whole, or false.
const char* value_of(const char* text, const char* name) {
    const size_t length = strlen(name);
    return strncmp(text, name, length) == 0 && text[length] == '=' ? text + length + 1 : nullptr;
}

bool read_word_spaces(const char* value, double& out) {
    // Digits and one point only: no sign, exponent, hexadecimal or "inf".
    if (value[0] == '\0' || strspn(value, "0123456789.") != strlen(value)) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double number = strtod(value, &end);
    if (errno != 0 || end == value || *end != '\0' || number > kPttHangWordSpacesMax) {
        return false;
    }
    out = number;
    return true;
}

}  // namespace

bool read_ptt_hold_option(const char* text, PttHold& hold) {
    if (const char* value = value_of(text, "ptt-tail")) {
        int64_t ms = 0;
        if (!parse_long(value, ms) || ms < 0 || ms > kPttTailMsMax) {
            return false;
        }
        hold.tail_ms = static_cast<int>(ms);
        return true;
    }
    if (const char* value = value_of(text, "ptt-hang")) {
        return read_word_spaces(value, hold.hang_word_spaces);
    }
    return false;
}

void start_ptt_hold() {
    if (g_thread_started || (ptt_hold.tail_ms == 0 && ptt_hold.hang_word_spaces == 0)) {
        return;
    }
    // It takes the device lock that libcw's keying thread takes, so it runs
    // at the key line's priority: inherited from this thread, or asked of
    // RealtimeKit, whose grant new threads do not inherit.
    {
        RealtimeForNewThreads realtime("varkel ptt");
        g_thread_started = pthread_create(&g_thread, nullptr, hold_thread, nullptr) == 0;
    }
    if (!g_thread_started) {
        debug_log(EE, "PTT tail and hang unavailable: no thread to time them");
    }
}

bool ptt_hold_begin_locked() {
    if (!g_thread_started) {
        return false;
    }
    if (g_exit_fall_ns.load() != 0) {
        return true;  // the exit's fall is timed already
    }
    // Only a PTT line that is on is held: with a PTT delay of 0 the daemon
    // raises none, and a client that ends manual PTT while Morse is queued
    // leaves the flag alone to fall.
    const int64_t hold = hold_length_ns();
    if (hold == 0 || !device_ptt_is_on()) {
        return false;
    }
    g_hold_from_ns.store(device_key_is_down() ? now_ns() : device_last_key_up_ns());
    g_hold_ns.store(hold);
    debug_log(II, "PTT (auto) held for %lld ms after key-up",
              static_cast<long long>(hold / kNanosecondsPerMillisecond));
    announce_change();
    return true;
}

bool ptt_hold_after_abort() {
    if (!g_thread_started) {
        return false;
    }
    std::lock_guard<std::mutex> lock(g_ptt_decision_mutex);
    const uint8_t flags = ptt_flags();
    if ((flags & ~PTT_ACTIVE_ECHO) != PTT_ACTIVE_AUTO || hold_length_ns() == 0 ||
        !device_ptt_is_on()) {
        return false;
    }
    if ((flags & PTT_ACTIVE_ECHO) != 0) {
        const uint8_t left = ptt_flags_clear_locked(PTT_ACTIVE_ECHO);
        debug_log(DD, "PTT flag -PTT_ACTIVE_ECHO (0x%02x/%s)", left, ptt_flag_text(left).data());
    }
    return ptt_hold_begin_locked();
}

void ptt_hold_cancel() {
    if (g_hold_ns.load() != 0) {
        g_hold_ns.store(0);
        announce_change();
    }
}

bool ptt_hold_begin_exit() {
    if (!g_thread_started) {
        return false;
    }
    std::lock_guard<std::mutex> lock(g_ptt_decision_mutex);
    const uint8_t flags = ptt_flags();
    if ((flags & PTT_ACTIVE_AUTO) == 0 || (flags & PTT_ACTIVE_MANUAL) != 0 || !device_ptt_is_on()) {
        return false;
    }
    const int64_t hold = hold_length_ns();
    const int64_t now = now_ns();
    // The key goes up now if it is down; a hold that runs keeps its fall.
    const int64_t from = device_key_is_down() ? now : device_last_key_up_ns();
    const int64_t fall =
        std::min(std::max(from, g_hold_from_ns.load()) + hold, now + kExitHoldMaxNs);
    g_hold_ns.store(0);
    g_exit_fall_ns.store(std::max(fall, now + 1));
    announce_change();
    return true;
}

void ptt_hold_finish_exit() {
    if (!g_thread_started) {
        return;
    }
    // With a fall to come the thread ends once it has dropped PTT.
    if (g_exit_fall_ns.load() == 0) {
        g_thread_ends.store(true);
        announce_change();
    }
    pthread_join(g_thread, nullptr);
    g_thread_started = false;
}

}  // namespace varkel
