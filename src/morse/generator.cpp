#include "morse/generator.h"

#include <pthread.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "core/alternate_signal_stack.h"
#include "core/logging.h"
#include "core/realtime_scheduling.h"
#include "devices/keying_device.h"
#include "morse/callbacks.h"
#include "morse/key_line_clock.h"
#include "morse/libcw_api.h"
#include "morse/output.h"
#include "morse/ptt.h"
#include "morse/sidetone.h"
#include "morse/sound_device.h"

namespace varkel {

std::atomic<bool> generator_ready{false};
std::mutex generator_life_mutex;

namespace {

// Set by tune() on the main thread while it queues the tune's tones; read
// by the low-queue callback on libcw's thread.
std::atomic<bool> g_tune_queueing{false};

}  // namespace
unsigned (*oss_retry_sleep)(unsigned seconds) = sleep;

namespace {

constexpr int kLowQueueLevel = 1;
constexpr int kTuneToneMicroseconds = 1000000;
constexpr char kTuneEndCharacter = 'e';
constexpr double kLibraryWeightingPerStep = 0.6;
constexpr double kLibraryWeightingCentre = 50.0;

// Most often a sink or card name mistyped, or a card unplugged.
void warn_device_unusable(std::string_view device, const char* label) {
    if (!device.empty()) {
        debug_log(WW, "sound device \"%s\" cannot be opened on sound system \"%s\"",
                  std::string(device).c_str(), label);
    }
}

}  // namespace

// The sound system named is the sidetone's; the key line's generator is
// always on the null sound system, where libcw's own sleeps time it.
bool create_generator(int sound_system) {
    const char* label = cw_get_audio_system_label(sound_system);
    const std::string_view device = sound_device_for(sound_system);
    if (device.empty() && !chosen_sound_device().empty() && sound_system != CW_AUDIO_NULL) {
        debug_log(II,
                  "sound device \"%s\" belongs to sound system \"%s\": \"%s\" plays on its "
                  "default device",
                  std::string(chosen_sound_device()).c_str(),
                  cw_get_audio_system_label(settings.defaults.sound_system), label);
    }
    bool sidetone_created = sidetone_create(sound_system, device);
    // OSS may still be held by the program that had it last: give it time.
    for (int attempt = 0;
         !sidetone_created && sound_system == CW_AUDIO_OSS && attempt < kOssRetries; ++attempt) {
        debug_log(II, "delaying switching to OSS, please wait few seconds.");
        oss_retry_sleep(kOssRetrySeconds);
        sidetone_created = sidetone_create(CW_AUDIO_OSS, device);
    }
    bool created = sidetone_created;
    if (created && cw_generator_new(CW_AUDIO_NULL, nullptr) == CW_FAILURE) {
        sidetone_destroy();
        created = false;
    }
    if (!created) {
        debug_log(EE, "failed to create generator with sound system \"%s\"", label);
        if (!sidetone_created) {
            warn_device_unusable(device, label);
        }
        return false;
    }
    const bool sidetone_started = sidetone_start();
    bool started = false;
    if (sidetone_started) {
        // The thread that keys the line comes into being here.
        RealtimeForNewThreads keying_thread("varkel key");
        started = cw_generator_start() != CW_FAILURE;
    }
    debug_log(II, "starting generator with sound system \"%s\": %s", label,
              started ? "success" : "failure");
    if (!sidetone_started) {
        warn_device_unusable(device, label);
    }
    return started;
}

namespace {

// libcw's stop waits for the generator's thread to leave its loop, not a
// fixed second (see key_line_stop_begin).
void stop_sidetone() {
    key_line_stop_begin();
    sidetone_destroy();
    key_line_stop_end();
}

void* destroy_sidetone_thread(void*) {
    use_alternate_signal_stack();
    stop_sidetone();
    return nullptr;
}

}  // namespace

void destroy_generator() {
    output_forget_tune();
    // Stopping a generator waits for its thread to end, on a sound server
    // for the last buffer it writes: the two generators are stopped side by
    // side, so that a reset or a switch of sound system keeps the main
    // thread no longer than one of them takes.
    pthread_t sidetone_thread{};
    const bool beside = sidetone_present() && pthread_create(&sidetone_thread, nullptr,
                                                             destroy_sidetone_thread, nullptr) == 0;
    // What was keyed is dropped: the tone in progress (a tune's second, say)
    // ends with the flush the stop begins with, as in an abort, instead of
    // holding the stop and the key until it has run out.
    key_line_cut_begin();
    key_line_stop_begin();
    cw_generator_stop();
    key_line_stop_end();
    key_line_cut_end();
    cw_generator_delete();
    if (beside) {
        pthread_join(sidetone_thread, nullptr);
    } else {
        stop_sidetone();
    }
}

void configure_generator(const ParameterSet& parameters) {
    generator_ready.store(true);
    cw_register_tone_queue_low_callback(low_queue_callback, nullptr, kLowQueueLevel);
    // libcw forgets the keying callback with the generator it was given
    // for: without this every key edge after a reset or a switch of sound
    // system would stay off the keying device.
    cw_register_keying_callback(keying_callback, nullptr);
    output_setup_key_line();
    output_frequency(parameters.tone);
    output_speed(parameters.wpm);
    output_volume(parameters.volume);
    output_gap(0);
    output_weighting(weighting_to_library(parameters.weighting));
}

void reset_generator() {
    std::lock_guard<std::mutex> lock(generator_life_mutex);
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
    std::lock_guard<std::mutex> lock(generator_life_mutex);
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
    output_flush();
    ptt_auto_on(current_device.load(), "PTT (TUNE) on");
    // The key line's tones have no counterpart in the sidetone's queue: it
    // holds a steady tone until the key line's carrier ends.
    sidetone_start_tune();
    output_tune_started();
    // libcw's thread may take the first tone before the next is queued; the
    // low-queue callback must not read that short queue as the tune's end
    // and drop PTT under the carrier that follows.
    g_tune_queueing.store(true);
    for (int second = 0; second < seconds; ++second) {
        cw_queue_tone(kTuneToneMicroseconds, kKeyLineFrequency);
    }
    cw_send_character(kTuneEndCharacter);
    g_tune_queueing.store(false);
}

bool tune_being_queued() {
    return g_tune_queueing.load();
}

}  // namespace varkel
