// A recording stand-in for libcw's C functions, linked into the unit tests
// in place of the real library: every call is recorded with its arguments,
// and the results the daemon sees can be set.
#pragma once

#include <string>
#include <vector>

namespace fake_libcw {

struct Call {
    std::string name;
    std::vector<long> args;
    bool operator==(const Call&) const = default;
};

// Forgets every recorded call and puts every knob back to its default.
void reset();

// The calls recorded since the last reset (copy; thread-safe).
std::vector<Call> calls();
std::vector<std::string> call_names();
size_t count(const std::string& name);

// The device name the last cw_gen_new was given (empty: the default).
std::string last_gen_sound_device();

// Knobs.
void set_generator_new_result(int audio_system, int result);  // default 1 (CW_SUCCESS)
void set_generator_start_result(int result);                  // default 1
void set_tone_queue_length(int length);                       // default 0
// What both remove-last-character calls return.
void set_remove_last_character_result(int result);  // default 1 (CW_SUCCESS)
// Lengths for the next reads of the queue length, one per read; after the
// last one the length set above applies again.
void set_tone_queue_lengths(const std::vector<int>& lengths);
// Called with each character given to cw_send_character, before it
// returns (a test can fire callbacks "while" libcw plays).
void set_send_hook(void (*hook)(char));

// What the daemon registered. Like the real library, deleting the
// generator forgets the keying callback.
using KeyingCallback = void (*)(void*, int);
using LowQueueCallback = void (*)(void*);
KeyingCallback keying_callback();
LowQueueCallback low_queue_callback();
int low_queue_level();

// Invoke the registered callbacks as libcw's thread would.
void fire_key(int state);
void fire_low_queue();

// Called by cw_gen_flush_queue before it returns: a real flush waits for
// the tone in progress.
void set_gen_flush_hook(void (*hook)());

// Called (from the fake cw_wait_for_tone_queue) before it returns, so a
// test can run callbacks "while" the main thread waits.
void set_wait_hook(void (*hook)());

}  // namespace fake_libcw
