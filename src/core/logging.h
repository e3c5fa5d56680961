// The two logging helpers every part of the daemon uses: the leveled debug
// log and the report of a failed system call.
#pragma once

#include <cstdio>

namespace varkel {

inline constexpr const char* kProgramName = "varkel";
inline constexpr const char* kSyslogIdentity = "lintmoor";
inline constexpr size_t kLogMessageSize = 1024;

// Debug log levels; a line is written when the threshold is above 0 and
// not below the line's level.
inline constexpr int NN = 0;  // none
inline constexpr int EE = 1;  // errors
inline constexpr int WW = 2;  // warnings
inline constexpr int II = 3;  // information
inline constexpr int DD = 4;  // details

// "NN", "EE", "WW", "II", "DD" for 0..4; "??" otherwise.
const char* level_label(int level);

// The threshold in force: settings.current.verbosity, read atomically
// because libcw's thread logs too.
int log_threshold();

// Where the debug log writes; nullptr disables it. Standard output at
// start-up. Safe to read from any thread.
FILE* debug_output();
void set_debug_output(FILE* stream);

// Writes "varkel:<label>: <message>\n" and flushes, when the threshold lets
// the level through. The message is cut to 1023 characters. Only the main
// thread writes, and only while it holds none of the locks libcw's thread
// takes: every other thread, and the main thread between
// hold_log_lines and release_log_lines, hands its lines over to be written
// by the main thread's next line, wake-up or exit (core/log_handoff.h). The
// main thread writes what was handed over before each line of its own.
void debug_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Brackets a section of this thread (nested as needed) whose lines must not
// be written yet: the device lock is held. Released on the main thread, the
// lines held are written at once.
void hold_log_lines();
void release_log_lines();

// Writes what other threads handed over, then WW "debug log: %llu lines
// dropped while the log output could not keep up" when the ring overflowed.
// Any thread may call it; it returns at once while another thread writes.
void write_handed_over_log_lines();

// Reports a failed system call; errno explains it. In the foreground:
// "varkel: <message> failed: \"<strerror>\"\n" on standard output; detached:
// "<message>\n" to the system log at LOG_ERR. Never ends the process. The
// lines handed over before it are written first, from whichever thread:
// a failed system call ends the process, or is the main thread's.
void error_report(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace varkel
