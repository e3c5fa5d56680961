#include "morse/key_line_clock.h"

#include <dlfcn.h>
#include <libcw.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace varkel {

std::atomic<bool> key_line_cut_active{false};

namespace {

constexpr int64_t kNanosecondsPerSecond = 1'000'000'000;
constexpr int64_t kNanosecondsPerMicrosecond = 1'000;
// While a cut waits for the main thread to empty libcw's queue (a few
// microseconds of work on another core), the queue is looked at this often.
constexpr int64_t kCutPollNanoseconds = 100'000;
// A cut tone ends once no more than this many tones are queued: the last
// one may be dequeued without the low-queue callback (it runs when the
// queue falls from two to one).
constexpr int kCutQueueLength = 1;

// Bumped by every cut, so that a sleep in progress wakes up; a sleeper
// waits on it with the value it read before looking at the cut.
std::atomic<uint32_t> g_cut_epoch{0};

// Whether this thread is the key line's generator thread.
thread_local bool t_key_line_thread = false;

int64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * kNanosecondsPerSecond + now.tv_nsec;
}

timespec to_timespec(int64_t ns) {
    return {static_cast<time_t>(ns / kNanosecondsPerSecond),
            static_cast<long>(ns % kNanosecondsPerSecond)};
}

// Sleeps to an absolute time, across signals.
void sleep_until(int64_t deadline_ns) {
    const timespec deadline = to_timespec(deadline_ns);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// Sleeps to an absolute time unless a cut begins meanwhile (the epoch is no
// longer the one given). The timeout of FUTEX_WAIT_BITSET is absolute on
// the monotonic clock, so a wake-up by a signal loses no time.
void sleep_until_cut(int64_t deadline_ns, uint32_t epoch) {
    const timespec deadline = to_timespec(deadline_ns);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&g_cut_epoch),
            FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, epoch, &deadline, nullptr,
            FUTEX_BITSET_MATCH_ANY);
}

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "the futex word is the atomic itself");

void sleep_key_line_tone(int64_t deadline_ns) {
    for (;;) {
        const uint32_t epoch = g_cut_epoch.load();
        const int64_t now = now_ns();
        if (now >= deadline_ns) {
            return;
        }
        if (!key_line_cut_active.load()) {
            sleep_until_cut(deadline_ns, epoch);
            continue;
        }
        if (cw_get_tone_queue_length() <= kCutQueueLength) {
            return;
        }
        const int64_t poll = now + kCutPollNanoseconds;
        sleep_until_cut(poll < deadline_ns ? poll : deadline_ns, epoch);
    }
}

}  // namespace

bool key_line_clock_installed() {
    return dlsym(RTLD_DEFAULT, "cw_usleep_internal") ==
           reinterpret_cast<void*>(&cw_usleep_internal);
}

void key_line_clock_sleep(int usecs) {
    if (usecs <= 0) {
        return;
    }
    const int64_t deadline = now_ns() + usecs * kNanosecondsPerMicrosecond;
    if (t_key_line_thread) {
        sleep_key_line_tone(deadline);
    } else {
        sleep_until(deadline);
    }
}

std::atomic<void (*)(int usecs)> libcw_sleep{key_line_clock_sleep};

void key_line_clock_mark_thread() noexcept {
    t_key_line_thread = true;
}

void key_line_cut_begin() {
    key_line_cut_active.store(true);
    g_cut_epoch.fetch_add(1);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&g_cut_epoch), FUTEX_WAKE | FUTEX_PRIVATE_FLAG,
            INT32_MAX, nullptr, nullptr, 0);
}

void key_line_cut_end() {
    key_line_cut_active.store(false);
}

}  // namespace varkel

// libcw's calls of its own sleep come here (see the header).
extern "C" void cw_usleep_internal(int usecs) {
    varkel::libcw_sleep.load()(usecs);
}
