#include "net/escape_requests.h"

#include <libcw.h>

#include <cstdint>
#include <cstring>

#include "core/logging.h"
#include "core/process_exit.h"
#include "core/settings.h"
#include "core/value_parsers.h"
#include "devices/keying_device.h"
#include "morse/generator.h"
#include "morse/output.h"
#include "morse/paddle.h"
#include "morse/ptt.h"
#include "morse/ptt_hold.h"
#include "net/udp_endpoint.h"

namespace varkel {

// Main thread only.
bool word_mode = false;

namespace {

inline constexpr size_t kCodeIndex = 1;
inline constexpr size_t kArgumentIndex = 2;
inline constexpr int64_t kTuneSecondsMin = 0, kTuneSecondsMax = 10;
inline constexpr int64_t kBandMin = 0, kBandMax = 15;
inline constexpr const char* kBreakNotice = "break\r\n";

// libcw 3.6 dereferences its generator in every setter and queue call, so
// after a reset or a sound-system switch that could not create one, a
// request must leave libcw alone instead of crashing the daemon with the
// key possibly down. The values are still stored and applied by the next
// generator that is created.
bool have_generator() {
    return generator_ready.load();
}

void log_flag_change(const char* format, uint8_t flags) {
    debug_log(DD, format, flags, ptt_flag_text(flags).data());
}

void request_speed(const char* argument) {
    if (parse_wpm(settings.current.wpm, argument) && have_generator()) {
        output_speed(settings.current.wpm);
    }
}

void request_tone(const char* argument) {
    if (!parse_tone(settings.current.tone, argument)) {
        return;
    }
    const bool ready = have_generator();
    if (settings.current.tone == 0) {
        // Silence by volume: the frequency stays, so the next tone request
        // or volume request brings the sound back.
        if (ready) {
            output_volume(0);
        }
        debug_log(II, "volume off");
        return;
    }
    if (ready) {
        output_frequency(settings.current.tone);
    }
    debug_log(II, "tone: %d Hz", settings.current.tone);
    if (ready) {
        output_volume(settings.current.volume);
    }
}

// Lifts the key now and drops all that is queued; a pending echo is
// answered with the abort notice instead.
void cut_transmission() {
    if ((ptt_flags() & PTT_ACTIVE_ECHO) != 0) {
        debug_log(II, "echo \"break\"");
        send_reply(kBreakNotice);
    }
    empty_message_buffer();
    // No lock is held here: the callbacks keep running while libcw's
    // queue is emptied.
    if (have_generator()) {
        output_abort();
    }
}

// The abort: as above, then PTT falls after the key, manual PTT too; with a
// tail or hang automatic PTT falls after it all the same.
void stop_transmission() {
    cut_transmission();
    if (ptt_hold_after_abort()) {
        return;
    }
    if (ptt_flags() != 0) {
        ptt_off(current_device.load(), "PTT off");
    }
    // Also when ptt_off has just written the same line: the clear is this
    // request's own, and it drops a pending echo.
    ptt_flags_clear_all();
}

// A generator that is stopped takes its queue with it without a call of
// the low-queue callback, so nothing else would lift the key, drop
// automatic PTT or answer a pending echo. A client's manual PTT stays.
void end_transmission_before_new_generator() {
    if ((ptt_flags() & (PTT_ACTIVE_AUTO | PTT_ACTIVE_ECHO)) == 0 && !device_key_is_down() &&
        (!have_generator() || cw_get_tone_queue_length() == 0)) {
        return;  // idle: nothing to lift, and the port is not written
    }
    cut_transmission();
    const uint8_t flags = ptt_flags();
    if ((flags & PTT_ACTIVE_MANUAL) == 0 && (flags & PTT_ACTIVE_AUTO) != 0) {
        ptt_off(current_device.load(), "PTT off");
    } else if ((flags & PTT_ACTIVE_ECHO) != 0) {
        log_flag_change("PTT flag -PTT_ACTIVE_ECHO (0x%02x/%s)", ptt_flags_clear(PTT_ACTIVE_ECHO));
    }
}

void request_reset() {
    debug_log(II, "requested resetting of parameters");
    end_transmission_before_new_generator();
    empty_message_buffer();
    reset_to_defaults();
    reset_generator();
    word_mode = false;
    device_reset(current_device.load());
    ptt_flags_clear_all();
    debug_log(II, "resetting completed");
}

void request_abort() {
    if (word_mode) {
        debug_log(II, "requested aborting of message - ignoring (word mode is active)");
        return;
    }
    debug_log(II, "requested aborting of message - executing (character mode is active)");
    stop_transmission();
}

void request_exit() {
    debug_log(II, "requested exit of daemon");
    exit_process(0);
}

void request_word_mode() {
    empty_message_buffer();
    word_mode = true;
    debug_log(II, "wordmode set");
}

void request_weighting(const char* argument) {
    if (parse_weighting(settings.current.weighting, argument) && have_generator()) {
        output_weighting(weighting_to_library(settings.current.weighting));
    }
}

void request_device(const char* argument) {
    debug_log(II, "requested cwdevice \"%s\"", argument);
    select_device(current_device, argument);
    paddle_device_changed();
}

void request_obsolete_port() {
    debug_log(WW, "obsolete request \"9\" (change network port), ignoring");
}

void manual_ptt_on() {
    if (settings.current.ptt_delay != 0) {
        ptt_auto_on(current_device.load(), "PTT (manual, delay) on");
    } else {
        // A delay of 0 means the daemon never drives PTT by itself; the
        // flag alone records that a client holds it.
        debug_log(II, "PTT (manual, immediate) on");
    }
    log_flag_change("PTT flag +PTT_ACTIVE_MANUAL (0x%02x/%s)", ptt_flags_set(PTT_ACTIVE_MANUAL));
}

void manual_ptt_off() {
    if ((ptt_flags() & PTT_ACTIVE_MANUAL) == 0) {
        return;
    }
    log_flag_change("PTT flag -PTT_ACTIVE_MANUAL (0x%02x/%s)", ptt_flags_clear(PTT_ACTIVE_MANUAL));
    const int queued = have_generator() ? cw_get_tone_queue_length() : 0;
    if (!message_waiting() && queued <= 1) {
        ptt_off(current_device.load(), "PTT (manual, immediate) off");
        return;
    }
    // Morse is still queued: hand PTT to the low-queue callback, which
    // drops it once the queue has drained.
    log_flag_change("PTT flag +PTT_ACTIVE_AUTO (0x%02x/%s)", ptt_flags_set(PTT_ACTIVE_AUTO));
    debug_log(II, "reverting from PTT (manual) to PTT (auto) now");
}

void request_manual_ptt(const char* argument) {
    int64_t value = 0;
    if (!parse_long(argument, value)) {
        debug_log(EE,
                  "invalid requested PTT state: \"%s\" (should be numeric value \"0\" or \"1\")",
                  argument);
        return;
    }
    debug_log(II, "requested PTT state: \"%s\"", argument);
    if (value != 0) {
        manual_ptt_on();
    } else {
        manual_ptt_off();
    }
}

void request_ssb_way(const char* argument) {
    int64_t value = 0;
    if (!parse_long(argument, value)) {
        return;
    }
    KeyingDevice* device = current_device.load();
    const bool soundcard = value != 0;
    if (device->ssb_way == nullptr) {
        debug_log(WW, soundcard ? "\"SSB way\" to SOUNDCARD unimplemented"
                                : "\"SSB way\" to MICROPHONE unimplemented");
        return;
    }
    device_ssb_way(device, soundcard ? 1 : 0);
    debug_log(II, soundcard ? "\"SSB way\" set to SOUNDCARD" : "\"SSB way\" set to MICROPHONE");
}

void request_tune(const char* argument) {
    int64_t seconds = 0;
    if (!parse_long(argument, seconds) || seconds < kTuneSecondsMin || seconds > kTuneSecondsMax) {
        debug_log(EE,
                  "invalid requested tuning time [s]: \"%s\" (should be integer between %d and %d "
                  "inclusive)",
                  argument, static_cast<int>(kTuneSecondsMin), static_cast<int>(kTuneSecondsMax));
        return;
    }
    debug_log(II, "requested tuning time [s]: \"%ld\"", static_cast<long>(seconds));
    if (seconds != 0) {
        if (have_generator()) {
            tune(static_cast<int>(seconds));
        }
        return;
    }
    // Clients stop the carrier they started with a tune of 0 seconds, in
    // word mode too: a transmitter left keyed is never what they want.
    if (output_tune_running() || paddle_sending()) {
        debug_log(II, "stopping tuning");
        stop_transmission();
    }
}

void request_ptt_delay(const char* argument) {
    switch (parse_ptt_delay(settings.current.ptt_delay, argument)) {
        case PTT_DELAY_INVALID:
            debug_log(EE,
                      "invalid requested PTT delay [ms]: \"%s\" (should be integer between %d and "
                      "%d inclusive)",
                      argument, kPttDelayMin, kPttDelayMax);
            return;
        case PTT_DELAY_CLIPPED:
            debug_log(WW,
                      "requested PTT delay [ms] out of range: \"%s\", clipping to \"%d\" (should "
                      "be between %d and %d inclusive)",
                      argument, kPttDelayMax, kPttDelayMin, kPttDelayMax);
            break;
        case PTT_DELAY_OK:
            break;
    }
    if (settings.current.ptt_delay == 0) {
        ptt_off(current_device.load(), "ensure PTT off");
    }
}

void request_band(const char* argument) {
    int64_t band = 0;
    if (parse_long(argument, band) && band >= kBandMin && band <= kBandMax) {
        switch_band(current_device.load(), static_cast<int>(band));
    }
}

void request_sound_system(const char* argument) {
    if (parse_sound_system(settings.current.sound_system, argument)) {
        end_transmission_before_new_generator();
        switch_sound_system();
    }
}

void request_volume(const char* argument) {
    if (parse_volume(settings.current.volume, argument) && have_generator()) {
        output_volume(settings.current.volume);
    }
}

void request_echo(const char* request_from_code) {
    prepare_echo_reply(request_from_code, strlen(request_from_code));
    char reply[kReplyBufferSize];
    copy_reply_text(reply, sizeof reply);
    debug_log(II, "reply is ready, waiting for message from client (reply: \"%s\")", reply);
}

}  // namespace

void break_in_transmission() {
    debug_log(II, "paddle: break-in");
    const uint8_t flags = ptt_flags();
    if ((flags & PTT_ACTIVE_AUTO) == 0 || (flags & PTT_ACTIVE_MANUAL) != 0) {
        stop_transmission();
        return;
    }
    // The operator goes on by hand at once: automatic PTT stays up for the
    // paddle's elements, so that the relay does not open and close again
    // and the first element waits no second PTT delay. The rest is the
    // abort's.
    cut_transmission();
    if ((ptt_flags() & PTT_ACTIVE_ECHO) != 0) {
        log_flag_change("PTT flag -PTT_ACTIVE_ECHO (0x%02x/%s)", ptt_flags_clear(PTT_ACTIVE_ECHO));
    }
}

void handle_escape_request(char* request) {
    // ESC alone has NUL for a code and nothing after it: the argument is
    // read only once a known code has been seen.
    const char code = request[kCodeIndex];
    const char* argument = request + kArgumentIndex;
    switch (code) {
        case '0':
            request_reset();
            break;
        case '2':
            request_speed(argument);
            break;
        case '3':
            request_tone(argument);
            break;
        case '4':
            request_abort();
            break;
        case '5':
            request_exit();
            break;
        case '6':
            request_word_mode();
            break;
        case '7':
            request_weighting(argument);
            break;
        case '8':
            request_device(argument);
            break;
        case '9':
            request_obsolete_port();
            break;
        case 'a':
            request_manual_ptt(argument);
            break;
        case 'b':
            request_ssb_way(argument);
            break;
        case 'c':
            request_tune(argument);
            break;
        case 'd':
            request_ptt_delay(argument);
            break;
        case 'e':
            request_band(argument);
            break;
        case 'f':
            request_sound_system(argument);
            break;
        case 'g':
            request_volume(argument);
            break;
        case 'h':
            request_echo(request + kCodeIndex);
            break;
        default:
            break;  // '1' and every unknown code are ignored silently
    }
    paddle_settings_changed();
}

}  // namespace varkel
