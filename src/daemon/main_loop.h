// The single main loop: wait for a datagram, handle it, poll the foot switch.
#pragma once

#include <atomic>
#include <cstdint>

namespace varkel {

// Passes after a key edge that wait 1 second instead of a day.
inline constexpr int32_t kShortTimeoutPasses = 30;
inline constexpr long kShortTimeoutSeconds = 1;
inline constexpr long kLongTimeoutSeconds = 86400;

// short_timeout_counter (morse/callbacks.h) counts the passes.

// Set by the handler of SIGTERM, SIGHUP and (in the foreground) SIGINT;
// the loop prints the exit line and ends the process with status 0 once
// select returns.
extern std::atomic<bool> exit_signal_received;

// Installs that handler; the signals are taken only while the loop waits.
void install_exit_signal_handlers(bool foreground);

// One pass of the loop: wait, receive, poll the foot switch.
void main_loop_pass();

[[noreturn]] void run_main_loop();

}  // namespace varkel
