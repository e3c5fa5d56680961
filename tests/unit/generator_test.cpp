// Creating, configuring, recreating and destroying libcw's generator, the
// weighting map and the tuning carrier, as calls made to libcw.
#include "morse/generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "morse/callbacks.h"
#include "morse/key_line_clock.h"
#include "morse/libcw_api.h"
#include "morse/output.h"
#include "morse/sound_device.h"
#include "support/morse_test_support.h"

namespace varkel {
namespace {

using fake_libcw::Call;

constexpr int kOss = 3;
constexpr int kAlsa = 4;
constexpr int kPulse = 5;

unsigned g_sleeps = 0;
unsigned g_slept_seconds = 0;
unsigned count_sleep(unsigned seconds) {
    ++g_sleeps;
    g_slept_seconds += seconds;
    return 0;
}

class GeneratorTest : public ::testing::Test, public morse_test::MorseTest {
  protected:
    GeneratorTest() {
        g_sleeps = 0;
        g_slept_seconds = 0;
        oss_retry_sleep = count_sleep;
        generator_ready.store(false);
    }
    ~GeneratorTest() override { oss_retry_sleep = sleep; }

    // On the null sound system: no sidetone, so tone and volume reach no
    // generator; the key line's is audible at full volume whatever they are.
    static std::vector<Call> configuration(int wpm, int weighting) {
        return {{"cw_register_tone_queue_low_callback", {0, 1}},
                {"cw_register_keying_callback", {0}},
                {"cw_set_frequency", {kKeyLineFrequency}},
                {"cw_set_volume", {kKeyLineVolume}},
                {"cw_set_send_speed", {wpm}},
                {"cw_set_gap", {0}},
                {"cw_set_weighting", {weighting}}};
    }
};

TEST_F(GeneratorTest, ResetCreatesOnTheDefaultSystemAndConfiguresFromDefaults) {
    settings.defaults = {.wpm = 30,
                         .tone = 600,
                         .volume = 50,
                         .sound_system = 1,
                         .ptt_delay = 0,
                         .weighting = 10,
                         .verbosity = 4};
    settings.current.wpm = 12;  // not used: the defaults are
    reset_generator();
    std::vector<Call> expected = {{"cw_generator_stop", {}},
                                  {"cw_generator_delete", {}},
                                  {"cw_generator_new", {1, 0}},
                                  {"cw_generator_start", {}}};
    for (const auto& call : configuration(30, 56)) {
        expected.push_back(call);
    }
    EXPECT_EQ(fake_libcw::calls(), expected);
    EXPECT_TRUE(generator_ready.load());
    EXPECT_EQ(fake_libcw::low_queue_callback(), &low_queue_callback);
    EXPECT_EQ(fake_libcw::low_queue_level(), 1);
    EXPECT_EQ(log(),
              "varkel:II: setting sound system \"Null\"\n"
              "varkel:II: starting generator with sound system \"Null\": success\n");
}

TEST_F(GeneratorTest, KeyingCallbackSurvivesEveryRecreation) {
    settings.defaults.sound_system = 1;
    reset_generator();
    cw_register_keying_callback(keying_callback, nullptr);  // start-up's own registration
    reset_generator();
    EXPECT_EQ(fake_libcw::keying_callback(), &keying_callback);
    settings.current.sound_system = kPulse;
    switch_sound_system();
    EXPECT_EQ(fake_libcw::keying_callback(), &keying_callback);
    fake_libcw::fire_key(1);
    EXPECT_EQ(morse_test::device_events(), std::vector<std::string>{"key 1"});
}

TEST_F(GeneratorTest, FailedResetLeavesGeneratorNotReadyWithoutFallBack) {
    settings.defaults.sound_system = 2;
    fake_libcw::set_generator_new_result(2, 0);
    generator_ready.store(true);
    reset_generator();
    EXPECT_FALSE(generator_ready.load());
    EXPECT_EQ(fake_libcw::call_names(),
              (std::vector<std::string>{"cw_generator_stop", "cw_generator_delete", "cw_gen_new"}));
    EXPECT_EQ(g_sleeps, 0u);
    EXPECT_EQ(log(),
              "varkel:II: setting sound system \"Console\"\n"
              "varkel:EE: failed to create generator with sound system \"Console\"\n");
}

TEST_F(GeneratorTest, GeneratorThatWillNotStartCountsAsFailure) {
    fake_libcw::set_generator_start_result(0);
    EXPECT_FALSE(create_generator(1));
    EXPECT_EQ(log(), "varkel:II: starting generator with sound system \"Null\": failure\n");
}

TEST_F(GeneratorTest, OssIsRetriedFiveTimesFourSecondsApartThenFallsBackToNull) {
    settings.current = {.wpm = 18,
                        .tone = 700,
                        .volume = 40,
                        .sound_system = kOss,
                        .ptt_delay = 0,
                        .weighting = -50,
                        .verbosity = 4};
    fake_libcw::set_generator_new_result(kOss, 0);
    switch_sound_system();

    EXPECT_EQ(g_sleeps, 5u);
    EXPECT_EQ(g_slept_seconds, 20u);
    std::vector<Call> expected = {{"cw_generator_stop", {}}, {"cw_generator_delete", {}}};
    for (int attempt = 0; attempt < 6; ++attempt) {
        expected.push_back({"cw_gen_new", {kOss}});
    }
    expected.push_back({"cw_generator_stop", {}});
    expected.push_back({"cw_generator_delete", {}});
    expected.push_back({"cw_generator_new", {1, 0}});
    expected.push_back({"cw_generator_start", {}});
    for (const auto& call : configuration(18, 20)) {
        expected.push_back(call);
    }
    EXPECT_EQ(fake_libcw::calls(), expected);

    std::string expected_log;
    for (int retry = 0; retry < 5; ++retry) {
        expected_log += "varkel:II: delaying switching to OSS, please wait few seconds.\n";
    }
    expected_log +=
        "varkel:EE: failed to create generator with sound system \"OSS\"\n"
        "varkel:II: starting generator with sound system \"Null\": success\n"
        "varkel:WW: fall back to \"Null\" sound system\n";
    EXPECT_EQ(log(), expected_log);
    EXPECT_EQ(settings.current.sound_system, 1);
    EXPECT_TRUE(generator_ready.load());
}

TEST_F(GeneratorTest, OssRetriesStopAtTheFirstSuccess) {
    // Fails once, then the second answer is success.
    fake_libcw::set_generator_new_result(kOss, 0);
    static int attempts = 0;
    attempts = 0;
    oss_retry_sleep = [](unsigned) -> unsigned {
        if (++attempts == 2) {
            fake_libcw::set_generator_new_result(kOss, 1);
        }
        return 0;
    };
    EXPECT_TRUE(create_generator(kOss));
    EXPECT_EQ(fake_libcw::count("cw_gen_new"), 3u);
    EXPECT_EQ(fake_libcw::count("cw_generator_new"), 1u);
}

TEST_F(GeneratorTest, FailedFallBackLeavesTheRequestedSystemAndAppliesNothing) {
    settings.current.sound_system = kPulse;
    fake_libcw::set_generator_new_result(kPulse, 0);
    fake_libcw::set_generator_new_result(1, 0);
    generator_ready.store(true);
    switch_sound_system();
    EXPECT_FALSE(generator_ready.load());
    EXPECT_EQ(settings.current.sound_system, kPulse);
    EXPECT_EQ(fake_libcw::count("cw_set_frequency"), 0u);
    EXPECT_EQ(g_sleeps, 0u);
    EXPECT_NE(log().find("varkel:EE: failed to fall back to \"Null\" sound system\n"),
              std::string::npos);
}

TEST_F(GeneratorTest, SwitchRecreatesEvenTheSystemInUseAndAppliesCurrentValues) {
    settings.current.sound_system = kPulse;
    settings.current.tone = 900;
    switch_sound_system();
    switch_sound_system();
    EXPECT_EQ(fake_libcw::count("cw_gen_new"), 2u);
    EXPECT_EQ(fake_libcw::count("cw_gen_delete"), 1u);
    EXPECT_EQ(fake_libcw::count("cw_generator_delete"), 2u);
    EXPECT_EQ(fake_libcw::calls().back(), (Call{"cw_gen_set_weighting", {50}}));
    EXPECT_EQ(fake_libcw::count("cw_set_gap"), 2u);
    EXPECT_EQ(settings.current.sound_system, kPulse);
}

// The device named with -o belongs to the -x system: a switch to another
// system plays on that one's default device and says so, coming back or a
// reset plays on the name again, and a name that will not open is named in
// the warnings before the fall-back to the null system.
TEST_F(GeneratorTest, SoundDeviceIsTheDefaultSystemsAndNamedWhenItWillNotOpen) {
    ASSERT_TRUE(parse_sound_device_option("sound-device=desk_speakers"));
    settings.defaults.sound_system = kPulse;
    settings.defaults.verbosity = 4;
    reset_to_defaults();
    reset_generator();
    EXPECT_EQ(fake_libcw::last_gen_sound_device(), "desk_speakers");

    size_t seen = log().size();
    settings.current.sound_system = kAlsa;
    switch_sound_system();
    EXPECT_EQ(fake_libcw::last_gen_sound_device(), "");
    EXPECT_EQ(log().substr(seen),
              "varkel:II: sound device \"desk_speakers\" belongs to sound system \"PulseAudio\": "
              "\"ALSA\" plays on its default device\n"
              "varkel:II: starting generator with sound system \"ALSA\": success\n");
    settings.current.sound_system = kPulse;
    switch_sound_system();
    EXPECT_EQ(fake_libcw::last_gen_sound_device(), "desk_speakers");
    settings.current.sound_system = kAlsa;
    switch_sound_system();
    reset_to_defaults();
    reset_generator();
    EXPECT_EQ(fake_libcw::last_gen_sound_device(), "desk_speakers");

    seen = log().size();
    fake_libcw::set_generator_new_result(kPulse, 0);
    switch_sound_system();
    EXPECT_EQ(settings.current.sound_system, 1);
    EXPECT_EQ(log().substr(seen),
              "varkel:EE: failed to create generator with sound system \"PulseAudio\"\n"
              "varkel:WW: sound device \"desk_speakers\" cannot be opened on sound system "
              "\"PulseAudio\"\n"
              "varkel:II: starting generator with sound system \"Null\": success\n"
              "varkel:WW: fall back to \"Null\" sound system\n");
    reset_sound_device_for_tests();
}

// With a sound system, the key line still runs on the null one, and the
// sidetone generator gets every parameter, character and flush, so that
// what is heard is what is keyed.
TEST_F(GeneratorTest, SoundSystemPlaysASidetoneBesideTheKeyLineOnNull) {
    settings.current = {.wpm = 25,
                        .tone = 650,
                        .volume = 30,
                        .sound_system = kPulse,
                        .ptt_delay = 0,
                        .weighting = 0,
                        .verbosity = 4};
    switch_sound_system();
    std::vector<Call> expected = {
        {"cw_generator_stop", {}}, {"cw_generator_delete", {}},       {"cw_gen_new", {kPulse}},
        {"cw_key_new", {}},        {"cw_key_register_generator", {}}, {"cw_generator_new", {1, 0}},
        {"cw_gen_start", {}},      {"cw_generator_start", {}}};
    const std::vector<Call> configured = {{"cw_register_tone_queue_low_callback", {0, 1}},
                                          {"cw_register_keying_callback", {0}},
                                          {"cw_set_frequency", {kKeyLineFrequency}},
                                          {"cw_set_volume", {kKeyLineVolume}},
                                          {"cw_gen_set_frequency", {650}},
                                          {"cw_set_send_speed", {25}},
                                          {"cw_gen_set_speed", {25}},
                                          {"cw_gen_set_volume", {30}},
                                          {"cw_set_gap", {0}},
                                          {"cw_gen_set_gap", {0}},
                                          {"cw_set_weighting", {50}},
                                          {"cw_gen_set_weighting", {50}}};
    expected.insert(expected.end(), configured.begin(), configured.end());
    EXPECT_EQ(fake_libcw::calls(), expected);
    EXPECT_EQ(log(), "varkel:II: starting generator with sound system \"PulseAudio\": success\n");

    // The tuning carrier is a steady sidetone that ends with the key line's
    // tune, not with the key-up of an element that was playing before it.
    fake_libcw::reset();
    fake_libcw::fire_key(1);  // an element of earlier text is keyed
    tune(2);
    EXPECT_EQ(fake_libcw::call_names(),
              (std::vector<std::string>{"cw_flush_tone_queue", "cw_gen_flush_queue",
                                        "cw_gen_flush_queue", "cw_key_sk_set_value",
                                        "cw_queue_tone", "cw_queue_tone", "cw_send_character"}));
    // libcw's thread only marks the carrier's end; the main thread, woken,
    // ends it.
    fake_libcw::reset();
    keying_callback(nullptr, 0);  // the tune's end
    EXPECT_TRUE(fake_libcw::calls().empty());
    keying_callback(nullptr, 1);
    keying_callback(nullptr, 0);
    sidetone_end_carrier_if_due();
    sidetone_end_carrier_if_due();
    EXPECT_EQ(fake_libcw::calls(), (std::vector<Call>{{"cw_key_sk_set_value", {0}}}));

    fake_libcw::reset();
    keying_callback(nullptr, 0);  // a gap: the tune begins with the next key-down
    tune(1);
    keying_callback(nullptr, 0);
    sidetone_end_carrier_if_due();
    EXPECT_EQ(fake_libcw::count("cw_key_sk_set_value"), 1u);
    keying_callback(nullptr, 1);
    keying_callback(nullptr, 0);
    sidetone_end_carrier_if_due();
    EXPECT_EQ(fake_libcw::count("cw_key_sk_set_value"), 2u);

    // Stopping ends both generators and the carrier's key.
    tune(1);
    fake_libcw::reset();
    destroy_generator();
    EXPECT_EQ(fake_libcw::count("cw_gen_stop"), 1u);
    EXPECT_EQ(fake_libcw::count("cw_generator_stop"), 1u);
    EXPECT_EQ(fake_libcw::count("cw_key_delete"), 1u);
    fake_libcw::reset();
    keying_callback(nullptr, 0);  // a late edge finds no sidetone
    destroy_generator();
    EXPECT_EQ(fake_libcw::call_names(),
              (std::vector<std::string>{"cw_generator_stop", "cw_generator_delete"}));
}

// The sidetone's flush waits for the tone in progress, up to a second: an
// abort mutes it at once and leaves the flush to a thread of its own, and
// what is sent meanwhile reaches the sidetone, in order, after the flush.
std::atomic<bool> g_flush_may_end{false};
void flush_until_released() {
    while (!g_flush_may_end.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST_F(GeneratorTest, AbortMutesTheSidetoneAtOnceAndHoldsWhatFollowsUntilItsFlushHasEnded) {
    settings.current.sound_system = kPulse;
    switch_sound_system();
    g_flush_may_end.store(false);
    fake_libcw::reset();
    fake_libcw::set_gen_flush_hook(flush_until_released);
    output_abort();
    output_speed(30);
    output_volume(40);
    output_character('K');
    const auto before_flush = fake_libcw::calls();
    EXPECT_EQ(before_flush.front(), (Call{"cw_gen_set_volume", {0}}));
    for (const char* sidetone_call :
         {"cw_gen_set_speed", "cw_gen_enqueue_character", "cw_key_sk_set_value"}) {
        EXPECT_EQ(std::count_if(before_flush.begin(), before_flush.end(),
                                [&](const Call& c) { return c.name == sidetone_call; }),
                  0)
            << sidetone_call;
    }
    EXPECT_EQ(fake_libcw::count("cw_send_character"), 1u);  // the key line goes on at once

    g_flush_may_end.store(true);
    for (int waited = 0; waited < 2000 && fake_libcw::count("cw_gen_enqueue_character") == 0;
         ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<Call> sidetone;
    for (const auto& call : fake_libcw::calls()) {
        if (call.name.rfind("cw_gen_", 0) == 0) {
            sidetone.push_back(call);
        }
    }
    EXPECT_EQ(sidetone, (std::vector<Call>{{"cw_gen_set_volume", {0}},
                                           {"cw_gen_flush_queue", {}},
                                           {"cw_gen_set_volume", {40}},
                                           {"cw_gen_set_speed", {30}},
                                           {"cw_gen_enqueue_character", {'K'}}}));
    destroy_generator();
}

// A new tune flushes the sidetone, which waits for its tone in progress,
// up to a second. The key-up that ends the running tune on the key line
// may come meanwhile: libcw's thread must not wait for that flush, or the
// next element would start late.
std::thread g_libcw_thread;
std::atomic<bool> g_edge_done{false};
bool g_edge_done_during_flush = false;
void flush_while_the_tune_ends() {
    fake_libcw::set_gen_flush_hook(nullptr);  // the first flush only
    g_libcw_thread = std::thread([] {
        keying_callback(nullptr, 0);
        g_edge_done.store(true);
    });
    // A key line that waited would wait for all of it; this gives up after
    // five seconds.
    for (int waited = 0; waited < 5000 && !g_edge_done.load(); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    g_edge_done_during_flush = g_edge_done.load();
}

TEST_F(GeneratorTest, TuneEndOnTheKeyLineDoesNotWaitForTheSidetonesFlush) {
    settings.current.sound_system = kPulse;
    switch_sound_system();
    fake_libcw::fire_key(1);
    tune(2);
    g_edge_done.store(false);
    g_edge_done_during_flush = false;
    fake_libcw::set_gen_flush_hook(flush_while_the_tune_ends);
    tune(1);
    g_libcw_thread.join();
    EXPECT_TRUE(g_edge_done_during_flush);
    destroy_generator();
}

TEST_F(GeneratorTest, DestroyStopsThenDeletes) {
    destroy_generator();
    EXPECT_EQ(fake_libcw::call_names(),
              (std::vector<std::string>{"cw_generator_stop", "cw_generator_delete"}));
}

TEST(GeneratorWeighting, MapsSettingsRangeOntoLibraryRangeByTruncation) {
    const std::pair<int, int> cases[] = {{-50, 20}, {-49, 20}, {-2, 48}, {-1, 49}, {0, 50},
                                         {1, 50},   {2, 51},   {49, 79}, {50, 80}};
    for (const auto& [weighting, library] : cases) {
        EXPECT_EQ(weighting_to_library(weighting), library) << "weighting " << weighting;
    }
}

// The key line's tones end on one timeline: libcw's work between tones no
// longer lengthens them, a stall starts a new timeline instead of being
// made up, and no tone is ever cut by more than the resync bound.
TEST(KeyLineTimeline, KeepsTonesOnOneTimelineAndResyncsAfterAStall) {
    constexpr int64_t kMs = 1'000'000;
    constexpr int kDot = 20'000;  // microseconds, 60 wpm
    KeyLineTimeline timeline;
    int64_t now = 1000 * kMs;
    // The first tone after idle starts the timeline where it begins.
    EXPECT_EQ(key_line_tone_end(timeline, now, kDot), now + 20 * kMs);
    // Late by libcw's own work: the tone still ends on the timeline.
    now = 1020 * kMs + 90'000;
    EXPECT_EQ(key_line_tone_end(timeline, now, 3 * kDot), 1080 * kMs);
    now = 1080 * kMs + kTimelineResyncNs;
    EXPECT_EQ(key_line_tone_end(timeline, now, kDot), 1100 * kMs);
    // A stall: the tone gets its full length from now, and the timeline
    // goes on from there.
    now = 1100 * kMs + kTimelineResyncNs + 1;
    EXPECT_EQ(key_line_tone_end(timeline, now, kDot), now + 20 * kMs);
    const int64_t resynced = now + 20 * kMs;
    EXPECT_EQ(key_line_tone_end(timeline, resynced + 40'000, kDot), resynced + 20 * kMs);
    // A tone cut short leaves the timeline ahead of the clock: the next one
    // begins now, not at the end the cut tone would have had.
    now = resynced + 25 * kMs;
    EXPECT_EQ(key_line_tone_end(timeline, now, kDot), now + 20 * kMs);
    // Begun afresh (after idle or a cut), whatever was before.
    timeline = {};
    EXPECT_EQ(key_line_tone_end(timeline, now + 3 * kMs, 1), now + 3 * kMs + 1000);

    // Whatever the lateness, no tone is shortened by more than the bound.
    timeline = {};
    now = 5000 * kMs;
    uint32_t state = 12345;
    for (int tone = 0; tone < 2000; ++tone) {
        state = state * 1103515245u + 12345u;
        const int64_t late = (state >> 8) % (2 * kTimelineResyncNs);
        const int length = kDot * (1 + static_cast<int>(state % 3));
        const int64_t begin = (timeline.end_ns == 0 ? now : timeline.end_ns) + late;
        const int64_t end = key_line_tone_end(timeline, begin, length);
        ASSERT_GE(end - begin, int64_t{length} * 1000 - kTimelineResyncNs) << "tone " << tone;
        ASSERT_LE(end - begin, int64_t{length} * 1000) << "tone " << tone;
    }
}

TEST_F(GeneratorTest, TuneZeroDoesNothing) {
    settings.current.ptt_delay = 20;
    tune(0);
    EXPECT_TRUE(fake_libcw::calls().empty());
    EXPECT_TRUE(morse_test::device_events().empty());
    EXPECT_EQ(log(), "");
}

// The carrier keys at the key line's own frequency: a tone of 0 Hz, the
// operator's silent tone, would be a key-up to libcw.
TEST_F(GeneratorTest, TuneWithoutPttDelayQueuesSecondsOfToneAndAnE) {
    settings.current.tone = 0;
    tune(3);
    EXPECT_EQ(fake_libcw::calls(), (std::vector<Call>{{"cw_flush_tone_queue", {}},
                                                      {"cw_queue_tone", {1000000, 800}},
                                                      {"cw_queue_tone", {1000000, 800}},
                                                      {"cw_queue_tone", {1000000, 800}},
                                                      {"cw_send_character", {'e'}}}));
    EXPECT_TRUE(morse_test::device_events().empty());
    EXPECT_EQ(ptt_flags(), 0);
}

TEST_F(GeneratorTest, TuneWithPttDelayRaisesPttBeforeTheFirstTone) {
    settings.current.ptt_delay = 20;
    tune(10);
    EXPECT_EQ(fake_libcw::count("cw_queue_tone"), 10u);
    EXPECT_EQ(fake_libcw::call_names().front(), "cw_flush_tone_queue");
    EXPECT_EQ(fake_libcw::calls().back(), (Call{"cw_send_character", {'e'}}));
    EXPECT_EQ(morse_test::device_events(), std::vector<std::string>{"ptt 1"});
    EXPECT_EQ(log(),
              "varkel:II: PTT (TUNE) on\n"
              "varkel:DD: PTT flag +PTT_ACTIVE_AUTO (0x01/Ame)\n");
}

}  // namespace
}  // namespace varkel
