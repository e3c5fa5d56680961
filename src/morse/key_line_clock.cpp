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
// How long before a key-line edge its thread wakes to spin to it: the
// machine's usual timer lateness, so that about that much CPU is spent per
// tone while keying and none while idle.
constexpr int64_t kEdgeSpinNanoseconds = 100'000;
constexpr int64_t kCutPollNanoseconds = 100'000;
// A cut tone ends once no more than this many tones are queued: the last
// one may be dequeued without the low-queue callback (it runs when the
// queue falls from two to one).
constexpr int kCutQueueLength = 1;

// Bumped by every cut, so that a sleep in progress wakes up; a sleeper
// waits on it with the value it read before looking at the cut.
std::atomic<uint32_t> g_cut_epoch{0};

// Whether this thread is the key line's generator thread, and its timeline.
thread_local bool t_key_line_thread = false;
thread_local KeyLineTimeline t_timeline;

// libcw's stop: the stopping thread's sleep before it joins the generator's
// thread, and that thread's own sleep once it has left its loop. They are
// told by their length while a stop runs; by then the stop has flushed the
// queue, so no tone of that length begins on a generator's thread.
constexpr int kStopSettleMicroseconds = 1'000'000;
constexpr int kThreadExitMicroseconds = 500'000;
// Generators being stopped now, and a count of their threads that have left
// their loop (a futex word the stopping threads wait on).
std::atomic<int> g_stops{0};
std::atomic<uint32_t> g_threads_left{0};
thread_local bool t_stopping = false;
thread_local uint32_t t_threads_left_at_stop = 0;

int64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * kNanosecondsPerSecond + now.tv_nsec;
}

timespec to_timespec(int64_t ns) {
    return {static_cast<time_t>(ns / kNanosecondsPerSecond),
            static_cast<long>(ns % kNanosecondsPerSecond)};
}

// One turn of a spin: tells the processor, where it has a way, that this
// is a wait.
inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Sleeps to an absolute time, across signals.
void sleep_until(int64_t deadline_ns) {
    const timespec deadline = to_timespec(deadline_ns);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "a futex word is the atomic itself");

// Sleeps to an absolute time unless the word no longer holds the value
// given. The timeout of FUTEX_WAIT_BITSET is absolute on the monotonic
// clock, so a wake-up by a signal loses no time.
void sleep_until_changed(std::atomic<uint32_t>& word, uint32_t value, int64_t deadline_ns) {
    const timespec deadline = to_timespec(deadline_ns);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG,
            value, &deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void wake_all(std::atomic<uint32_t>& word) {
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG,
            INT32_MAX, nullptr, nullptr, 0);
}

// True when a cut ended the tone before its deadline.
bool sleep_key_line_tone(int64_t deadline_ns) {
    for (;;) {
        const uint32_t epoch = g_cut_epoch.load();
        const int64_t now = now_ns();
        if (now >= deadline_ns) {
            return false;
        }
        if (!key_line_cut_active.load()) {
            if (deadline_ns - now > kEdgeSpinNanoseconds) {
                sleep_until_changed(g_cut_epoch, epoch, deadline_ns - kEdgeSpinNanoseconds);
                continue;
            }
            // The last stretch before the edge is spun, not slept: a timer
            // that wakes a halted processor comes late by about this much,
            // and the edge would carry it.
            while (now_ns() < deadline_ns && g_cut_epoch.load() == epoch) {
                spin_pause();
            }
            continue;
        }
        if (cw_get_tone_queue_length() <= kCutQueueLength) {
            return true;
        }
        const int64_t poll = now + kCutPollNanoseconds;
        sleep_until_changed(g_cut_epoch, epoch, poll < deadline_ns ? poll : deadline_ns);
    }
}

void sleep_on_timeline(int usecs) {
    const int64_t end = key_line_tone_end(t_timeline, now_ns(), usecs);
    // After a cut, or when nothing is queued behind this tone, the next
    // one begins when something new comes, not at this tone's end.
    if (sleep_key_line_tone(end) || cw_get_tone_queue_length() == 0) {
        t_timeline = {};
    }
}

// The stopping thread's second: over once a generator's thread has left
// its loop since this stop began.
void await_thread_left() {
    const int64_t deadline = now_ns() + kStopSettleMicroseconds * kNanosecondsPerMicrosecond;
    for (;;) {
        const uint32_t left = g_threads_left.load();
        if (left != t_threads_left_at_stop || now_ns() >= deadline) {
            return;
        }
        sleep_until_changed(g_threads_left, left, deadline);
    }
}

void note_thread_left() {
    g_threads_left.fetch_add(1);
    wake_all(g_threads_left);
}

}  // namespace

int64_t key_line_tone_end(KeyLineTimeline& timeline, int64_t now_ns, int usecs) {
    int64_t begin = timeline.end_ns;
    if (begin == 0 || now_ns < begin || now_ns - begin > kTimelineResyncNs) {
        begin = now_ns;
    }
    timeline.end_ns = begin + int64_t{usecs} * kNanosecondsPerMicrosecond;
    return timeline.end_ns;
}

bool key_line_clock_installed() {
    return dlsym(RTLD_DEFAULT, "cw_usleep_internal") ==
           reinterpret_cast<void*>(&cw_usleep_internal);
}

void key_line_clock_sleep(int usecs) {
    if (usecs <= 0) {
        return;
    }
    if (g_stops.load() > 0) {
        if (t_stopping && usecs == kStopSettleMicroseconds) {
            await_thread_left();
            return;
        }
        if (!t_stopping && usecs == kThreadExitMicroseconds) {
            note_thread_left();
            return;
        }
    }
    if (t_key_line_thread) {
        sleep_on_timeline(usecs);
    } else {
        sleep_until(now_ns() + usecs * kNanosecondsPerMicrosecond);
    }
}

std::atomic<void (*)(int usecs)> libcw_sleep{key_line_clock_sleep};

void key_line_clock_mark_thread() noexcept {
    t_key_line_thread = true;
}

void key_line_cut_begin() {
    key_line_cut_active.store(true);
    g_cut_epoch.fetch_add(1);
    wake_all(g_cut_epoch);
}

void key_line_cut_end() {
    key_line_cut_active.store(false);
}

void key_line_stop_begin() {
    t_threads_left_at_stop = g_threads_left.load();
    t_stopping = true;
    g_stops.fetch_add(1);
}

void key_line_stop_end() {
    g_stops.fetch_sub(1);
    t_stopping = false;
}

}  // namespace varkel

// libcw's calls of its own sleep come here (see the header).
extern "C" void cw_usleep_internal(int usecs) {
    varkel::libcw_sleep.load()(usecs);
}
