// The PTT flags with their log text, raising PTT with its delay and
// dropping it.
#include "morse/ptt.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "support/morse_test_support.h"

namespace varkel {
namespace {

using morse_test::device_events;
using Events = std::vector<std::string>;

class PttTest : public ::testing::Test, public morse_test::MorseTest {};

TEST(PttFlagText, CapitalsForSetBits) {
    const std::pair<uint8_t, const char*> cases[] = {{0x00, "ame"}, {0x01, "Ame"}, {0x02, "aMe"},
                                                     {0x03, "AMe"}, {0x04, "amE"}, {0x05, "AmE"},
                                                     {0x06, "aME"}, {0x07, "AME"}};
    for (const auto& [flags, text] : cases) {
        EXPECT_STREQ(ptt_flag_text(flags).data(), text);
    }
}

TEST_F(PttTest, SetAndClearChangeOneBitAndReturnTheNewValue) {
    EXPECT_EQ(ptt_flags_set(PTT_ACTIVE_MANUAL), 0x02);
    EXPECT_EQ(ptt_flags_set(PTT_ACTIVE_ECHO), 0x06);
    EXPECT_EQ(ptt_flags_set(PTT_ACTIVE_ECHO), 0x06);
    EXPECT_EQ(ptt_flags_clear(PTT_ACTIVE_MANUAL), 0x04);
    EXPECT_EQ(ptt_flags(), 0x04);
    EXPECT_EQ(ptt_flags_set(0x80), 0x04);  // bits beyond the three stay 0
    ptt_flags_clear_all();
    EXPECT_EQ(ptt_flags(), 0);
    EXPECT_EQ(log(), "varkel:DD: PTT flag = 0 (0x00/ame)\n");
}

TEST_F(PttTest, AutoOnWithoutDelayDoesNothing) {
    ptt_auto_on(&morse_test::recording_device, "PTT (auto) on");
    EXPECT_TRUE(device_events().empty());
    EXPECT_EQ(ptt_flags(), 0);
    EXPECT_EQ(log(), "");
}

TEST_F(PttTest, AutoOnRaisesPttWaitsTheDelayThenSetsTheFlag) {
    settings.current.ptt_delay = 30;
    const auto start = std::chrono::steady_clock::now();
    ptt_auto_on(&morse_test::recording_device, "PTT (auto) on");
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(30));
    EXPECT_EQ(device_events(), Events{"ptt 1"});
    EXPECT_EQ(ptt_flags(), PTT_ACTIVE_AUTO);
    EXPECT_EQ(log(),
              "varkel:II: PTT (auto) on\n"
              "varkel:DD: PTT flag +PTT_ACTIVE_AUTO (0x01/Ame)\n");

    // Once on, further calls before each character change nothing.
    ptt_auto_on(&morse_test::recording_device, "PTT (auto) on");
    EXPECT_EQ(device_events(), Events{"ptt 1"});
}

TEST_F(PttTest, AutoOnUnderManualPttRaisesAgainAndKeepsManual) {
    settings.current.ptt_delay = 10;
    ptt_flags_set(PTT_ACTIVE_MANUAL);
    ptt_auto_on(&morse_test::recording_device, "PTT (manual, delay) on");
    EXPECT_EQ(device_events(), Events{"ptt 1"});
    EXPECT_EQ(ptt_flags(), 0x03);
    EXPECT_EQ(log(),
              "varkel:II: PTT (manual, delay) on\n"
              "varkel:DD: PTT flag +PTT_ACTIVE_AUTO (0x03/AMe)\n");
}

TEST_F(PttTest, AutoOnSetsTheFlagEvenWhenTheDelayCannotBeSlept) {
    // A whole second does not fit the nanoseconds field: nanosleep refuses.
    settings.current.ptt_delay = 1000;
    settings.nofork = true;
    testing::internal::CaptureStdout();
    ptt_auto_on(&morse_test::recording_device, "PTT (auto) on");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "varkel: Nanosleep failed: \"Invalid argument\"\n");
    EXPECT_EQ(ptt_flags(), PTT_ACTIVE_AUTO);
}

TEST_F(PttTest, OffDropsTheLineAndClearsEveryFlagEvenWhenAlreadyClear) {
    ptt_flags_set(PTT_ACTIVE_AUTO | PTT_ACTIVE_ECHO | PTT_ACTIVE_MANUAL);
    ptt_off(&morse_test::recording_device, "PTT off");
    ptt_off(&morse_test::recording_device, "ensure PTT off");
    EXPECT_EQ(device_events(), (Events{"ptt 0", "ptt 0"}));
    EXPECT_EQ(ptt_flags(), 0);
    EXPECT_EQ(log(),
              "varkel:DD: PTT flag = 0 (0x00/ame)\n"
              "varkel:II: PTT off\n"
              "varkel:DD: PTT flag = 0 (0x00/ame)\n"
              "varkel:II: ensure PTT off\n");
}

TEST(SleepMicroseconds, SleepsAtLeastTheDelay) {
    const auto start = std::chrono::steady_clock::now();
    sleep_microseconds(20000);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(20000));
}

extern "C" void ignore_signal(int) {}

TEST(SleepMicroseconds, AnInterruptedSleepGoesOnForTheRemainingTime) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = ignore_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // nanosleep returns with EINTR
    sigaction(SIGUSR1, &action, &previous);
    const pthread_t sleeper = pthread_self();
    const auto start = std::chrono::steady_clock::now();
    std::thread interrupter([sleeper] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        pthread_kill(sleeper, SIGUSR1);
    });
    sleep_microseconds(40000);
    const auto slept = std::chrono::steady_clock::now() - start;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GE(slept, std::chrono::microseconds(40000));
}

}  // namespace
}  // namespace varkel
