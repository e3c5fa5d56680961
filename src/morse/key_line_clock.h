// The clock that times the key line's tones, and the cut that stops it.
//
// On the null sound system libcw's generator thread times each tone by
// sleeping its whole length in cw_usleep_internal, which it calls through
// its procedure linkage table; nothing outside can shorten such a sleep,
// and a flush of the queue waits for it. The daemon defines that function
// itself, so libcw's calls land here: the sleep keeps libcw's timing to
// the microsecond, and an abort can cut the tone in progress.
//
// libcw sleeps a tone from the moment it asks, after its own work and the
// keying callback's: left to itself every element would be that much long
// and the error would add up over a text. Here each tone ends instead at
// the ideal end of the tone before it plus its own length: the edges lie
// on one timeline, as a keyer's crystal puts them. A tone that begins more
// than kTimelineResyncNs late, or after the queue ran empty or a cut, starts
// a new timeline from now: a stall is never made up by shortening the
// elements that follow by more than that.
//
// While a cut is active the generator thread's sleep returns as soon as at
// most one tone is left in libcw's queue, that is once the main thread has
// flushed it; it never skips through tones that are still to be flushed,
// whose dequeue could run the low-queue callback in the middle of an abort.
// Only the generator thread's sleeps are cut and timed on the timeline: it
// marks itself on its first key edge. libcw's other sleeps keep their
// length, except the two of stopping a generator (see key_line_stop_begin).
#pragma once

#include <atomic>
#include <cstdint>

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

// How late a tone may begin and still end on the timeline: the most an
// element is ever shortened to keep the edges on it.
inline constexpr int64_t kTimelineResyncNs = 500'000;

// The ideal end of the last tone on the CLOCK_MONOTONIC, 0 when no
// timeline runs.
struct KeyLineTimeline {
    int64_t end_ns = 0;
};

// When a tone of usecs that libcw begins at now_ns is to end; moves the
// timeline on to that end.
[[nodiscard]] int64_t key_line_tone_end(KeyLineTimeline& timeline, int64_t now_ns, int usecs);

// libcw's stop of a generator sleeps a fixed second on the stopping thread
// before it joins the generator's thread, to let that thread leave its
// loop, and the generator's thread sleeps half a second more once it has
// left, with nothing left to play. Between these two calls, on the thread
// that stops a generator, the second lasts only until a generator's thread
// has left its loop (at most the second), and that thread's half second is
// skipped; libcw's join still waits for the thread to end.
void key_line_stop_begin();
void key_line_stop_end();

}  // namespace varkel
