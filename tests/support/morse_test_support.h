// What the Morse output tests share: a keying device that records every
// line change, and the debug log captured in a temporary file.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "core/log_handoff.h"
#include "core/logging.h"
#include "core/process_exit.h"
#include "core/settings.h"
#include "devices/keying_device.h"
#include "morse/generator.h"
#include "morse/ptt.h"
#include "morse/sidetone.h"
#include "net/udp_endpoint.h"
#include "support/fake_libcw.h"
#include "support/log_capture.h"

namespace morse_test {

// The line changes seen by recording_device, as "key 1", "ptt 0".
inline std::mutex g_events_mutex;
inline std::vector<std::string> g_events;

inline void record_event(const std::string& event) {
    std::lock_guard<std::mutex> lock(g_events_mutex);
    g_events.push_back(event);
}

inline std::vector<std::string> device_events() {
    std::lock_guard<std::mutex> lock(g_events_mutex);
    return g_events;
}

inline int32_t record_init(varkel::KeyingDevice*, int32_t) {
    return 0;
}
inline int32_t record_release(varkel::KeyingDevice*) {
    return 0;
}
inline int32_t record_reset(varkel::KeyingDevice*) {
    record_event("reset");
    return 0;
}
inline int32_t record_key(varkel::KeyingDevice*, int32_t state) {
    record_event("key " + std::to_string(state));
    return 0;
}
inline int32_t record_ptt(varkel::KeyingDevice*, int32_t state) {
    record_event("ptt " + std::to_string(state));
    return 0;
}

inline varkel::KeyingDevice recording_device{
    .init = record_init,
    .release = record_release,
    .reset = record_reset,
    .key = record_key,
    .ptt = record_ptt,
    .ssb_way = nullptr,          // no SSB routing
    .band_switch = nullptr,      // no band outputs
    .read_ptt_switch = nullptr,  // no foot switch
    .fd = 0,
    .description = std::nullopt,
};

// Puts libcw, the settings, the PTT flags, the buffers and the device
// back to a known state, with the debug log at DD going to a file.
class MorseTest {
  public:
    MorseTest() {
        varkel::reset_settings_for_tests();
        // The test's thread is the main thread: lines of the threads a
        // test starts are handed over to it, as libcw's are.
        varkel::note_main_thread();
        varkel::reset_log_handoff_for_tests();
        varkel::sidetone_destroy();  // an earlier test may have left one
        fake_libcw::reset();
        varkel::generator_ready.store(true);  // as after start-up
        varkel::set_debug_output(nullptr);
        varkel::ptt_flags_clear_all();
        varkel::empty_message_buffer();
        saved_device_ = varkel::current_device.load();
        varkel::current_device.store(&recording_device);
        // An earlier test may have left the mirrored key or PTT on.
        varkel::device_key(&recording_device, 0);
        varkel::device_ptt(&recording_device, 0);
        {
            std::lock_guard<std::mutex> lock(g_events_mutex);
            g_events.clear();
        }
        varkel::settings.current.verbosity = varkel::DD;
        log_ = tmpfile();
        varkel::set_debug_output(log_);
    }
    ~MorseTest() {
        varkel::set_debug_output(stdout);
        fclose(log_);
        varkel::current_device.store(saved_device_);
        varkel::empty_message_buffer();
        varkel::reset_settings_for_tests();
    }
    MorseTest(const MorseTest&) = delete;
    MorseTest& operator=(const MorseTest&) = delete;

    // Everything logged so far, with what other threads handed over.
    std::string log() const {
        varkel::write_handed_over_log_lines();
        return test_support::read_whole_stream(log_);
    }
    std::vector<std::string> log_lines() const {
        std::vector<std::string> lines;
        std::string text = log();
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            lines.push_back(text.substr(start, end - start));
        }
        return lines;
    }

  private:
    FILE* log_ = nullptr;
    varkel::KeyingDevice* saved_device_ = nullptr;
};

// The characters given to cw_send_character, in order.
inline std::string queued_characters() {
    std::string text;
    for (const auto& call : fake_libcw::calls()) {
        if (call.name == "cw_send_character") {
            text.push_back(static_cast<char>(call.args[0]));
        }
    }
    return text;
}

}  // namespace morse_test
