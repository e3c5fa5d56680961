#include "core/logging.h"

#include <syslog.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "core/settings.h"

namespace varkel {

namespace {
std::atomic<FILE*> g_debug_output{stdout};
}

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
    char message[kLogMessageSize];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    // One call per line keeps lines from the two threads whole.
    fprintf(out, "%s:%s: %s\n", kProgramName, level_label(level), message);
    fflush(out);
}

void error_report(const char* format, ...) {
    const int saved_errno = errno;
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
