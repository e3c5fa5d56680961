#include "core/value_parsers.h"
// STUB: to be written.
namespace varkel {
bool parse_long(const char*, int64_t&) { return false; }
bool parse_wpm(int32_t&, const char*) { return false; }
bool parse_tone(int32_t&, const char*) { return false; }
bool parse_weighting(int32_t&, const char*) { return false; }
bool parse_volume(int32_t&, const char*) { return false; }
bool parse_sound_system(int32_t&, const char*) { return false; }
PttDelayResult parse_ptt_delay(int32_t&, const char*) { return PTT_DELAY_INVALID; }
bool parse_port(const char*) { return false; }
bool parse_priority(const char*) { return false; }
bool parse_libcw_debug_flags(const char*) { return false; }
bool parse_verbosity(const char*) { return false; }
bool parse_debug_file_path(const char*) { return false; }
}  // namespace varkel
