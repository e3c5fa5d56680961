#include "core/value_parsers.h"

#include <libcw.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/logging.h"
#include "core/settings.h"

namespace varkel {

namespace {

struct SoundSystemLetter {
    char letter;
    int32_t system;
};

// Only the first character of the text selects the system; lower case only.
constexpr SoundSystemLetter kSoundSystemLetters[] = {
    {'a', CW_AUDIO_ALSA}, {'c', CW_AUDIO_CONSOLE}, {'n', CW_AUDIO_NULL},
    {'o', CW_AUDIO_OSS},  {'p', CW_AUDIO_PA},      {'s', CW_AUDIO_SOUNDCARD},
};

struct VerbosityLetter {
    char letter;
    int32_t threshold;
};

constexpr VerbosityLetter kVerbosityLetters[] = {
    {'n', NN}, {'N', NN}, {'e', EE}, {'E', EE}, {'w', WW},
    {'W', WW}, {'i', II}, {'I', II}, {'d', DD}, {'D', DD},
};

constexpr const char* kReservedDebugOutput = "syslog";

// Converts and range-checks on the full 64-bit value, so that a number that
// would wrap into the range when narrowed is still refused.
bool parse_in_range(const char* text, int32_t low, int32_t high, int64_t& value) {
    int64_t parsed = 0;
    if (!parse_long(text, parsed) || parsed < low || parsed > high) {
        return false;
    }
    value = parsed;
    return true;
}

}  // namespace

bool parse_long(const char* text, int64_t& out) {
    errno = 0;
    char* end = nullptr;
    const long value = strtol(text, &end, 10);
    if (*text == '\0') {
        return false;
    }
    // Anything after the digits, white space included, is refused; so is a
    // text without digits, where strtol leaves end at its start.
    if (*end != '\0') {
        return false;
    }
    if (errno == ERANGE && (value == LONG_MIN || value == LONG_MAX)) {
        return false;
    }
    out = value;
    return true;
}

bool parse_wpm(int32_t& target, const char* text) {
    int64_t value = 0;
    if (!parse_in_range(text, kWpmMin, kWpmMax, value)) {
        debug_log(EE,
                  "invalid requested morse speed [wpm]: \"%s\" (should be integer between %d and "
                  "%d inclusive)",
                  text, kWpmMin, kWpmMax);
        return false;
    }
    target = static_cast<int32_t>(value);
    debug_log(II, "requested morse speed [wpm]: \"%d\"", target);
    return true;
}

bool parse_tone(int32_t& target, const char* text) {
    int64_t value = 0;
    if (!parse_in_range(text, kToneMin, kToneMax, value)) {
        debug_log(EE,
                  "invalid requested tone [Hz]: \"%s\" (should be integer between %d and %d "
                  "inclusive)",
                  text, kToneMin, kToneMax);
        return false;
    }
    target = static_cast<int32_t>(value);
    debug_log(II, "requested tone [Hz]: \"%ld\"", value);
    return true;
}

bool parse_weighting(int32_t& target, const char* text) {
    int64_t value = 0;
    if (!parse_in_range(text, kWeightingMin, kWeightingMax, value)) {
        debug_log(EE,
                  "invalid requested weighting: \"%s\" (should be integer between %d and %d "
                  "inclusive)",
                  text, kWeightingMin, kWeightingMax);
        return false;
    }
    target = static_cast<int32_t>(value);
    debug_log(II, "requested weighting: \"%ld\"", value);
    return true;
}

bool parse_volume(int32_t& target, const char* text) {
    int64_t value = 0;
    if (!parse_in_range(text, kVolumeMin, kVolumeMax, value)) {
        debug_log(EE,
                  "invalid requested volume [%%]: \"%s\" (should be integer between %d and %d "
                  "inclusive)",
                  text, kVolumeMin, kVolumeMax);
        return false;
    }
    target = static_cast<int32_t>(value);
    debug_log(II, "requested volume [%%]: \"%d\"", target);
    return true;
}

PttDelayResult parse_ptt_delay(int32_t& target, const char* text) {
    int64_t value = 0;
    if (!parse_long(text, value)) {
        debug_log(EE,
                  "invalid requested PTT delay [ms]: \"%s\" (should be integer between %d and %d "
                  "inclusive)",
                  text, kPttDelayMin, kPttDelayMax);
        return PTT_DELAY_INVALID;
    }
    // Both refusals below are reported by the caller: the command line and
    // the requests treat them differently.
    if (value > kPttDelayMax) {
        target = kPttDelayMax;
        return PTT_DELAY_CLIPPED;
    }
    if (value < kPttDelayMin) {
        return PTT_DELAY_INVALID;
    }
    target = static_cast<int32_t>(value);
    debug_log(II, "requested PTT delay [ms]: \"%ld\"", value);
    return PTT_DELAY_OK;
}

bool parse_sound_system(int32_t& target, const char* text) {
    for (const auto& entry : kSoundSystemLetters) {
        if (text[0] == entry.letter) {
            target = entry.system;
            debug_log(II, "requested sound system: \"%s\" (\"%s\")", text,
                      cw_get_audio_system_label(entry.system));
            return true;
        }
    }
    debug_log(EE,
              "invalid requested sound system: \"%s\" (use c(onsole), o(ss), a(lsa), "
              "p(ulseaudio), n(ull - no audio), or s(oundcard - autoselect from "
              "OSS/ALSA/PulseAudio))",
              text);
    return false;
}

bool parse_port(const char* text) {
    int64_t value = 0;
    if (!parse_in_range(text, kPortMin, kPortMax, value)) {
        debug_log(EE, "invalid requested port number: \"%s\"", text);
        return false;
    }
    settings.port = static_cast<int32_t>(value);
    debug_log(II, "requested port number: \"%ld\"", value);
    return true;
}

bool parse_priority(const char* text) {
    int64_t value = 0;
    if (!parse_in_range(text, kPriorityMin, kPriorityMax, value)) {
        debug_log(EE,
                  "invalid requested process priority: \"%s\" (should be integer between -20 "
                  "and 20 inclusive)",
                  text);
        return false;
    }
    settings.priority = static_cast<int32_t>(value);
    debug_log(II, "requested process priority: \"%ld\"", value);
    return true;
}

bool parse_libcw_debug_flags(const char* text) {
    int64_t value = 0;
    if (!parse_long(text, value)) {
        debug_log(EE, "invalid requested debug flags: \"%s\" (should be numeric value)", text);
        settings.libcw_debug_flags = 0;
        return false;
    }
    settings.libcw_debug_flags = value;
    debug_log(II, "requested libcw debug flags: \"%ld\"", value);
    return true;
}

bool parse_verbosity(const char* text) {
    if (text[0] != '\0' && text[1] == '\0') {
        for (const auto& entry : kVerbosityLetters) {
            if (text[0] == entry.letter) {
                // Takes effect when start-up copies the defaults over; the
                // log keeps obeying the current threshold until then.
                settings.defaults.verbosity = entry.threshold;
                debug_log(II, "requested verbosity level threshold: \"%s\"",
                          level_label(entry.threshold));
                return true;
            }
        }
    }
    debug_log(EE, "invalid requested verbosity level: \"%s\"", text);
    return false;
}

bool parse_debug_file_path(const char* text) {
    if (strcmp(text, kReservedDebugOutput) == 0) {
        debug_log(EE,
                  "debug output file \"%s\" not implemented yet, try it in later versions of %s",
                  text, kProgramName);
        return false;
    }
    // "stdout", "stderr" and file paths alike: start-up gives them meaning.
    settings.debug_file_path = text;
    debug_log(II, "requested debug file path: \"%s\"", settings.debug_file_path->c_str());
    return true;
}

}  // namespace varkel
