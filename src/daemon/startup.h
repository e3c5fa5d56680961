// Start-up in its fixed order, the clean-up handlers and detaching.
#pragma once

namespace varkel {

// Runs start-up and then the main loop; never returns.
[[noreturn]] void run_daemon(int argc, char** argv);

// Start-up steps exposed for tests.
void settle_debug_output();
void close_debug_file();  // clean-up handler C

}  // namespace varkel
