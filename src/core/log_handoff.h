// The debug log lines of threads that must not write: libcw's key-line
// thread (a stuck output would stop the key line, perhaps with the key
// down) and any thread while it holds the device lock. They are handed to
// the main thread through a fixed ring, and the main thread writes them
// before each line of its own, so the output keeps the order of events.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace varkel {

// Lines the ring holds; a line is cut to the debug log's 1023 characters.
inline constexpr size_t kHandedOverLines = 128;

// Formats the line into the next free place and publishes it: no lock, no
// allocation, no system call. When the ring is full the line is dropped
// and counted; false then.
bool hand_over_log_line(int level, const char* format, va_list args) noexcept;

// Gives every published line, oldest first, to write, and returns how many
// lines were dropped since the last call (the count starts again). One
// caller at a time: a call while another runs returns 0 at once, without
// waiting for it.
using HandedOverLineWriter = void (*)(int level, const char* message);
uint64_t take_handed_over_lines(HandedOverLineWriter write);

// Empties the ring without writing (tests only).
void reset_log_handoff_for_tests();

}  // namespace varkel
