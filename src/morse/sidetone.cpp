#include "morse/sidetone.h"

#include <libcw2.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

#include "core/alternate_signal_stack.h"
#include "core/main_wake.h"
#include "core/realtime_scheduling.h"
#include "morse/sidetone_io.h"

namespace varkel {

namespace {

enum class TuneCarrier {
    off,
    until_key_down,  // the key was up at the request: the tune has not begun
    until_key_up,    // the key is down for the tune: its key-up ends it
    ending,          // the key line's tune is over: the main thread ends the carrier
};

// Guards everything below. libcw's key-line thread never takes it: the
// cut thread holds it at normal priority, and the libcw2 calls made under
// it take libcw2's own locks, which the sidetone's normal-priority thread
// holds; a key edge that waited here would start the next element late.
// The main thread holds it only for libcw2 calls that do not wait for the
// sidetone's queue; a flush, which waits for the tone in progress, is made
// outside it.
std::mutex g_sidetone_mutex;
cw_gen_t* g_generator = nullptr;  // guarded by g_sidetone_mutex
cw_key_t* g_tune_key = nullptr;   // guarded by g_sidetone_mutex
bool g_started = false;           // guarded by g_sidetone_mutex
// The key line's state as the keying callback last reported it; written
// by that callback, read under the lock.
std::atomic<bool> g_key_line_down{false};
// Changed by the main thread under the lock, and moved on by the keying
// callback without it (compare-and-swap): a carrier that is ending stays
// in `ending` until the main thread, woken, releases the tune's key.
std::atomic<TuneCarrier> g_carrier{TuneCarrier::off};

// After a cut, libcw plays the tone that was in progress to its end before
// its flush returns (up to a second). The sound is muted at once and a
// thread of its own waits for that flush; what the main thread sends
// meanwhile is held here, in its order, and handed to the generator once
// the flush is done, so that it is neither flushed nor played muted.
enum class Deferred { frequency, speed, gap, weighting, character, element };
struct DeferredCall {
    Deferred what;
    int value;
};
int g_volume = 0;                      // guarded by g_sidetone_mutex; the volume asked for
bool g_cut_flushing = false;           // guarded by g_sidetone_mutex
bool g_cut_thread_joinable = false;    // guarded by g_sidetone_mutex
pthread_t g_cut_thread{};              // guarded by g_sidetone_mutex
std::vector<DeferredCall> g_deferred;  // guarded by g_sidetone_mutex

// Ends a tuning carrier; the caller holds the lock.
void release_tune_key_locked() {
    if (g_carrier.exchange(TuneCarrier::off) != TuneCarrier::off && g_tune_key != nullptr) {
        cw_key_sk_set_value(g_tune_key, CW_KEY_VALUE_OPEN);
    }
}

// The generator, when it has started and a flush can reach it; the caller
// holds the lock.
cw_gen_t* started_generator_locked() {
    return g_generator != nullptr && g_started ? g_generator : nullptr;
}

void apply_locked(Deferred what, int value) {
    switch (what) {
        case Deferred::frequency:
            cw_gen_set_frequency(g_generator, value);
            break;
        case Deferred::speed:
            cw_gen_set_speed(g_generator, value);
            break;
        case Deferred::gap:
            cw_gen_set_gap(g_generator, value);
            break;
        case Deferred::weighting:
            cw_gen_set_weighting(g_generator, value);
            break;
        case Deferred::character:
            if (g_started) {
                cw_gen_enqueue_character(g_generator, static_cast<char>(value));
            }
            break;
        case Deferred::element:
            if (g_started) {
                const char mark[] = {static_cast<char>(value), '\0'};
                cw_gen_enqueue_representation_no_ics(g_generator, mark);
            }
            break;
    }
}

// A setter or a character, when there is a generator to take it: now, or
// after the flush of a cut.
void apply_to_generator(Deferred what, int value) {
    std::lock_guard<std::mutex> lock(g_sidetone_mutex);
    if (g_generator == nullptr) {
        return;
    }
    if (g_cut_flushing) {
        g_deferred.push_back({what, value});
    } else {
        apply_locked(what, value);
    }
}

// Runs at normal priority: it only waits for the sound server.
void* flush_after_cut(void* argument) {
    use_alternate_signal_stack();
    auto* generator = static_cast<cw_gen_t*>(argument);
    cw_gen_flush_queue(generator);
    std::lock_guard<std::mutex> lock(g_sidetone_mutex);
    cw_gen_set_volume(generator, g_volume);
    for (const DeferredCall& call : g_deferred) {
        apply_locked(call.what, call.value);
    }
    g_deferred.clear();
    g_cut_flushing = false;
    return nullptr;
}

constexpr bool kOnlyWhenDone = true;

// Waits for the thread of the last cut to end, or only collects it when it
// has done its work; the caller does not hold the lock.
void join_cut_thread(bool only_when_done = false) {
    pthread_t thread{};
    {
        std::lock_guard<std::mutex> lock(g_sidetone_mutex);
        if (!g_cut_thread_joinable || (only_when_done && g_cut_flushing)) {
            return;
        }
        thread = g_cut_thread;
        g_cut_thread_joinable = false;
    }
    pthread_join(thread, nullptr);
}

}  // namespace

bool sidetone_create(int sound_system, std::string_view device) {
    if (sound_system == CW_AUDIO_NULL) {
        return true;
    }
    cw_gen_config_t config{};
    config.sound_system = static_cast<cw_sound_system_t>(sound_system);
    // An empty field is libcw's "default device"; the name always leaves
    // room for the terminating NUL.
    device.copy(config.sound_device, std::min(device.size(), sizeof config.sound_device - 1));
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
    g_carrier.store(TuneCarrier::off);
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
    join_cut_thread();
    cw_gen_t* generator = nullptr;
    cw_key_t* key = nullptr;
    bool started = false;
    {
        std::lock_guard<std::mutex> lock(g_sidetone_mutex);
        std::swap(generator, g_generator);
        std::swap(key, g_tune_key);
        std::swap(started, g_started);
        g_carrier.store(TuneCarrier::off);
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
    apply_to_generator(Deferred::frequency, hz);
}

void sidetone_set_speed(int wpm) {
    apply_to_generator(Deferred::speed, wpm);
}

void sidetone_set_volume(int percent) {
    std::lock_guard<std::mutex> lock(g_sidetone_mutex);
    g_volume = percent;
    // While a cut's flush runs the sound stays muted; its end applies this.
    if (g_generator != nullptr && !g_cut_flushing) {
        cw_gen_set_volume(g_generator, percent);
    }
}

void sidetone_set_gap(int dots) {
    apply_to_generator(Deferred::gap, dots);
}

void sidetone_set_weighting(int library_weighting) {
    apply_to_generator(Deferred::weighting, library_weighting);
}

void sidetone_send_character(char character) {
    apply_to_generator(Deferred::character, static_cast<unsigned char>(character));
}

void sidetone_send_element(char mark) {
    apply_to_generator(Deferred::element, mark);
}

bool sidetone_remove_last_character() {
    std::lock_guard<std::mutex> lock(g_sidetone_mutex);
    if (g_generator == nullptr || !g_started) {
        return false;
    }
    if (g_cut_flushing) {
        for (auto call = g_deferred.rbegin(); call != g_deferred.rend(); ++call) {
            if (call->what == Deferred::character) {
                g_deferred.erase(std::next(call).base());
                return true;
            }
        }
        return false;
    }
    return cw_gen_remove_last_character(g_generator) == CW_SUCCESS;
}

void sidetone_cut() {
    join_cut_thread(kOnlyWhenDone);
    cw_gen_t* generator = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_sidetone_mutex);
        release_tune_key_locked();
        g_deferred.clear();
        if (g_generator == nullptr || !g_started || g_cut_flushing) {
            return;  // a flush still running drops all there is
        }
        // libcw computes each buffer with the volume of the moment: what
        // is still to be written is silent, what the server holds plays.
        cw_gen_set_volume(g_generator, 0);
        g_cut_flushing = true;
        generator = g_generator;
        NormalSchedulingScope normal;
        if (pthread_create(&g_cut_thread, nullptr, flush_after_cut, generator) == 0) {
            g_cut_thread_joinable = true;
            return;
        }
    }
    // No thread: the flush waits here, as it did before cuts existed.
    flush_after_cut(generator);
}

void sidetone_flush() {
    // A cut's flush still running would drop what the tune queues.
    join_cut_thread();
    cw_gen_t* generator = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_sidetone_mutex);
        generator = started_generator_locked();
    }
    // Only this thread deletes the generator, and no cut thread runs now.
    if (generator != nullptr) {
        cw_gen_flush_queue(generator);
    }
    // After the flush, so that a carrier ends on its falling slope.
    std::lock_guard<std::mutex> lock(g_sidetone_mutex);
    release_tune_key_locked();
}

void sidetone_start_tune() {
    cw_gen_t* generator = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_sidetone_mutex);
        generator = started_generator_locked();
        if (generator == nullptr || g_tune_key == nullptr) {
            return;
        }
        release_tune_key_locked();
    }
    // Queued text would cut a steady tone short; the key line has dropped
    // its queue for the tune as well.
    cw_gen_flush_queue(generator);
    std::lock_guard<std::mutex> lock(g_sidetone_mutex);
    cw_key_sk_set_value(g_tune_key, CW_KEY_VALUE_CLOSED);
    // A tone already playing on the key line runs straight into the tune's
    // tones without a key-up; a gap in progress ends with the tune's key-down.
    g_carrier.store(g_key_line_down.load() ? TuneCarrier::until_key_up
                                           : TuneCarrier::until_key_down);
}

void sidetone_key_edge(int key_state) noexcept {
    const bool down = key_state != 0;
    g_key_line_down.store(down);
    TuneCarrier carrier = g_carrier.load();
    if (carrier == TuneCarrier::until_key_down && down) {
        g_carrier.compare_exchange_strong(carrier, TuneCarrier::until_key_up);
    } else if (carrier == TuneCarrier::until_key_up && !down &&
               g_carrier.compare_exchange_strong(carrier, TuneCarrier::ending)) {
        // Ending the carrier is a call into the sidetone's libcw, whose
        // locks its own thread holds at normal priority: the main thread
        // makes it.
        wake_main_thread();
    }
}

void sidetone_end_carrier_if_due() {
    if (g_carrier.load() != TuneCarrier::ending) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_sidetone_mutex);
    if (g_carrier.load() == TuneCarrier::ending) {
        release_tune_key_locked();
    }
}

}  // namespace varkel
