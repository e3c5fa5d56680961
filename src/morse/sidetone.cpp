#include "morse/sidetone.h"

#include <libcw2.h>

#include <atomic>
#include <mutex>
#include <utility>

#include "core/realtime_scheduling.h"
#include "morse/sidetone_io.h"

namespace varkel {

namespace {

enum class TuneCarrier {
    off,
    until_key_down,  // the key was up at the request: the tune has not begun
    until_key_up,    // the key is down for the tune: its key-up ends it
};

// Guards everything below. The main thread holds it for one libcw call
// that never waits for the queue; stopping a generator waits for its thread
// and is done outside it. The keying callback takes it only to end a
// tuning carrier: libcw's thread must not wait behind the main thread,
// which may itself wait on the sidetone's thread at normal priority, or the
// next element on the key line would start late.
std::mutex g_sidetone_mutex;
cw_gen_t* g_generator = nullptr;  // guarded by g_sidetone_mutex
cw_key_t* g_tune_key = nullptr;   // guarded by g_sidetone_mutex
bool g_started = false;           // guarded by g_sidetone_mutex
// Written by the keying callback, read under the lock.
std::atomic<bool> g_key_down{false};
// Changed under the lock, and read by the keying callback without it.
std::atomic<TuneCarrier> g_tune{TuneCarrier::off};

// Ends a tuning carrier; the caller holds the lock.
void release_tune_key_locked() {
    if (g_tune != TuneCarrier::off && g_tune_key != nullptr) {
        cw_key_sk_set_value(g_tune_key, CW_KEY_VALUE_OPEN);
    }
    g_tune.store(TuneCarrier::off);
}

// One of libcw's setters, when there is a generator to set.
void apply_to_generator(cw_ret_t (*setter)(cw_gen_t*, int), int value) {
    std::lock_guard<std::mutex> lock(g_sidetone_mutex);
    if (g_generator != nullptr) {
        setter(g_generator, value);
    }
}

}  // namespace

bool sidetone_create(int sound_system) {
    if (sound_system == CW_AUDIO_NULL) {
        return true;
    }
    cw_gen_config_t config{};
    config.sound_system = static_cast<cw_sound_system_t>(sound_system);
    cw_gen_t* generator = nullptr;
    {
        // The sound system's threads need no real-time priority and must
        // not take it from this one.
        NormalSchedulingScope normal;
        generator = sidetone_io.gen_new(&config);
    }
    if (generator == nullptr) {
        return false;
    }
    cw_key_t* key = sidetone_io.key_new();
    if (key != nullptr) {
        sidetone_io.key_register_generator(key, generator);
    }
    std::lock_guard<std::mutex> lock(g_sidetone_mutex);
    g_generator = generator;
    g_tune_key = key;
    g_started = false;
    g_tune.store(TuneCarrier::off);
    return true;
}

bool sidetone_start() {
    // Only this thread writes the generator's pointer; the lock is not held
    // across the start, which waits for the sound system.
    cw_gen_t* generator = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_sidetone_mutex);
        generator = g_generator;
    }
    if (generator == nullptr) {
        return true;
    }
    bool started = false;
    {
        NormalSchedulingScope normal;
        started = sidetone_io.gen_start(generator) != CW_FAILURE;
    }
    std::lock_guard<std::mutex> lock(g_sidetone_mutex);
    g_started = started;
    return started;
}

void sidetone_destroy() {
    cw_gen_t* generator = nullptr;
    cw_key_t* key = nullptr;
    bool started = false;
    {
        std::lock_guard<std::mutex> lock(g_sidetone_mutex);
        std::swap(generator, g_generator);
        std::swap(key, g_tune_key);
        std::swap(started, g_started);
        g_tune.store(TuneCarrier::off);
    }
    if (generator == nullptr) {
        return;
    }
    if (started) {
        sidetone_io.gen_stop(generator);
    }
    if (key != nullptr) {
        sidetone_io.key_delete(&key);
    }
    sidetone_io.gen_delete(&generator);
}

bool sidetone_present() {
    std::lock_guard<std::mutex> lock(g_sidetone_mutex);
    return g_generator != nullptr;
}

void sidetone_set_frequency(int hz) {
    apply_to_generator(cw_gen_set_frequency, hz);
}

void sidetone_set_speed(int wpm) {
    apply_to_generator(cw_gen_set_speed, wpm);
}

void sidetone_set_volume(int percent) {
    apply_to_generator(cw_gen_set_volume, percent);
}

void sidetone_set_gap(int dots) {
    apply_to_generator(cw_gen_set_gap, dots);
}

void sidetone_set_weighting(int library_weighting) {
    apply_to_generator(cw_gen_set_weighting, library_weighting);
}

void sidetone_send_character(char character) {
    std::lock_guard<std::mutex> lock(g_sidetone_mutex);
    if (g_generator != nullptr && g_started) {
        cw_gen_enqueue_character(g_generator, character);
    }
}

void sidetone_flush() {
    std::lock_guard<std::mutex> lock(g_sidetone_mutex);
    if (g_generator != nullptr && g_started) {
        cw_gen_flush_queue(g_generator);
    }
    // After the flush, so that a carrier ends on its falling slope.
    release_tune_key_locked();
}

void sidetone_start_tune() {
    std::lock_guard<std::mutex> lock(g_sidetone_mutex);
    if (g_generator == nullptr || !g_started || g_tune_key == nullptr) {
        return;
    }
    // Queued text would cut a steady tone short; the key line has dropped
    // its queue for the tune as well.
    release_tune_key_locked();
    cw_gen_flush_queue(g_generator);
    cw_key_sk_set_value(g_tune_key, CW_KEY_VALUE_CLOSED);
    // A tone already playing on the key line runs straight into the tune's
    // tones without a key-up; a gap in progress ends with the tune's key-down.
    g_tune.store(g_key_down.load() ? TuneCarrier::until_key_up : TuneCarrier::until_key_down);
}

void sidetone_key_edge(int key_state) noexcept {
    const bool down = key_state != 0;
    g_key_down.store(down);
    TuneCarrier tune = g_tune.load();
    if (tune == TuneCarrier::until_key_down && down) {
        g_tune.compare_exchange_strong(tune, TuneCarrier::until_key_up);
    } else if (tune == TuneCarrier::until_key_up && !down) {
        std::lock_guard<std::mutex> lock(g_sidetone_mutex);
        if (g_tune.load() == TuneCarrier::until_key_up) {
            release_tune_key_locked();
        }
    }
}

}  // namespace varkel
