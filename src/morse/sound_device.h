// The sidetone's sound device, chosen with "-o sound-device=NAME": a sink
// of the sound server, an ALSA PCM such as plughw:CARD=Device, an OSS path.
// A station with two cards (the radio's codec for data modes, the desk's
// speakers for the sidetone) needs to say which one plays the Morse.
//
// The name belongs to the sound system given with -x: a request for
// another system plays on that system's default device, and coming back to
// the first one (or a reset) plays on the name again. Written by the
// command line before any thread exists, read on the main thread only.
#pragma once

#include <string_view>

namespace varkel {

// Whether an -o value is this option, whatever follows the "=".
[[nodiscard]] bool is_sound_device_option(const char* text);

// Checks the value (at most libcw's limit, printable characters only) and
// keeps it, with its II line; EE and false when refused.
[[nodiscard]] bool parse_sound_device_option(const char* text);

// The device for a generator on the sound system: the name when it is the
// system of -x, else empty (the system's default device).
[[nodiscard]] std::string_view sound_device_for(int sound_system);

// The name given, empty when none.
[[nodiscard]] std::string_view chosen_sound_device();

void reset_sound_device_for_tests();

}  // namespace varkel
