#include "core/realtime_scheduling.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstring>

#include "core/logging.h"

namespace varkel {

namespace {

std::atomic<bool> g_refusal_logged{false};

bool calling_thread_is_realtime() {
    int policy = SCHED_OTHER;
    sched_param parameters{};
    return pthread_getschedparam(pthread_self(), &policy, &parameters) == 0 && policy == SCHED_FIFO;
}

int set_calling_thread(int policy, int priority) {
    const sched_param parameters{.sched_priority = priority};
    return pthread_setschedparam(pthread_self(), policy, &parameters);
}

}  // namespace

bool enter_realtime_scheduling() {
    const int error = set_calling_thread(SCHED_FIFO, kRealtimePriority);
    if (error == 0) {
        return true;
    }
    if (!g_refusal_logged.exchange(true)) {
        debug_log(WW,
                  "real-time scheduling refused (%s): keying may jitter under load; allow "
                  "priority %d with RLIMIT_RTPRIO (LimitRTPRIO=%d in the service unit, or an "
                  "rtprio line in /etc/security/limits.conf)",
                  strerror(error), kRealtimePriority, kRealtimePriority);
    }
    return false;
}

NormalSchedulingScope::NormalSchedulingScope() : was_realtime_(calling_thread_is_realtime()) {
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

}  // namespace varkel
