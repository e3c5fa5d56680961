#include "core/settings.h"

#include <atomic>

namespace varkel {

Settings settings;

void reset_to_defaults() {
    settings.current.wpm = settings.defaults.wpm;
    settings.current.tone = settings.defaults.tone;
    settings.current.volume = settings.defaults.volume;
    settings.current.sound_system = settings.defaults.sound_system;
    settings.current.ptt_delay = settings.defaults.ptt_delay;
    settings.current.weighting = settings.defaults.weighting;
    // Read concurrently by the debug log on libcw's thread.
    std::atomic_ref<int32_t>(settings.current.verbosity)
        .store(settings.defaults.verbosity, std::memory_order_relaxed);
}

void reset_settings_for_tests() {
    std::atomic_ref<int32_t>(settings.current.verbosity).store(2, std::memory_order_relaxed);
    Settings fresh;
    settings.defaults = fresh.defaults;
    settings.current.wpm = fresh.current.wpm;
    settings.current.tone = fresh.current.tone;
    settings.current.volume = fresh.current.volume;
    settings.current.sound_system = fresh.current.sound_system;
    settings.current.ptt_delay = fresh.current.ptt_delay;
    settings.current.weighting = fresh.current.weighting;
    settings.port = fresh.port;
    settings.priority = fresh.priority;
    settings.libcw_debug_flags = fresh.libcw_debug_flags;
    settings.debug_file_path.reset();
    settings.nofork = fresh.nofork;
}

}  // namespace varkel
