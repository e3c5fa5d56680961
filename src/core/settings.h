// The record of every value an operator or a client can tune: a default
// copy written by the command line, a current copy written by requests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace varkel {

struct ParameterSet {
    int32_t wpm = 24;          // words per minute, 4..60
    int32_t tone = 800;        // Hz, 0..4000; 0 is silent
    int32_t volume = 70;       // percent, 0..100
    int32_t sound_system = 2;  // libcw audio system, 1..6; 2 is the console buzzer
    int32_t ptt_delay = 0;     // ms, 0..50; 0: PTT is never raised automatically
    int32_t weighting = 0;     // -50..50
    int32_t verbosity = 2;     // debug log threshold, 0 (NN) .. 4 (DD)
};

struct Settings {
    ParameterSet defaults;
    ParameterSet current;
    int32_t port = 6789;
    int32_t priority = 0;  // 0: leave the scheduling priority alone
    int64_t libcw_debug_flags = 0;
    std::optional<std::string> debug_file_path;
    bool nofork = false;
};

// Only the main thread writes it. libcw's thread reads current.verbosity
// through the debug log, so that one field is read and written atomically
// (see log_threshold / set_log_threshold in logging.h).
extern Settings settings;

// Copies the seven paired values from defaults to current, in field order.
void reset_to_defaults();

// Puts the whole record back to its initial values (tests only).
void reset_settings_for_tests();

}  // namespace varkel
