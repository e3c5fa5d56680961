// The life of libcw's one tone generator and its parameters.
#pragma once

#include <atomic>

#include "core/settings.h"

namespace varkel {

inline constexpr int kOssRetries = 5;
inline constexpr unsigned kOssRetrySeconds = 4;

// True after a generator was created, started and configured.
extern std::atomic<bool> generator_ready;

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
