#include "support/fake_libcw.h"

#include <libcw.h>
#include <libcw2.h>
#include <libcw_debug.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>

namespace fake_libcw {
namespace {

std::mutex g_mutex;
std::vector<Call> g_calls;
std::map<int, int> g_new_results;
int g_start_result = 1;
int g_queue_length = 0;
int g_remove_result = 1;
std::deque<int> g_scripted_lengths;
void (*g_send_hook)(char) = nullptr;
int g_gap = 0;
KeyingCallback g_keying = nullptr;
LowQueueCallback g_low = nullptr;
int g_low_level = 0;
void (*g_wait_hook)() = nullptr;
void (*g_gen_flush_hook)() = nullptr;
std::string g_gen_sound_device;

void record(const char* name, std::vector<long> args = {}) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.push_back({name, std::move(args)});
}

}  // namespace

void reset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.clear();
    g_new_results.clear();
    g_start_result = 1;
    g_queue_length = 0;
    g_remove_result = 1;
    g_scripted_lengths.clear();
    g_send_hook = nullptr;
    g_gap = 0;
    g_keying = nullptr;
    g_low = nullptr;
    g_low_level = 0;
    g_wait_hook = nullptr;
    g_gen_flush_hook = nullptr;
    g_gen_sound_device.clear();
}

std::string last_gen_sound_device() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_gen_sound_device;
}

std::vector<Call> calls() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
}

std::vector<std::string> call_names() {
    std::vector<std::string> names;
    for (const auto& call : calls()) {
        names.push_back(call.name);
    }
    return names;
}

size_t count(const std::string& name) {
    const auto all = calls();
    return static_cast<size_t>(
        std::count_if(all.begin(), all.end(), [&](const Call& c) { return c.name == name; }));
}

void set_generator_new_result(int audio_system, int result) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_new_results[audio_system] = result;
}
void set_generator_start_result(int result) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_start_result = result;
}
void set_tone_queue_length(int length) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_queue_length = length;
}
void set_remove_last_character_result(int result) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_remove_result = result;
}
void set_tone_queue_lengths(const std::vector<int>& lengths) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_scripted_lengths.assign(lengths.begin(), lengths.end());
}
void set_send_hook(void (*hook)(char)) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_send_hook = hook;
}
KeyingCallback keying_callback() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_keying;
}
LowQueueCallback low_queue_callback() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_low;
}
int low_queue_level() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_low_level;
}
void fire_key(int state) {
    if (auto callback = keying_callback()) {
        callback(nullptr, state);
    }
}
void fire_low_queue() {
    if (auto callback = low_queue_callback()) {
        callback(nullptr);
    }
}
void set_gen_flush_hook(void (*hook)()) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_gen_flush_hook = hook;
}
void set_wait_hook(void (*hook)()) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_wait_hook = hook;
}

}  // namespace fake_libcw

using namespace fake_libcw;

extern "C" {

const char* cw_get_audio_system_label(int sound_system) {
    static const char* const kLabels[] = {"None", "Null",       "Console",  "OSS",
                                          "ALSA", "PulseAudio", "Soundcard"};
    if (sound_system < 0 || sound_system > 6) {
        return "unknown";
    }
    return kLabels[sound_system];
}

int cw_generator_new(int audio_system, const char* device) {
    record("cw_generator_new", {audio_system, device == nullptr ? 0L : 1L});
    std::lock_guard<std::mutex> lock(g_mutex);
    auto found = g_new_results.find(audio_system);
    return found == g_new_results.end() ? CW_SUCCESS : found->second;
}
void cw_generator_delete(void) {
    record("cw_generator_delete");
    std::lock_guard<std::mutex> lock(g_mutex);
    g_keying = nullptr;
}
int cw_generator_start(void) {
    record("cw_generator_start");
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_start_result;
}
void cw_generator_stop(void) {
    record("cw_generator_stop");
}
int cw_set_send_speed(int value) {
    record("cw_set_send_speed", {value});
    return CW_SUCCESS;
}
int cw_set_frequency(int value) {
    record("cw_set_frequency", {value});
    return CW_SUCCESS;
}
int cw_set_volume(int value) {
    record("cw_set_volume", {value});
    return CW_SUCCESS;
}
int cw_set_gap(int value) {
    record("cw_set_gap", {value});
    std::lock_guard<std::mutex> lock(g_mutex);
    g_gap = value;
    return CW_SUCCESS;
}
int cw_get_gap(void) {
    record("cw_get_gap");
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_gap;
}
int cw_set_weighting(int value) {
    record("cw_set_weighting", {value});
    return CW_SUCCESS;
}
int cw_send_character(char c) {
    // Like libcw 3.6, which crashes on this byte: a daemon that passes it on
    // must not pass here either.
    if (static_cast<unsigned char>(c) == 0xff) {
        fprintf(stderr, "fake libcw: cw_send_character(0xff) crashes libcw 3.6\n");
        abort();
    }
    record("cw_send_character", {static_cast<unsigned char>(c)});
    void (*hook)(char) = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        hook = g_send_hook;
    }
    if (hook != nullptr) {
        hook(c);
    }
    return CW_SUCCESS;
}
int cw_queue_tone(int usecs, int frequency) {
    record("cw_queue_tone", {usecs, frequency});
    return CW_SUCCESS;
}
int cw_get_frequency(void) {
    return 800;
}
// 20 wpm without weighting.
void cw_get_send_parameters(int* dot_usecs, int* dash_usecs, int* end_of_element_usecs,
                            int* end_of_character_usecs, int* end_of_word_usecs,
                            int* additional_usecs, int* adjustment_usecs) {
    const int values[] = {60000, 180000, 60000, 120000, 300000, 0, 0};
    int* outputs[] = {
        dot_usecs,         dash_usecs,       end_of_element_usecs, end_of_character_usecs,
        end_of_word_usecs, additional_usecs, adjustment_usecs};
    for (size_t i = 0; i < std::size(outputs); ++i) {
        if (outputs[i] != nullptr) {
            *outputs[i] = values[i];
        }
    }
}
int cw_generator_remove_last_character(void) {
    record("cw_generator_remove_last_character");
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_remove_result;
}
void cw_flush_tone_queue(void) {
    record("cw_flush_tone_queue");
}
int cw_wait_for_tone_queue(void) {
    record("cw_wait_for_tone_queue");
    void (*hook)() = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        hook = g_wait_hook;
    }
    if (hook != nullptr) {
        hook();
    }
    return CW_SUCCESS;
}
int cw_get_tone_queue_length(void) {
    record("cw_get_tone_queue_length");
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_scripted_lengths.empty()) {
        const int length = g_scripted_lengths.front();
        g_scripted_lengths.pop_front();
        return length;
    }
    return g_queue_length;
}
int cw_register_tone_queue_low_callback(void (*callback)(void*), void* argument, int level) {
    record("cw_register_tone_queue_low_callback", {argument == nullptr ? 0L : 1L, level});
    std::lock_guard<std::mutex> lock(g_mutex);
    g_low = callback;
    g_low_level = level;
    return CW_SUCCESS;
}
void cw_register_keying_callback(void (*callback)(void*, int), void* argument) {
    record("cw_register_keying_callback", {argument == nullptr ? 0L : 1L});
    std::lock_guard<std::mutex> lock(g_mutex);
    g_keying = callback;
}
void cw_set_debug_flags(uint32_t flags) {
    record("cw_set_debug_flags", {static_cast<long>(flags)});
}

// The second API, for generators of their own (the sidetone). Handles are
// addresses of stand-in objects; the results follow the same knobs as the
// legacy generator's.
namespace {
char g_gen_object;
char g_key_object;
}  // namespace

cw_gen_t* cw_gen_new(const cw_gen_config_t* config) {
    const int system = static_cast<int>(config->sound_system);
    record("cw_gen_new", {system});
    std::lock_guard<std::mutex> lock(g_mutex);
    g_gen_sound_device.assign(config->sound_device,
                              strnlen(config->sound_device, sizeof config->sound_device));
    auto found = g_new_results.find(system);
    const bool created = found == g_new_results.end() || found->second != CW_FAILURE;
    return created ? reinterpret_cast<cw_gen_t*>(&g_gen_object) : nullptr;
}
void cw_gen_delete(cw_gen_t** gen) {
    record("cw_gen_delete");
    *gen = nullptr;
}
cw_ret_t cw_gen_start(cw_gen_t*) {
    record("cw_gen_start");
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_start_result;
}
cw_ret_t cw_gen_stop(cw_gen_t*) {
    record("cw_gen_stop");
    return CW_SUCCESS;
}
cw_ret_t cw_gen_set_speed(cw_gen_t*, int value) {
    record("cw_gen_set_speed", {value});
    return CW_SUCCESS;
}
cw_ret_t cw_gen_set_frequency(cw_gen_t*, int value) {
    record("cw_gen_set_frequency", {value});
    return CW_SUCCESS;
}
cw_ret_t cw_gen_set_volume(cw_gen_t*, int value) {
    record("cw_gen_set_volume", {value});
    return CW_SUCCESS;
}
cw_ret_t cw_gen_set_gap(cw_gen_t*, int value) {
    record("cw_gen_set_gap", {value});
    return CW_SUCCESS;
}
cw_ret_t cw_gen_set_weighting(cw_gen_t*, int value) {
    record("cw_gen_set_weighting", {value});
    return CW_SUCCESS;
}
cw_ret_t cw_gen_enqueue_character(cw_gen_t*, char c) {
    if (static_cast<unsigned char>(c) == 0xff) {
        fprintf(stderr, "fake libcw: cw_gen_enqueue_character(0xff) crashes libcw 3.6\n");
        abort();
    }
    record("cw_gen_enqueue_character", {static_cast<unsigned char>(c)});
    return CW_SUCCESS;
}
cw_ret_t cw_gen_enqueue_representation_no_ics(cw_gen_t*, const char* representation) {
    record("cw_gen_enqueue_representation_no_ics", {representation[0]});
    return CW_SUCCESS;
}
cw_ret_t cw_gen_remove_last_character(cw_gen_t*) {
    record("cw_gen_remove_last_character");
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_remove_result == CW_SUCCESS ? CW_SUCCESS : CW_FAILURE;
}
void cw_gen_flush_queue(cw_gen_t*) {
    record("cw_gen_flush_queue");
    void (*hook)() = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        hook = g_gen_flush_hook;
    }
    if (hook != nullptr) {
        hook();
    }
}
cw_key_t* cw_key_new(void) {
    record("cw_key_new");
    return reinterpret_cast<cw_key_t*>(&g_key_object);
}
void cw_key_delete(cw_key_t** key) {
    record("cw_key_delete");
    *key = nullptr;
}
void cw_key_register_generator(volatile cw_key_t*, cw_gen_t*) {
    record("cw_key_register_generator");
}
cw_ret_t cw_key_sk_set_value(volatile cw_key_t*, cw_key_value_t value) {
    record("cw_key_sk_set_value", {static_cast<long>(value)});
    return CW_SUCCESS;
}

}  // extern "C"
