// What is keyed and what is heard: each of these goes to the key line's
// generator and to the sidetone alike, so that the two never disagree on
// the Morse they send. Tone and volume are the exception: they are only
// heard.
#pragma once

#include <cstdint>

namespace varkel {

// libcw takes a tone of 0 Hz for a key-up, so a silent tone on the key
// line's generator would silence the transmitter too: that generator keeps
// one audible frequency at full volume whatever the operator hears, and
// every tone it is given to key uses this frequency.
inline constexpr int kKeyLineFrequency = 800;
inline constexpr int kKeyLineVolume = 100;
void output_setup_key_line();

// The sidetone's only (0 Hz or 0 % silences it, never the key line).
void output_frequency(int hz);
void output_speed(int wpm);
void output_volume(int percent);  // the sidetone's only
void output_gap(int dots);
void output_weighting(int library_weighting);
// The key line's dot at the speed and weighting last given, as libcw
// times it; read from any thread.
[[nodiscard]] int64_t key_line_dot_ns();
void output_character(char character);
// Takes back the last character queued that has not begun; false when the
// key line had none left.
[[nodiscard]] bool output_remove_last_character();
// Drops everything queued; the element being keyed still ends on time.
void output_flush();
// Stops now: the key goes up at once, also in the middle of an element or
// a tuning carrier, the sidetone falls silent and everything queued is
// dropped. Returns once libcw's queue is empty and its thread is idle, so
// that the next character starts exactly from its first element.
void output_abort();

// A paddle's element: its mark, then the element space after it, queued
// on the key line behind what is queued there, and sent to the sidetone,
// unless an abort has come since the abort count given (or is running):
// then false, and nothing is queued. Lengths in microseconds. Called on
// the paddle's thread, under generator_life_mutex.
bool output_paddle_element(bool dash, int mark_us, int space_us, uint32_t aborts_seen);
// How many aborts there have been: the paddle's thread tells by it that
// request 4 or c0 stopped its element.
[[nodiscard]] uint32_t output_abort_count();

// The tuning carrier on the key line, from the tune's request until the
// key-up that ends it (or an abort, or a new generator).
void output_tune_started();
[[nodiscard]] bool output_tune_running();
void output_forget_tune();
// When the key line last went up (monotonic microseconds; 0: never).
[[nodiscard]] int64_t output_last_key_up_us();
// Every key edge that was mirrored on the key line (keying callback).
void output_key_edge(int key_state) noexcept;

}  // namespace varkel
