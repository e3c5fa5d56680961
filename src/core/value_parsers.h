// Text to checked values, shared by the command line and the requests. Each
// parser logs its own II or EE line and stores only an accepted value.
#pragma once

#include <cstdint>

namespace varkel {

enum PttDelayResult {
    PTT_DELAY_INVALID = 0,  // not accepted, target unchanged
    PTT_DELAY_OK = 1,       // accepted and stored
    PTT_DELAY_CLIPPED = 2,  // above the range; 50 stored instead
};

inline constexpr int32_t kWpmMin = 4, kWpmMax = 60;
inline constexpr int32_t kToneMin = 0, kToneMax = 4000;
inline constexpr int32_t kWeightingMin = -50, kWeightingMax = 50;
inline constexpr int32_t kVolumeMin = 0, kVolumeMax = 100;
inline constexpr int32_t kPttDelayMin = 0, kPttDelayMax = 50;
inline constexpr int32_t kPortMin = 1024, kPortMax = 65535;
inline constexpr int32_t kPriorityMin = -20, kPriorityMax = 20;

[[nodiscard]] bool parse_long(const char* text, int64_t& out);

bool parse_wpm(int32_t& target, const char* text);
bool parse_tone(int32_t& target, const char* text);
bool parse_weighting(int32_t& target, const char* text);
bool parse_volume(int32_t& target, const char* text);
bool parse_sound_system(int32_t& target, const char* text);
PttDelayResult parse_ptt_delay(int32_t& target, const char* text);

bool parse_port(const char* text);
bool parse_priority(const char* text);
bool parse_libcw_debug_flags(const char* text);
bool parse_verbosity(const char* text);
bool parse_debug_file_path(const char* text);

}  // namespace varkel
