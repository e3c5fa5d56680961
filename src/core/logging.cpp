#include "core/logging.h"

#include <syslog.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "core/log_handoff.h"
#include "core/main_wake.h"
#include "core/process_exit.h"
#include "core/settings.h"

namespace varkel {

namespace {

std::atomic<FILE*> g_debug_output{stdout};

// How deep this thread is in sections whose lines are held.
thread_local int t_lines_held = 0;

void write_line(int level, const char* message) {
    FILE* out = debug_output();
    if (out == nullptr) {
        return;
    }
    // One call per line keeps lines whole.
    fprintf(out, "%s:%s: %s\n", kProgramName, level_label(level), message);
    fflush(out);
}

bool writes_here() {
    return t_lines_held == 0 && on_main_thread();
}

}  // namespace

const char* level_label(int level) {
    static constexpr const char* kLabels[] = {"NN", "EE", "WW", "II", "DD"};
    if (level < 0 || level > DD) {
        return "??";
    }
    return kLabels[level];
}

int log_threshold() {
    return std::atomic_ref<int32_t>(settings.current.verbosity).load(std::memory_order_relaxed);
}

FILE* debug_output() {
    return g_debug_output.load(std::memory_order_acquire);
}

void set_debug_output(FILE* stream) {
    g_debug_output.store(stream, std::memory_order_release);
}

void debug_log(int level, const char* format, ...) {
    const int threshold = log_threshold();
    FILE* out = debug_output();
    if (threshold <= 0 || threshold < level || out == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    if (!writes_here()) {
        if (hand_over_log_line(level, format, args)) {
            wake_main_thread();
        }
        va_end(args);
        return;
    }
    char message[kLogMessageSize];
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    write_handed_over_log_lines();
    write_line(level, message);
}

void hold_log_lines() {
    ++t_lines_held;
}

void release_log_lines() {
    if (--t_lines_held == 0 && on_main_thread()) {
        write_handed_over_log_lines();
    }
}

void write_handed_over_log_lines() {
    const uint64_t dropped = take_handed_over_lines(write_line);
    if (dropped > 0 && log_threshold() >= WW) {
        char message[kLogMessageSize];
        snprintf(message, sizeof message,
                 "debug log: %llu lines dropped while the log output could not keep up",
                 static_cast<unsigned long long>(dropped));
        write_line(WW, message);
    }
}

void error_report(const char* format, ...) {
    const int saved_errno = errno;
    write_handed_over_log_lines();
    char message[kLogMessageSize];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (settings.nofork) {
        fprintf(stdout, "%s: %s failed: \"%s\"\n", kProgramName, message, strerror(saved_errno));
        fflush(stdout);
    } else {
        syslog(LOG_ERR, "%s\n", message);
    }
    errno = saved_errno;
}

}  // namespace varkel
