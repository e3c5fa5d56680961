// The life of libcw's one tone generator and its parameters.
#pragma once

#include <atomic>
#include <mutex>

#include "core/settings.h"

namespace varkel {

inline constexpr int kOssRetries = 5;
inline constexpr unsigned kOssRetrySeconds = 4;

// True after a generator was created, started and configured.
extern std::atomic<bool> generator_ready;

// Held by the main thread while it replaces the key line's generator (a
// reset, a switch of sound system), when libcw has none for a while. The
// paddle's thread queues its tones only under try_lock, and goes without
// while a replacement runs rather than wait behind it.
extern std::mutex generator_life_mutex;

// How create_generator waits between OSS attempts: sleep(3) by default;
// tests replace it so that they need not wait 20 seconds.
extern unsigned (*oss_retry_sleep)(unsigned seconds);

bool create_generator(int sound_system);
void destroy_generator();
void configure_generator(const ParameterSet& parameters);
void reset_generator();
void switch_sound_system();
int weighting_to_library(int weighting);
void tune(int seconds);
// True while tune() is queueing its tones: the queue is still filling.
[[nodiscard]] bool tune_being_queued();

}  // namespace varkel
