#include "morse/generator.h"
// STUB: to be written.
namespace varkel {
std::atomic<bool> generator_ready{false};
bool create_generator(int) { return false; }
void destroy_generator() {}
void configure_generator(const ParameterSet&) {}
void reset_generator() {}
void switch_sound_system() {}
int weighting_to_library(int weighting) { return static_cast<int>(weighting * 0.6 + 50.0); }
void tune(int) {}
}  // namespace varkel
