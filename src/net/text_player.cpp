#include "net/text_player.h"

#include <cstddef>

#include "core/logging.h"
#include "core/settings.h"
#include "devices/keying_device.h"
#include "morse/generator.h"
#include "morse/libcw_api.h"
#include "morse/output.h"
#include "morse/ptt.h"
#include "net/udp_endpoint.h"

namespace varkel {

namespace {

constexpr char kEchoMarker = '^';
constexpr char kFaster = '+';
constexpr char kSlower = '-';
constexpr char kGapMark = '~';
constexpr char kPlusStandIn = '*';
// Takes back the last character typed, as keyboard-mode clients send it.
constexpr char kBackspace = '\b';

constexpr int kSpeedStep = 2;
constexpr int kSlowestWpm = 4;
constexpr int kFastestWpm = 60;
constexpr int kExtraGap = 2;
constexpr int kNoGap = 0;
// libcw calls the low-queue callback once, when its queue falls to one tone.
constexpr int kLowQueueWatermark = 1;
constexpr int kSilentToneMicroseconds = 1;
constexpr int kSilentToneFrequency = 0;
// libcw 3.6 crashes on this one byte while looking it up; every other byte
// it cannot send it refuses by itself.
constexpr char kByteLibcwCrashesOn = '\xff';

// The echo is marked only after the text before it has been queued. If the
// main thread stalls for longer than the text's first element, libcw has
// already passed its low-queue call without seeing the echo, and the client
// would wait for ever. Two silent tones make libcw call it once more.
void catch_up_with_passed_low_queue_call() {
    if (cw_get_tone_queue_length() <= kLowQueueWatermark) {
        cw_queue_tone(kSilentToneMicroseconds, kSilentToneFrequency);
        cw_queue_tone(kSilentToneMicroseconds, kSilentToneFrequency);
    }
}

bool is_speed_character(char c) {
    return c == kFaster || c == kSlower;
}

// Takes the whole run of speed characters starting at position and clamps
// only its sum; returns the position after the run.
size_t apply_speed_run(const char* text, size_t position) {
    int wpm = settings.current.wpm;
    for (; is_speed_character(text[position]); ++position) {
        wpm += text[position] == kFaster ? kSpeedStep : -kSpeedStep;
    }
    if (wpm < kSlowestWpm) {
        wpm = kSlowestWpm;
    } else if (wpm > kFastestWpm) {
        wpm = kFastestWpm;
    }
    settings.current.wpm = wpm;
    output_speed(wpm);
    return position;
}

// Queues one character; returns the position of the next byte to examine.
size_t play_character(const char* text, size_t position, char character) {
    ptt_auto_on(current_device.load(), "PTT (auto) on");
    debug_log(II, "Morse character \"%c\" to be queued in libcw", character);
    if (character != kByteLibcwCrashesOn) {
        output_character(character);
    }
    debug_log(DD, "Morse character \"%c\" has been queued in libcw", character);
    if (cw_get_gap() != kExtraGap) {
        return position + 1;
    }
    // A caret right after a gapped character carries the extra gap on to
    // the character after it instead of marking an echo.
    if (text[position + 1] == kEchoMarker) {
        return position + 2;
    }
    output_gap(kNoGap);
    return position + 1;
}

// The character taken back may have been all that stood between libcw's
// queue and its fall to one tone, and with it the low-queue call that drops
// PTT or sends the echo; silent tones bring that call back.
void take_back_character() {
    if (!output_remove_last_character()) {
        debug_log(II, "backspace: no Morse character left to remove");
        return;
    }
    debug_log(II, "backspace: last Morse character removed from libcw");
    if (ptt_flags() != 0) {
        catch_up_with_passed_low_queue_call();
    }
}

}  // namespace

void play_message(char* text) {
    // libcw 3.6 crashes on any call while it has no generator (a reset or a
    // sound-system switch that could not create one). A crash could leave a
    // parallel port keyed, so the text is dropped instead.
    if (!generator_ready.load()) {
        debug_log(EE, "no working sound system, text dropped");
        empty_message_buffer();
        return;
    }
    // libcw's thread takes a non-NUL first byte as text still waiting, so
    // every write goes through store_message_byte and byte 0 becomes NUL
    // only when the walk ends.
    size_t position = 0;
    bool queued = false;
    for (;;) {
        const char byte = text[position];
        if (byte == kEchoMarker) {
            store_message_byte(position, '\0');
            prepare_echo_reply(text, position);
            // A caret alone queues nothing: its echo waits for the next text.
            if (queued) {
                catch_up_with_passed_low_queue_call();
            }
            continue;
        }
        if (byte == '\0') {
            empty_message_buffer();
            return;
        }
        if (is_speed_character(byte)) {
            position = apply_speed_run(text, position);
        } else if (byte == kBackspace) {
            take_back_character();
            ++position;
        } else if (byte == kGapMark) {
            output_gap(kExtraGap);
            ++position;
        } else if (byte == kPlusStandIn) {
            store_message_byte(position, kFaster);
            position = play_character(text, position, kFaster);
            queued = true;
        } else {
            position = play_character(text, position, byte);
            queued = true;
        }
    }
}

}  // namespace varkel
