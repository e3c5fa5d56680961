#include "morse/generator.h"

#include <unistd.h>

#include "core/logging.h"
#include "devices/keying_device.h"
#include "morse/callbacks.h"
#include "morse/libcw_api.h"
#include "morse/ptt.h"

namespace varkel {

std::atomic<bool> generator_ready{false};
unsigned (*oss_retry_sleep)(unsigned seconds) = sleep;

namespace {

constexpr int kLowQueueLevel = 1;
constexpr int kTuneToneMicroseconds = 1000000;
constexpr char kTuneEndCharacter = 'e';
constexpr double kLibraryWeightingPerStep = 0.6;
constexpr double kLibraryWeightingCentre = 50.0;

}  // namespace

bool create_generator(int sound_system) {
    const char* label = cw_get_audio_system_label(sound_system);
    bool created = cw_generator_new(sound_system, nullptr) != CW_FAILURE;
    // OSS may still be held by the program that had it last: give it time.
    for (int attempt = 0; !created && sound_system == CW_AUDIO_OSS && attempt < kOssRetries;
         ++attempt) {
        debug_log(II, "delaying switching to OSS, please wait few seconds.");
        oss_retry_sleep(kOssRetrySeconds);
        created = cw_generator_new(CW_AUDIO_OSS, nullptr) != CW_FAILURE;
    }
    if (!created) {
        debug_log(EE, "failed to create generator with sound system \"%s\"", label);
        return false;
    }
    const bool started = cw_generator_start() != CW_FAILURE;
    debug_log(II, "starting generator with sound system \"%s\": %s", label,
              started ? "success" : "failure");
    return started;
}

void destroy_generator() {
    cw_generator_stop();
    cw_generator_delete();
}

void configure_generator(const ParameterSet& parameters) {
    generator_ready.store(true);
    cw_register_tone_queue_low_callback(low_queue_callback, nullptr, kLowQueueLevel);
    // libcw forgets the keying callback with the generator it was given
    // for: without this every key edge after a reset or a switch of sound
    // system would stay off the keying device.
    cw_register_keying_callback(keying_callback, nullptr);
    cw_set_frequency(parameters.tone);
    cw_set_send_speed(parameters.wpm);
    cw_set_volume(parameters.volume);
    cw_set_gap(0);
    cw_set_weighting(weighting_to_library(parameters.weighting));
}

void reset_generator() {
    destroy_generator();
    debug_log(II, "setting sound system \"%s\"",
              cw_get_audio_system_label(settings.defaults.sound_system));
    if (create_generator(settings.defaults.sound_system)) {
        configure_generator(settings.defaults);
    } else {
        generator_ready.store(false);
    }
}

void switch_sound_system() {
    destroy_generator();
    if (!create_generator(settings.current.sound_system)) {
        // Removes a generator that was created but would not start.
        destroy_generator();
        if (!create_generator(CW_AUDIO_NULL)) {
            debug_log(EE, "failed to fall back to \"Null\" sound system");
            generator_ready.store(false);
            return;
        }
        debug_log(WW, "fall back to \"Null\" sound system");
        settings.current.sound_system = CW_AUDIO_NULL;
    }
    configure_generator(settings.current);
}

int weighting_to_library(int weighting) {
    return static_cast<int>(weighting * kLibraryWeightingPerStep + kLibraryWeightingCentre);
}

void tune(int seconds) {
    if (seconds == 0) {
        return;
    }
    cw_flush_tone_queue();
    ptt_auto_on(current_device.load(), "PTT (TUNE) on");
    for (int second = 0; second < seconds; ++second) {
        cw_queue_tone(kTuneToneMicroseconds, settings.current.tone);
    }
    cw_send_character(kTuneEndCharacter);
}

}  // namespace varkel
