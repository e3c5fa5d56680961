#include "morse/output.h"

#include <atomic>
#include <ctime>
#include <mutex>

#include "devices/keying_device.h"
#include "morse/key_line_clock.h"
#include "morse/libcw_api.h"
#include "morse/sidetone.h"

namespace varkel {

namespace {

enum class Tune {
    off,
    until_key_down,  // requested while the key was up: its carrier has not begun
    until_key_up,    // the key is down for the tune: its key-up ends it
};

// Set by the main thread, moved on by the keying callback.
std::atomic<Tune> g_tune{Tune::off};

// What the key line was last given; read by PTT hold on other threads.
constexpr int kInitialWpm = 24;
constexpr int kNeutralLibraryWeighting = 50;
std::atomic<int> g_wpm{kInitialWpm};
std::atomic<int> g_library_weighting{kNeutralLibraryWeighting};
// A dot at 1 wpm, and the share of a unit that each step of library
// weighting above 50 adds to it (2 % per step), as libcw reckons them.
constexpr int64_t kDotAtOneWpmNs = 1'200'000'000;
constexpr int64_t kWeightingPercentPerStep = 2;
std::atomic<uint32_t> g_abort_count{0};
std::mutex g_abort_mutex;
std::atomic<int64_t> g_last_key_up_us{0};

}  // namespace

void output_setup_key_line() {
    cw_set_frequency(kKeyLineFrequency);
    cw_set_volume(kKeyLineVolume);
}

void output_frequency(int hz) {
    sidetone_set_frequency(hz);
}

void output_speed(int wpm) {
    g_wpm.store(wpm);
    cw_set_send_speed(wpm);
    sidetone_set_speed(wpm);
}

void output_volume(int percent) {
    sidetone_set_volume(percent);
}

void output_gap(int dots) {
    cw_set_gap(dots);
    sidetone_set_gap(dots);
}

void output_weighting(int library_weighting) {
    g_library_weighting.store(library_weighting);
    cw_set_weighting(library_weighting);
    sidetone_set_weighting(library_weighting);
}

int64_t key_line_dot_ns() {
    const int64_t unit = kDotAtOneWpmNs / g_wpm.load();
    return unit + unit * kWeightingPercentPerStep *
                      (g_library_weighting.load() - kNeutralLibraryWeighting) / 100;
}

void output_character(char character) {
    cw_send_character(character);
    sidetone_send_character(character);
}

bool output_remove_last_character() {
    const bool removed = cw_generator_remove_last_character() == CW_SUCCESS;
    // The sidetone lags the key line: it may still hold a character that
    // the key line has begun. Both take back only what has not begun.
    if (removed) {
        (void)sidetone_remove_last_character();
    }
    return removed;
}

void output_flush() {
    cw_flush_tone_queue();
    sidetone_flush();
}

bool output_paddle_element(bool dash, int mark_us, int space_us, uint32_t aborts_seen) {
    // An element queued while an abort empties the queue would be keyed
    // after it: the abort and the test for it exclude each other.
    std::unique_lock<std::mutex> lock(g_abort_mutex, std::try_to_lock);
    if (!lock.owns_lock() || g_abort_count.load() != aborts_seen) {
        return false;
    }
    // libcw keys the line for a tone of any frequency but 0; a tone request
    // of 0 silences the sound by volume and keeps the frequency.
    cw_queue_tone(mark_us, cw_get_frequency());
    cw_queue_tone(space_us, 0);
    sidetone_send_element(dash ? '-' : '.');
    return true;
}

uint32_t output_abort_count() {
    return g_abort_count.load();
}

void output_abort() {
    // Held by the main thread only here; the paddle's thread only tries it.
    std::lock_guard<std::mutex> lock(g_abort_mutex);
    g_abort_count.fetch_add(1);
    // From here libcw's key-downs are refused, so lifting the key now is
    // final: the tone in progress goes on in libcw only until the flush.
    key_line_cut_begin();
    device_key(current_device.load(), 0);
    output_forget_tune();
    sidetone_cut();
    cw_flush_tone_queue();
    cw_wait_for_tone_queue();
    key_line_cut_end();
}

void output_tune_started() {
    g_tune.store(device_key_is_down() ? Tune::until_key_up : Tune::until_key_down);
}

bool output_tune_running() {
    return g_tune.load() != Tune::off;
}

void output_forget_tune() {
    g_tune.store(Tune::off);
}

int64_t output_last_key_up_us() {
    return g_last_key_up_us.load();
}

void output_key_edge(int key_state) noexcept {
    const bool down = key_state != 0;
    if (!down) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        g_last_key_up_us.store(now.tv_sec * 1'000'000 + now.tv_nsec / 1'000);
    }
    Tune tune = g_tune.load();
    if (tune == Tune::until_key_down && down) {
        g_tune.compare_exchange_strong(tune, Tune::until_key_up);
    } else if (tune == Tune::until_key_up && !down) {
        g_tune.compare_exchange_strong(tune, Tune::off);
    }
    sidetone_key_edge(key_state);
}

}  // namespace varkel
