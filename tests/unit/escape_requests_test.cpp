// The control requests: what each code does to the settings, libcw, the PTT
// flags and the keying device, and the exact lines it logs.
#include "net/escape_requests.h"
#include "support/log_capture.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/logging.h"
#include "core/settings.h"
#include "devices/keying_device.h"
#include "morse/callbacks.h"
#include "morse/generator.h"
#include "morse/output.h"
#include "morse/ptt.h"
#include "net/udp_endpoint.h"
#include "support/fake_libcw.h"

namespace varkel {
namespace {

using fake_libcw::Call;
using Calls = std::vector<Call>;

// A keying device that records every operation made on it.
std::mutex g_device_mutex;
std::vector<std::string> g_device_ops;  // guarded by g_device_mutex

void record_op(std::string op) {
    std::lock_guard<std::mutex> lock(g_device_mutex);
    g_device_ops.push_back(std::move(op));
}
std::vector<std::string> device_ops() {
    std::lock_guard<std::mutex> lock(g_device_mutex);
    return g_device_ops;
}
void forget_device_ops() {
    std::lock_guard<std::mutex> lock(g_device_mutex);
    g_device_ops.clear();
}

int32_t rec_init(KeyingDevice* device, int32_t fd) {
    device->fd = fd;
    record_op("init");
    return 0;
}
int32_t rec_release(KeyingDevice*) {
    record_op("release");
    return 0;
}
int32_t rec_reset(KeyingDevice*) {
    record_op("reset");
    return 0;
}
int32_t rec_key(KeyingDevice*, int32_t state) {
    record_op("key " + std::to_string(state));
    return 0;
}
int32_t rec_ptt(KeyingDevice*, int32_t state) {
    record_op("ptt " + std::to_string(state));
    return 0;
}
int32_t rec_ssb_way(KeyingDevice*, int32_t state) {
    record_op("ssb " + std::to_string(state));
    return 0;
}
int32_t rec_band_switch(KeyingDevice*, uint8_t code) {
    char text[16];
    snprintf(text, sizeof text, "band %02x", code);
    record_op(text);
    return 0;
}

// Key and PTT only, like the serial and null devices.
KeyingDevice g_plain_device{
    .init = rec_init,
    .release = rec_release,
    .reset = rec_reset,
    .key = rec_key,
    .ptt = rec_ptt,
    .ssb_way = nullptr,          // no SSB audio routing
    .band_switch = nullptr,      // no band output
    .read_ptt_switch = nullptr,  // no foot switch
    .fd = 0,
    .description = std::nullopt,
};

// Every output, like the parallel device (the foot switch is not needed).
KeyingDevice g_full_device{
    .init = rec_init,
    .release = rec_release,
    .reset = rec_reset,
    .key = rec_key,
    .ptt = rec_ptt,
    .ssb_way = rec_ssb_way,
    .band_switch = rec_band_switch,
    .read_ptt_switch = nullptr,  // not used by any request
    .fd = 0,
    .description = std::nullopt,
};

class EscapeRequestsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        set_debug_output(nullptr);
        reset_settings_for_tests();
        settings.defaults.verbosity = DD;
        reset_to_defaults();
        settings.defaults.sound_system = 1;
        settings.current.sound_system = 1;
        fake_libcw::reset();
        generator_ready.store(true);
        word_mode = false;
        empty_message_buffer();
        ptt_flags_clear_all();
        output_forget_tune();
        reset_devices_for_tests();
        current_device.store(&g_plain_device);
        forget_device_ops();
        log_ = tmpfile();
        ASSERT_NE(log_, nullptr);
        set_debug_output(log_);
    }

    void TearDown() override {
        set_debug_output(nullptr);
        fclose(log_);
        current_device.store(&null_device);
        reset_devices_for_tests();
        ptt_flags_clear_all();
        word_mode = false;
        fake_libcw::reset();
        reset_settings_for_tests();
        set_debug_output(stdout);
    }

    // Hands "<ESC><body>" to the dispatcher in a receive-sized buffer.
    static void request(const std::string& body) {
        char buffer[kReceiveSize + 1] = {};
        buffer[0] = static_cast<char>(kEscape);
        body.copy(buffer + 1, kReceiveSize - 1);
        handle_escape_request(buffer);
    }

    std::string log() { return test_support::read_whole_stream(log_); }

    void forget() {
        fflush(log_);
        fclose(log_);
        log_ = tmpfile();
        set_debug_output(log_);
        fake_libcw::reset();
        forget_device_ops();
    }

    FILE* log_ = nullptr;
};

std::string lines(std::initializer_list<const char*> each) {
    std::string text;
    for (const char* line : each) {
        text += "varkel:";
        text += line;
        text += "\n";
    }
    return text;
}

bool ends_with(const std::string& text, const std::string& ending) {
    return text.size() >= ending.size() &&
           text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST_F(EscapeRequestsTest, UnknownCodesAndEscAloneChangeAndLogNothing) {
    const Settings before = settings;
    for (const char code : {'1', ':', '@', 'A', 'Z', '`', 'i', 'z', '/', ' ', '\x7f', '\xff'}) {
        request(std::string(1, code) + "1");
    }
    request("");
    EXPECT_EQ(log(), "");
    EXPECT_TRUE(fake_libcw::calls().empty());
    EXPECT_TRUE(device_ops().empty());
    EXPECT_EQ(ptt_flags(), 0);
    EXPECT_EQ(settings.current.wpm, before.current.wpm);
    EXPECT_EQ(settings.current.ptt_delay, before.current.ptt_delay);
}

TEST_F(EscapeRequestsTest, EscAloneThroughTheReceiveStepLogsOnlyTheEndpointLines) {
    char buffer[kReceiveSize + 1] = {static_cast<char>(kEscape), '\r', '\n'};
    handle_datagram(buffer, 3);
    EXPECT_EQ(log(), lines({"II: -------------------", "II: escaped request: \"<ESC>\""}));
    EXPECT_TRUE(fake_libcw::calls().empty());
}

TEST_F(EscapeRequestsTest, SpeedIsStoredAndAppliedOnlyWhenAccepted) {
    request("230");
    EXPECT_EQ(settings.current.wpm, 30);
    EXPECT_EQ(fake_libcw::calls(), (Calls{{"cw_set_send_speed", {30}}}));
    forget();
    request("261");
    EXPECT_EQ(settings.current.wpm, 30);
    EXPECT_TRUE(fake_libcw::calls().empty());
    EXPECT_EQ(log(), lines({"EE: invalid requested morse speed [wpm]: \"61\" (should be integer "
                            "between 4 and 60 inclusive)"}));
}

// Tone and volume are what is heard (the sidetone's, cw_gen_*): the key
// line's generator keeps its own, or a silent tone would not key.
TEST_F(EscapeRequestsTest, ToneZeroSilencesByVolumeAndToneSevenHundredRestoresIt) {
    settings.current.sound_system = 5;
    switch_sound_system();
    forget();
    request("30");
    EXPECT_EQ(fake_libcw::calls(), (Calls{{"cw_gen_set_volume", {0}}}));
    EXPECT_EQ(log(), lines({"II: requested tone [Hz]: \"0\"", "II: volume off"}));
    forget();
    request("3700");
    EXPECT_EQ(fake_libcw::calls(),
              (Calls{{"cw_gen_set_frequency", {700}}, {"cw_gen_set_volume", {70}}}));
    EXPECT_EQ(log(), lines({"II: requested tone [Hz]: \"700\"", "II: tone: 700 Hz"}));
    forget();
    request("34001");
    EXPECT_EQ(settings.current.tone, 700);
    EXPECT_TRUE(fake_libcw::calls().empty());
    destroy_generator();
}

TEST_F(EscapeRequestsTest, VolumeAndWeightingAreApplied) {
    settings.current.sound_system = 5;
    switch_sound_system();
    request("30");
    forget();
    request("g55");  // also while the tone is 0
    request("710");
    request("7-51");
    EXPECT_EQ(settings.current.volume, 55);
    EXPECT_EQ(settings.current.weighting, 10);
    EXPECT_EQ(fake_libcw::calls(), (Calls{{"cw_gen_set_volume", {55}},
                                          {"cw_set_weighting", {56}},
                                          {"cw_gen_set_weighting", {56}}}));
    destroy_generator();
}

TEST_F(EscapeRequestsTest, WordModeMakesAbortALoggedNoOpUntilReset) {
    ptt_flags_set(PTT_ACTIVE_AUTO);
    store_message_byte(0, 'x');
    request("6");
    EXPECT_TRUE(word_mode);
    EXPECT_FALSE(message_waiting());
    forget();
    request("4");
    EXPECT_EQ(log(), lines({"II: requested aborting of message - ignoring (word mode is active)"}));
    EXPECT_TRUE(fake_libcw::calls().empty());
    EXPECT_EQ(ptt_flags(), PTT_ACTIVE_AUTO);
    request("0");
    EXPECT_FALSE(word_mode);
    forget();
    request("4");
    EXPECT_EQ(fake_libcw::calls(),
              (Calls{{"cw_flush_tone_queue", {}}, {"cw_wait_for_tone_queue", {}}}));
}

TEST_F(EscapeRequestsTest, AbortLiftsTheKeyLeavesThePttLineAloneAndLogsTheClear) {
    request("4");
    EXPECT_EQ(log(), lines({"II: requested aborting of message - executing (character mode is "
                            "active)",
                            "DD: PTT flag = 0 (0x00/ame)"}));
    EXPECT_EQ(device_ops(), (std::vector<std::string>{"key 0"}));
}

TEST_F(EscapeRequestsTest, AbortWithAutomaticPttDropsItAndLogsTheClearTwice) {
    ptt_flags_set(PTT_ACTIVE_AUTO);
    request("4");
    EXPECT_EQ(log(),
              lines({"II: requested aborting of message - executing (character mode is "
                     "active)",
                     "DD: PTT flag = 0 (0x00/ame)", "II: PTT off", "DD: PTT flag = 0 (0x00/ame)"}));
    EXPECT_EQ(device_ops(), (std::vector<std::string>{"key 0", "ptt 0"}));
    EXPECT_EQ(ptt_flags(), 0);
}

// Let libcw's callbacks run on their own thread while the main thread waits
// for the queue to drain: a lock held across the wait would hang here.
void key_edges_on_another_thread() {
    std::thread libcw_thread([] {
        keying_callback(nullptr, 1);
        keying_callback(nullptr, 0);
    });
    libcw_thread.join();
}
void queue_drained_on_another_thread() {
    std::thread libcw_thread([] {
        keying_callback(nullptr, 1);
        keying_callback(nullptr, 0);
        low_queue_callback(nullptr);
    });
    libcw_thread.join();
}

TEST_F(EscapeRequestsTest, AbortRefusesLibcwsKeyDownsWhileItEmptiesTheQueue) {
    ptt_flags_set(PTT_ACTIVE_AUTO);
    fake_libcw::set_wait_hook(queue_drained_on_another_thread);
    request("4");
    EXPECT_EQ(ptt_flags(), 0);
    // The key went up at the request and stayed up: the key-down of the
    // dropped Morse was refused. The callback dropped PTT; the abort finds
    // no flag left and only writes its own clear.
    EXPECT_EQ(device_ops(), (std::vector<std::string>{"key 0", "key 0", "ptt 0"}));
    const std::string text = log();
    EXPECT_EQ(occurrences(text, "varkel:II: PTT (auto) off\n"), 1u);
    EXPECT_EQ(occurrences(text, "varkel:II: PTT off\n"), 0u);
    EXPECT_TRUE(ends_with(text, "PTT flag = 0x00/ame\n" + lines({"DD: PTT flag = 0 (0x00/ame)"})))
        << text;
    keying_callback(nullptr, 1);  // the next text keys again
    EXPECT_EQ(device_ops().back(), "key 1");
}

// A real socket on loopback, so that the abort notice and the echo can be
// seen by the client that asked for the echo.
class EscapeRequestsSocketTest : public EscapeRequestsTest {
  protected:
    void SetUp() override {
        EscapeRequestsTest::SetUp();
        client_ = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(client_, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(client_, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
        // The daemon's port: free it is found by binding port 0 first.
        const int probe = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
        socklen_t length = sizeof any;
        getsockname(probe, reinterpret_cast<sockaddr*>(&any), &length);
        close(probe);
        settings.port = ntohs(any.sin_port);
        ASSERT_TRUE(open_endpoint());
        daemon_ = any;
    }
    void TearDown() override {
        close_endpoint_at_exit();
        close(client_);
        EscapeRequestsTest::TearDown();
    }
    void send_from_client(const std::string& datagram) {
        ASSERT_EQ(sendto(client_, datagram.data(), datagram.size(), 0,
                         reinterpret_cast<sockaddr*>(&daemon_), sizeof daemon_),
                  static_cast<ssize_t>(datagram.size()));
        pollfd wait{socket_fd, POLLIN, 0};
        ASSERT_EQ(poll(&wait, 1, 2000), 1);
        receive_request();
    }
    std::string received_by_client(int timeout_ms) {
        pollfd wait{client_, POLLIN, 0};
        if (poll(&wait, 1, timeout_ms) != 1) {
            return "";
        }
        char buffer[512];
        const ssize_t got = recv(client_, buffer, sizeof buffer, 0);
        return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
    }
    int client_ = -1;
    sockaddr_in daemon_{};
};

TEST_F(EscapeRequestsSocketTest, AbortWithPendingEchoSendsBreakAndDropsTheEcho) {
    send_from_client("\x1bhOK");
    ASSERT_EQ(ptt_flags(), PTT_ACTIVE_ECHO);
    forget();
    fake_libcw::set_wait_hook(key_edges_on_another_thread);
    send_from_client(
        "\x1b"
        "4");
    EXPECT_EQ(received_by_client(2000), "break\r\n");
    EXPECT_EQ(ptt_flags(), 0);
    const std::string text = log();
    EXPECT_NE(text.find(lines({"II: requested aborting of message - executing (character mode "
                               "is active)",
                               "II: echo \"break\""})),
              std::string::npos);
    // The echo never follows, whatever the callback does later.
    low_queue_callback(nullptr);
    EXPECT_EQ(received_by_client(300), "");
    EXPECT_TRUE(ends_with(text, lines({"DD: PTT flag = 0 (0x00/ame)"}))) << text;
}

TEST_F(EscapeRequestsSocketTest, EchoRequestRepliesWithTheRequestWithoutItsEscape) {
    send_from_client("\x1bhOK");
    EXPECT_EQ(log(), lines({"II: -------------------", "II: escaped request: \"<ESC>hOK\"",
                            "DD: PTT flag +PTT_ACTIVE_ECHO (0x04/amE)",
                            "II: text of request: \"hOK\", text of reply: \"hOK\"",
                            "II: now waiting for end of transmission before echoing back to "
                            "client",
                            "II: reply is ready, waiting for message from client (reply: "
                            "\"hOK\")"}));
    EXPECT_TRUE(device_ops().empty());
    EXPECT_TRUE(fake_libcw::calls().empty());
    low_queue_callback(nullptr);  // the text that followed has been played
    EXPECT_EQ(received_by_client(2000), "hOK\r\n");
    EXPECT_EQ(ptt_flags(), 0);
}

TEST_F(EscapeRequestsTest, ManualPttWithoutDelayOnlyRecordsItAndOffDrivesTheLineOff) {
    request("a1");
    EXPECT_EQ(log(), lines({"II: requested PTT state: \"1\"", "II: PTT (manual, immediate) on",
                            "DD: PTT flag +PTT_ACTIVE_MANUAL (0x02/aMe)"}));
    EXPECT_TRUE(device_ops().empty());
    forget();
    request("a0");
    EXPECT_EQ(log(),
              lines({"II: requested PTT state: \"0\"", "DD: PTT flag -PTT_ACTIVE_MANUAL (0x00/ame)",
                     "DD: PTT flag = 0 (0x00/ame)", "II: PTT (manual, immediate) off"}));
    EXPECT_EQ(device_ops(), (std::vector<std::string>{"ptt 0"}));
}

TEST_F(EscapeRequestsTest, ManualPttWithDelayRaisesTheLineThroughAutomaticPtt) {
    settings.current.ptt_delay = 5;
    request("a1");
    EXPECT_EQ(log(), lines({"II: requested PTT state: \"1\"", "II: PTT (manual, delay) on",
                            "DD: PTT flag +PTT_ACTIVE_AUTO (0x01/Ame)",
                            "DD: PTT flag +PTT_ACTIVE_MANUAL (0x03/AMe)"}));
    EXPECT_EQ(device_ops(), (std::vector<std::string>{"ptt 1"}));
}

TEST_F(EscapeRequestsTest, ManualPttOnForAnyNonZeroNumberAndRefusedForNonNumbers) {
    for (const char* on : {"a2", "a-1", "a 7"}) {
        ptt_flags_clear_all();
        forget();
        request(on);
        EXPECT_EQ(ptt_flags(), PTT_ACTIVE_MANUAL) << on;
    }
    ptt_flags_clear_all();
    forget();
    request("ax");
    request("a");
    request("a1 ");
    EXPECT_EQ(log(), lines({"EE: invalid requested PTT state: \"x\" (should be numeric value "
                            "\"0\" or \"1\")",
                            "EE: invalid requested PTT state: \"\" (should be numeric value "
                            "\"0\" or \"1\")",
                            "EE: invalid requested PTT state: \"1 \" (should be numeric value "
                            "\"0\" or \"1\")"}));
    EXPECT_EQ(ptt_flags(), 0);
}

TEST_F(EscapeRequestsTest, ManualPttOffWhenNotHeldLogsOnlyTheRequest) {
    ptt_flags_set(PTT_ACTIVE_AUTO);
    forget();
    request("a0");
    EXPECT_EQ(log(), lines({"II: requested PTT state: \"0\""}));
    EXPECT_EQ(ptt_flags(), PTT_ACTIVE_AUTO);
    EXPECT_TRUE(device_ops().empty());
}

TEST_F(EscapeRequestsTest, ManualPttOffWhileMorseIsQueuedHandsPttToTheCallback) {
    request("a1");
    forget();
    fake_libcw::set_tone_queue_length(5);
    request("a0");
    EXPECT_EQ(log(),
              lines({"II: requested PTT state: \"0\"", "DD: PTT flag -PTT_ACTIVE_MANUAL (0x00/ame)",
                     "DD: PTT flag +PTT_ACTIVE_AUTO (0x01/Ame)",
                     "II: reverting from PTT (manual) to PTT (auto) now"}));
    EXPECT_TRUE(device_ops().empty());
    EXPECT_EQ(ptt_flags(), PTT_ACTIVE_AUTO);
}

TEST_F(EscapeRequestsTest, SsbWayOnADeviceWithoutItWarnsAndALetterIsSilent) {
    request("bx");
    request("b");
    EXPECT_EQ(log(), "");
    request("b1");
    request("b0");
    EXPECT_EQ(log(), lines({"WW: \"SSB way\" to SOUNDCARD unimplemented",
                            "WW: \"SSB way\" to MICROPHONE unimplemented"}));
    EXPECT_TRUE(device_ops().empty());
}

TEST_F(EscapeRequestsTest, SsbWayOnADeviceWithItSwitchesTheAudioPath) {
    current_device.store(&g_full_device);
    request("b7");
    request("b0");
    EXPECT_EQ(device_ops(), (std::vector<std::string>{"ssb 1", "ssb 0"}));
    EXPECT_EQ(log(),
              lines({"II: \"SSB way\" set to SOUNDCARD", "II: \"SSB way\" set to MICROPHONE"}));
}

TEST_F(EscapeRequestsTest, TuneChecksItsRangeAndZeroDoesNothing) {
    for (const char* refused : {"c11", "c-1", "cx", "c"}) {
        request(refused);
    }
    const std::string tail = " (should be integer between 0 and 10 inclusive)";
    EXPECT_EQ(log(), "varkel:EE: invalid requested tuning time [s]: \"11\"" + tail +
                         "\nvarkel:EE: invalid requested tuning time [s]: \"-1\"" + tail +
                         "\nvarkel:EE: invalid requested tuning time [s]: \"x\"" + tail +
                         "\nvarkel:EE: invalid requested tuning time [s]: \"\"" + tail + "\n");
    forget();
    request("c0");
    EXPECT_EQ(log(), lines({"II: requested tuning time [s]: \"0\""}));
    EXPECT_TRUE(fake_libcw::calls().empty());
}

// Whatever the tone heard, silent included: libcw keys no tone of 0 Hz.
TEST_F(EscapeRequestsTest, TuneQueuesOneSecondTonesAtTheKeyLineFrequency) {
    request("30");
    forget();
    request("c2");
    EXPECT_EQ(fake_libcw::calls(), (Calls{{"cw_flush_tone_queue", {}},
                                          {"cw_queue_tone", {1000000, kKeyLineFrequency}},
                                          {"cw_queue_tone", {1000000, kKeyLineFrequency}},
                                          {"cw_send_character", {'e'}}}));
}

TEST_F(EscapeRequestsTest, TuneOfZeroEndsARunningTuneAsAnAbortDoesInWordModeToo) {
    settings.current.ptt_delay = 1;
    request("6");
    request("c2");
    keying_callback(nullptr, 1);  // the carrier begins
    forget();
    request("c0");
    EXPECT_EQ(log(),
              lines({"II: requested tuning time [s]: \"0\"", "II: stopping tuning",
                     "DD: PTT flag = 0 (0x00/ame)", "II: PTT off", "DD: PTT flag = 0 (0x00/ame)"}));
    EXPECT_EQ(device_ops(), (std::vector<std::string>{"key 0", "ptt 0"}));
    EXPECT_EQ(fake_libcw::calls(),
              (Calls{{"cw_flush_tone_queue", {}}, {"cw_wait_for_tone_queue", {}}}));

    // A carrier that has ended by itself leaves nothing to stop.
    request("c2");
    keying_callback(nullptr, 1);
    keying_callback(nullptr, 0);
    forget();
    request("c0");
    EXPECT_EQ(log(), lines({"II: requested tuning time [s]: \"0\""}));
    EXPECT_TRUE(device_ops().empty());
}

TEST_F(EscapeRequestsTest, PttDelayAboveRangeIsClippedWithAWarningOnly) {
    request("d60");
    EXPECT_EQ(settings.current.ptt_delay, 50);
    EXPECT_EQ(log(), lines({"WW: requested PTT delay [ms] out of range: \"60\", clipping to "
                            "\"50\" (should be between 0 and 50 inclusive)"}));
    EXPECT_TRUE(device_ops().empty());
}

TEST_F(EscapeRequestsTest, PttDelayZeroEnsuresPttOffAndDropsEveryFlag) {
    settings.current.ptt_delay = 20;
    ptt_flags_set(PTT_ACTIVE_AUTO | PTT_ACTIVE_ECHO);
    forget();
    request("d0");
    EXPECT_EQ(settings.current.ptt_delay, 0);
    EXPECT_EQ(log(), lines({"II: requested PTT delay [ms]: \"0\"", "DD: PTT flag = 0 (0x00/ame)",
                            "II: ensure PTT off"}));
    EXPECT_EQ(device_ops(), (std::vector<std::string>{"ptt 0"}));
    EXPECT_EQ(ptt_flags(), 0);
}

TEST_F(EscapeRequestsTest, PttDelayRefusalsLogTheDispatcherLineAndTheParserLineForText) {
    settings.current.ptt_delay = 20;
    request("d-5");
    EXPECT_EQ(occurrences(log(), "invalid requested PTT delay [ms]: \"-5\""), 1u);
    EXPECT_EQ(occurrences(log(), "\n"), 1u);
    forget();
    request("dx");
    EXPECT_EQ(occurrences(log(), "varkel:EE: invalid requested PTT delay [ms]: \"x\""), 2u);
    EXPECT_EQ(occurrences(log(), "\n"), 2u);
    EXPECT_EQ(settings.current.ptt_delay, 20);
    EXPECT_TRUE(device_ops().empty());
}

TEST_F(EscapeRequestsTest, BandOutsideZeroToFifteenIsDroppedSilently) {
    current_device.store(&g_full_device);
    for (const char* refused : {"e16", "e-1", "ex", "e"}) {
        request(refused);
    }
    EXPECT_EQ(log(), "");
    EXPECT_TRUE(device_ops().empty());
    request("e10");
    request("e15");
    EXPECT_EQ(device_ops(), (std::vector<std::string>{"band a0", "band e1"}));
    EXPECT_EQ(log(), lines({"II: set band switch to a", "II: set band switch to f"}));
}

TEST_F(EscapeRequestsTest, BandOnADeviceWithoutTheOutputIsRefusedBySwitchBand) {
    request("e3");
    EXPECT_EQ(log(), lines({"EE: band switch output not implemented"}));
    EXPECT_TRUE(device_ops().empty());
}

TEST_F(EscapeRequestsTest, SoundSystemIsSwitchedOnlyWhenTheLetterIsKnown) {
    request("fX");
    EXPECT_TRUE(fake_libcw::calls().empty());
    request("fn");
    EXPECT_EQ(settings.current.sound_system, 1);
    const Calls calls = fake_libcw::calls();
    const auto created = std::find_if(calls.begin(), calls.end(),
                                      [](const Call& c) { return c.name == "cw_generator_new"; });
    ASSERT_NE(created, calls.end());
    EXPECT_EQ(*created, (Call{"cw_generator_new", {1, 0}}));
}

TEST_F(EscapeRequestsTest, KeyingDeviceRequestLogsAndSelects) {
    request("8null");
    EXPECT_EQ(current_device.load(), &null_device);
    EXPECT_EQ(log(),
              lines({"II: requested cwdevice \"null\"", "II: keying device used: \"null\""}));
    current_device.store(&g_plain_device);
    forget();
    request("8");
    EXPECT_EQ(current_device.load(), &g_plain_device);
    EXPECT_EQ(log(), lines({"II: requested cwdevice \"\"", "EE: invalid device description \"\""}));
}

TEST_F(EscapeRequestsTest, ObsoletePortRequestOnlyWarns) {
    const int32_t port = settings.port;
    request("91234");
    EXPECT_EQ(log(), lines({"WW: obsolete request \"9\" (change network port), ignoring"}));
    EXPECT_EQ(settings.port, port);
}

// The echo is never sent: the client is told "break" instead, as by an
// abort, and the key is lifted before the generator goes.
TEST_F(EscapeRequestsTest, ResetRestoresCommandLineValuesLeavesWordModeAndDropsTheEcho) {
    settings.defaults.wpm = 30;
    settings.defaults.ptt_delay = 10;
    reset_to_defaults();
    request("240");
    request("3500");
    request("d20");
    request("6");
    request("hOK");
    store_message_byte(0, 'x');
    forget();
    request("0");
    EXPECT_EQ(settings.current.wpm, 30);
    EXPECT_EQ(settings.current.tone, 800);
    EXPECT_EQ(settings.current.ptt_delay, 10);
    EXPECT_FALSE(word_mode);
    EXPECT_FALSE(message_waiting());
    EXPECT_EQ(ptt_flags(), 0);
    EXPECT_EQ(device_ops(), (std::vector<std::string>{"key 0", "reset"}));
    EXPECT_EQ(fake_libcw::count("cw_generator_new"), 1u);
    const std::string text = log();
    EXPECT_EQ(text.rfind("varkel:II: requested resetting of parameters\n"
                         "varkel:II: echo \"break\"\n",
                         0),
              0u);
    EXPECT_NE(text.find("varkel:DD: PTT flag -PTT_ACTIVE_ECHO (0x00/ame)\n"), std::string::npos);
    EXPECT_TRUE(ends_with(text, lines({"DD: PTT flag = 0 (0x00/ame)", "II: resetting completed"})))
        << text;
}

TEST_F(EscapeRequestsTest, StopRequestEndsTheProcessWithStatusZero) {
    set_debug_output(stderr);
    EXPECT_EXIT(request("5"), ::testing::ExitedWithCode(0),
                "varkel:II: requested exit of daemon\n");
}

TEST_F(EscapeRequestsTest, WithoutAGeneratorRequestsLeaveLibcwAlone) {
    generator_ready.store(false);
    request("a1");
    fake_libcw::reset();
    for (const char* each : {"230", "30", "3700", "4", "710", "g50", "a0", "c3"}) {
        request(each);
    }
    EXPECT_TRUE(fake_libcw::calls().empty());
    EXPECT_EQ(settings.current.wpm, 30);
    EXPECT_EQ(settings.current.tone, 700);
    EXPECT_EQ(settings.current.volume, 50);
}

}  // namespace
}  // namespace varkel
