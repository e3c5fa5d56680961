#include "core/realtime_scheduling.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "core/logging.h"
#include "core/realtime_kit_io.h"

namespace varkel {

namespace {

enum class RealtimeWay { none, direct, realtime_kit };

// Written by the main thread at start-up, read by it afterwards.
std::atomic<RealtimeWay> g_way{RealtimeWay::none};
std::atomic<int> g_priority{0};
std::atomic<bool> g_refusal_logged{false};
std::atomic<bool> g_thread_refusal_logged{false};

bool is_realtime(int policy) {
    policy &= ~SCHED_RESET_ON_FORK;
    return policy == SCHED_FIFO || policy == SCHED_RR;
}

int set_calling_thread(int policy, int priority) {
    const sched_param parameters{.sched_priority = priority};
    return pthread_setschedparam(pthread_self(), policy, &parameters);
}

int set_fifo(int priority) {
    return set_calling_thread(SCHED_FIFO, priority);
}

// RealtimeKit refuses a process whose real-time threads could run for
// ever without blocking: the hard limit must lie within its bound. The
// keying threads never run more than a fraction of a millisecond at once.
int limit_rttime(int64_t max_usec) {
    rlimit limit{};
    int result = realtime_kit_io.get_rttime(&limit);
    if (result < 0) {
        return result;
    }
    rlim_t wanted = static_cast<rlim_t>(max_usec);
    if (limit.rlim_max != RLIM_INFINITY) {
        wanted = std::min(wanted, limit.rlim_max);
    }
    const rlimit lowered{.rlim_cur = wanted, .rlim_max = wanted};
    return realtime_kit_io.set_rttime(&lowered);
}

// Asks RealtimeKit for SCHED_RR for each thread, within its bounds: 0 and
// the priority granted, or a negative errno.
int ask_realtime_kit(const std::vector<pid_t>& threads, int* priority) {
    sd_bus* bus = nullptr;
    int result = realtime_kit_io.open_bus(&bus);
    if (result < 0) {
        return result;
    }
    int32_t max_priority = 0;
    int64_t max_rttime = 0;
    result = realtime_kit_io.read_int32(bus, "MaxRealtimePriority", &max_priority);
    if (result >= 0) {
        result = realtime_kit_io.read_int64(bus, "RTTimeUSecMax", &max_rttime);
    }
    if (result >= 0 && (max_priority < 1 || max_rttime < 1)) {
        result = -EPERM;  // the service grants nothing
    }
    if (result >= 0) {
        result = limit_rttime(max_rttime);
    }
    *priority = std::min<int>(kRealtimePriority, max_priority);
    for (const pid_t thread : threads) {
        if (result >= 0) {
            result = realtime_kit_io.make_thread_realtime(bus, static_cast<uint64_t>(thread),
                                                          static_cast<uint32_t>(*priority));
        }
    }
    realtime_kit_io.close_bus(bus);
    return result < 0 ? result : 0;
}

std::vector<pid_t> process_threads() {
    std::vector<pid_t> threads;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return threads;
    }
    while (const dirent* entry = readdir(tasks)) {
        const pid_t thread = static_cast<pid_t>(atoi(entry->d_name));
        if (thread > 0) {
            threads.push_back(thread);
        }
    }
    closedir(tasks);
    std::sort(threads.begin(), threads.end());
    return threads;
}

// libcw names its generator's thread with a newline in it, and
// RealtimeKit, reading the thread's stat line by line, cannot find its
// fields then and refuses it; a name of our own reads well in top too.
void name_thread(pid_t thread, const char* name) {
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/comm", static_cast<int>(thread));
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd == -1) {
        return;  // the thread is gone, or /proc is not there: nothing to ask for
    }
    const ssize_t written = write(fd, name, strlen(name));
    (void)written;  // unnamed, it is still asked for
    close(fd);
}

}  // namespace

int (*set_calling_thread_fifo)(int priority) = set_fifo;

bool enter_realtime_scheduling() {
    const int error = set_calling_thread_fifo(kRealtimePriority);
    if (error == 0) {
        g_way.store(RealtimeWay::direct);
        g_priority.store(kRealtimePriority);
        return true;
    }
    int priority = 0;
    const int kit_result = ask_realtime_kit({gettid()}, &priority);
    if (kit_result == 0) {
        g_way.store(RealtimeWay::realtime_kit);
        g_priority.store(priority);
        return true;
    }
    if (!g_refusal_logged.exchange(true)) {
        debug_log(WW,
                  "real-time scheduling refused (%s; RealtimeKit: %s): keying may jitter under "
                  "load; allow priority %d with RLIMIT_RTPRIO (LimitRTPRIO=%d in the service "
                  "unit, or an rtprio line in /etc/security/limits.conf), or run rtkit-daemon "
                  "(RealtimeKit) for a user in a desktop session",
                  strerror(error), strerror(-kit_result), kRealtimePriority, kRealtimePriority);
    }
    return false;
}

void report_realtime_scheduling() {
    switch (g_way.load()) {
        case RealtimeWay::direct:
            debug_log(II, "real-time scheduling: SCHED_FIFO at priority %d, set directly",
                      g_priority.load());
            break;
        case RealtimeWay::realtime_kit:
            debug_log(II, "real-time scheduling: SCHED_RR at priority %d, granted by RealtimeKit",
                      g_priority.load());
            break;
        case RealtimeWay::none:
            break;
    }
}

NormalSchedulingScope::NormalSchedulingScope() {
    // A thread under SCHED_RESET_ON_FORK passes nothing on, and could not
    // take its grant back once it had dropped it.
    const int policy = sched_getscheduler(0);
    was_realtime_ = policy != -1 && is_realtime(policy) && (policy & SCHED_RESET_ON_FORK) == 0;
    if (was_realtime_) {
        set_calling_thread(SCHED_OTHER, 0);
    }
}

NormalSchedulingScope::~NormalSchedulingScope() {
    // Going back up is allowed by the same limit that allowed it first.
    if (was_realtime_) {
        set_calling_thread(SCHED_FIFO, kRealtimePriority);
    }
}

RealtimeForNewThreads::RealtimeForNewThreads(const char* thread_name)
    : thread_name_(thread_name), active_(g_way.load() == RealtimeWay::realtime_kit) {
    if (active_) {
        before_ = process_threads();
    }
}

RealtimeForNewThreads::~RealtimeForNewThreads() {
    if (!active_) {
        return;
    }
    std::vector<pid_t> created;
    const std::vector<pid_t> now = process_threads();
    std::set_difference(now.begin(), now.end(), before_.begin(), before_.end(),
                        std::back_inserter(created));
    if (created.empty()) {
        return;
    }
    for (const pid_t thread : created) {
        name_thread(thread, thread_name_);
    }
    int priority = 0;
    const int result = ask_realtime_kit(created, &priority);
    if (result < 0 && !g_thread_refusal_logged.exchange(true)) {
        debug_log(WW,
                  "real-time scheduling for a new keying thread refused by RealtimeKit (%s): "
                  "keying may jitter under load",
                  strerror(-result));
    }
}

void reset_realtime_scheduling_for_tests() {
    g_way.store(RealtimeWay::none);
    g_priority.store(0);
    g_refusal_logged.store(false);
    g_thread_refusal_logged.store(false);
    set_calling_thread_fifo = set_fifo;
    realtime_kit_io = kSystemBusRealtimeKitIo;
}

}  // namespace varkel
