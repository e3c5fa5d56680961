// Wakes the main loop from another thread: libcw's key-line thread hands
// its log lines and the end of a sidetone carrier to the main thread, and
// must neither block nor take a lock to say so.
#pragma once

namespace varkel {

// Opens the wake-up descriptor (an eventfd, close-on-exec, non-blocking).
// Before it is open, and when it cannot be, wake_main_thread does nothing
// and the main thread picks the work up at its next own log line or pass.
[[nodiscard]] bool open_main_wake();
void close_main_wake();

// The descriptor the main loop waits on beside its sockets; -1 when none.
int main_wake_fd();

// From any thread: one non-blocking write, and only the first since the
// main thread last took the wake-up; no lock, no allocation.
void wake_main_thread() noexcept;

// Main thread: clears the wake-up before the work it stands for is done, so
// that work handed over meanwhile wakes the loop again.
void take_main_wake();

}  // namespace varkel
