// The clock that times the key line's tones, and the cut that stops it.
//
// On the null sound system libcw's generator thread times each tone by
// sleeping its whole length in cw_usleep_internal, which it calls through
// its procedure linkage table; nothing outside can shorten such a sleep,
// and a flush of the queue waits for it. The daemon defines that function
// itself, so libcw's calls land here: the sleep keeps libcw's timing to
// the microsecond, and an abort can cut the tone in progress.
//
// While a cut is active the generator thread's sleep returns as soon as at
// most one tone is left in libcw's queue, that is once the main thread has
// flushed it; it never skips through tones that are still to be flushed,
// whose dequeue could run the low-queue callback in the middle of an abort.
// Only the generator thread's sleeps are cut: it marks itself on its first
// key edge. libcw's own sleeps on other threads (stopping a generator) keep
// their length.
#pragma once

#include <atomic>

extern "C" void cw_usleep_internal(int usecs);

namespace varkel {

// Whether libcw's calls reach the function above. Without it (a libcw that
// binds the call inside itself) an abort still lifts the key at once but
// waits for the tone in progress before it reads the next request.
[[nodiscard]] bool key_line_clock_installed();

// Called on the generator thread by the keying callback.
void key_line_clock_mark_thread() noexcept;

// Set between key_line_cut_begin and key_line_cut_end: key-downs from
// libcw are then refused (the keying callback reads it).
extern std::atomic<bool> key_line_cut_active;

// Where libcw's sleeps go: key_line_clock_sleep by default. The request
// fuzzer puts one here that returns at once, so that a text plays in
// microseconds while every callback still runs on libcw's thread.
void key_line_clock_sleep(int usecs);
extern std::atomic<void (*)(int usecs)> libcw_sleep;

// The main thread brackets the flush of libcw's queue with these two.
void key_line_cut_begin();
void key_line_cut_end();

}  // namespace varkel
