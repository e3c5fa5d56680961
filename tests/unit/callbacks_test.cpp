// The two functions libcw calls from its thread: key edges onto the device,
// and the low-queue callback's three branches (drop PTT, echo, nothing).
#include "morse/callbacks.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "morse/generator.h"
#include "morse/libcw_api.h"
#include "net/text_player.h"
#include "support/morse_test_support.h"

namespace varkel {
namespace {

using morse_test::device_events;
using Calls = std::vector<fake_libcw::Call>;
using Events = std::vector<std::string>;
using Lines = std::vector<std::string>;

class CallbacksTest : public ::testing::Test, public morse_test::MorseTest {
  protected:
    void SetUp() override {
        // A client on loopback and the endpoint on a free port, so that
        // echo replies really go out.
        client_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(client_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const int probe = socket(AF_INET, SOCK_DGRAM, 0);
        bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
        settings.port = ntohs(address.sin_port);
        close(probe);
        ASSERT_TRUE(open_endpoint());
        fake_libcw::reset();
        fake_libcw::set_tone_queue_length(1);
        cw_register_tone_queue_low_callback(low_queue_callback, nullptr, 1);
        cw_register_keying_callback(keying_callback, nullptr);
    }
    void TearDown() override {
        close(client_);
        close_endpoint_at_exit();
    }

    // Sends a text request from the client and lets the endpoint play it.
    void request(const std::string& text) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<uint16_t>(settings.port));
        sendto(client_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd ready{socket_fd, POLLIN, 0};
        poll(&ready, 1, 1000);
        // While the text is queued libcw still holds most of it; the
        // callbacks below then find the queue drained to its last tone.
        fake_libcw::set_tone_queue_length(3);
        receive_request();
        fake_libcw::set_tone_queue_length(1);
    }
    std::string client_receive(int timeout_ms = 1000) {
        pollfd ready{client_, POLLIN, 0};
        if (poll(&ready, 1, timeout_ms) != 1) {
            return "<nothing>";
        }
        char buffer[512];
        const ssize_t got = recv(client_, buffer, sizeof buffer, 0);
        return std::string(buffer, static_cast<size_t>(got));
    }
    // The log from the callback's first line on.
    Lines callback_lines() {
        Lines lines = log_lines();
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].find("low TQ callback: start") != std::string::npos) {
                return Lines(lines.begin() + static_cast<long>(i), lines.end());
            }
        }
        return {};
    }
    size_t empty_tones() {
        size_t count = 0;
        for (const auto& call : fake_libcw::calls()) {
            count += call == fake_libcw::Call{"cw_queue_tone", {1, 0}} ? 1 : 0;
        }
        return count;
    }

    int client_ = -1;
};

TEST_F(CallbacksTest, KeyingCallbackMirrorsEdgesAndRestartsTheShortTimeouts) {
    short_timeout_counter.store(9999);
    fake_libcw::fire_key(1);
    EXPECT_EQ(short_timeout_counter.load(), 0);
    short_timeout_counter.store(17);
    fake_libcw::fire_key(0);
    EXPECT_EQ(short_timeout_counter.load(), 0);
    fake_libcw::fire_key(7);
    EXPECT_EQ(device_events(), (Events{"key 1", "key 0", "key 0"}));
    EXPECT_EQ(log(),
              "varkel:II: keying event \"1\"\n"
              "varkel:II: keying event \"0\"\n"
              "varkel:II: keying event \"7\"\n");
}

// libcw starts its thread without the alternate stack the main thread
// has: the first edge gives it one, so that a stack overflow there still
// reaches the handler that rests the transmitter.
TEST_F(CallbacksTest, KeyingCallbackGivesLibcwsThreadAnAlternateSignalStack) {
    stack_t before{};
    stack_t after{};
    std::thread libcw_thread([&] {
        sigaltstack(nullptr, &before);
        keying_callback(nullptr, 0);
        sigaltstack(nullptr, &after);
    });
    libcw_thread.join();
    if ((before.ss_flags & SS_DISABLE) == 0) {
        GTEST_SKIP() << "the thread had one already (a sanitizer's)";
    }
    EXPECT_EQ(after.ss_flags & SS_DISABLE, 0);
    EXPECT_GE(after.ss_size, static_cast<size_t>(MINSIGSTKSZ));
}

TEST_F(CallbacksTest, AutomaticPttIsDroppedWhenTheQueueHasDrainedAndNoTextWaits) {
    ptt_flags_set(PTT_ACTIVE_AUTO);
    fake_libcw::fire_low_queue();
    EXPECT_EQ(device_events(), Events{"ptt 0"});
    EXPECT_EQ(ptt_flags(), 0);
    EXPECT_EQ(callback_lines(),
              (Lines{"varkel:II: low TQ callback: start, TQ len = 1, PTT flag = 0x01/Ame",
                     "varkel:II: low TQ callback: branch 1, PTT flag = 0x01/Ame",
                     "varkel:DD: PTT flag = 0 (0x00/ame)", "varkel:II: PTT (auto) off",
                     "varkel:II: low TQ callback: end, TQ len = 1, PTT flag = 0x00/ame"}));
    EXPECT_EQ(fake_libcw::count("cw_get_tone_queue_length"), 3u);
}

TEST_F(CallbacksTest, PttNeverFallsWhileTheKeyIsDown) {
    settings.current.ptt_delay = 1;
    ptt_auto_on(current_device.load(), "PTT (auto) on");
    fake_libcw::fire_key(1);
    // libcw calls the low-queue callback just before the final key-up.
    fake_libcw::fire_low_queue();
    fake_libcw::fire_key(0);
    const Events events = device_events();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(Events(events.begin(), events.begin() + 4),
              (Events{"ptt 1", "key 1", "key 0", "ptt 0"}));
    EXPECT_NE(log().find("varkel:II: low TQ callback: branch 1, PTT flag = 0x01/Ame\n"
                         "varkel:DD: PTT flag = 0 (0x00/ame)\n"
                         "varkel:II: PTT (auto) off\n"
                         "varkel:II: low TQ callback: end, TQ len = 1, PTT flag = 0x00/ame\n"
                         "varkel:II: keying event \"0\"\n"),
              std::string::npos);
}

TEST_F(CallbacksTest, AutomaticPttStaysOnWhileTextWaitsOrTheQueueRefilled) {
    ptt_flags_set(PTT_ACTIVE_AUTO);
    store_message_byte(0, 'A');
    fake_libcw::fire_low_queue();
    empty_message_buffer();
    // The queue was refilled between the first and second look at it.
    fake_libcw::set_tone_queue_lengths({3, 2});
    fake_libcw::fire_low_queue();
    EXPECT_TRUE(device_events().empty());
    EXPECT_EQ(ptt_flags(), PTT_ACTIVE_AUTO);
    EXPECT_EQ(log_lines(),
              (Lines{"varkel:II: low TQ callback: start, TQ len = 1, PTT flag = 0x01/Ame",
                     "varkel:II: low TQ callback: branch 3, PTT flag = 0x01/Ame",
                     "varkel:II: low TQ callback: end, TQ len = 1, PTT flag = 0x01/Ame",
                     "varkel:II: low TQ callback: start, TQ len = 3, PTT flag = 0x01/Ame",
                     "varkel:II: low TQ callback: TQ len larger than watermark, TQ len = 3",
                     "varkel:II: low TQ callback: branch 3, PTT flag = 0x01/Ame",
                     "varkel:II: low TQ callback: end, TQ len = 1, PTT flag = 0x01/Ame"}));
}

TEST_F(CallbacksTest, ManualPttIsLeftAloneWithOrWithoutAutomatic) {
    for (const uint8_t flags :
         {PTT_ACTIVE_MANUAL, uint8_t{PTT_ACTIVE_AUTO | PTT_ACTIVE_MANUAL}, uint8_t{0}}) {
        ptt_flags_clear_all();
        ptt_flags_set(flags);
        fake_libcw::fire_low_queue();
        EXPECT_EQ(ptt_flags(), flags);
    }
    EXPECT_TRUE(device_events().empty());
    EXPECT_NE(log().find("varkel:II: low TQ callback: branch 3, PTT flag = 0x02/aMe\n"),
              std::string::npos);
    EXPECT_NE(log().find("varkel:II: low TQ callback: branch 3, PTT flag = 0x03/AMe\n"),
              std::string::npos);
}

TEST_F(CallbacksTest, EchoWithAutomaticPttRepliesThenDropsPttOnTheNextCall) {
    settings.current.ptt_delay = 5;
    request("AB^CD");
    ASSERT_EQ(ptt_flags(), PTT_ACTIVE_AUTO | PTT_ACTIVE_ECHO);
    EXPECT_EQ(device_events(), Events{"ptt 1"});

    fake_libcw::fire_low_queue();
    EXPECT_EQ(client_receive(), "AB\r\n");
    EXPECT_EQ(empty_tones(), 2u);
    EXPECT_EQ(ptt_flags(), PTT_ACTIVE_AUTO);
    EXPECT_EQ(device_events(), Events{"ptt 1"});
    EXPECT_EQ(
        callback_lines(),
        (Lines{"varkel:II: low TQ callback: start, TQ len = 1, PTT flag = 0x05/AmE",
               "varkel:II: low TQ callback: branch 2, PTT flag = 0x05/AmE",
               "varkel:II: low TQ callback: PTT flag -PTT_ACTIVE_ECHO, PTT flag = 0x01/Ame",
               "varkel:II: low TQ callback: echoing \"AB\" back to client             <----------",
               "varkel:II: low TQ callback: queueing two empty tones",
               "varkel:II: low TQ callback: end, TQ len = 1, PTT flag = 0x01/Ame"}));
    char reply[kReplyBufferSize];
    copy_reply_text(reply, sizeof reply);
    EXPECT_STREQ(reply, "AB");  // CR LF went out with a copy

    fake_libcw::fire_low_queue();
    EXPECT_EQ(device_events(), (Events{"ptt 1", "ptt 0"}));
    EXPECT_EQ(ptt_flags(), 0);
    EXPECT_EQ(client_receive(50), "<nothing>");
}

TEST_F(CallbacksTest, EchoWithoutAutomaticPttQueuesNoEmptyTones) {
    request("QRZ^");
    ASSERT_EQ(ptt_flags(), PTT_ACTIVE_ECHO);
    fake_libcw::fire_low_queue();
    EXPECT_EQ(client_receive(), "QRZ\r\n");
    EXPECT_EQ(ptt_flags(), 0);
    EXPECT_EQ(empty_tones(), 0u);
    EXPECT_TRUE(device_events().empty());
    EXPECT_EQ(log().find("queueing two empty tones"), std::string::npos);
}

TEST_F(CallbacksTest, EchoMarkedAfterLibcwPassedItsLowQueueCallIsStillSent) {
    // The main thread stalled after queueing the text: libcw has already
    // played it down to one tone and called back without an echo pending.
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(settings.port));
    sendto(client_, "E^", 2, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd ready{socket_fd, POLLIN, 0};
    poll(&ready, 1, 1000);
    fake_libcw::set_tone_queue_length(1);
    receive_request();
    EXPECT_EQ(empty_tones(), 2u);  // libcw calls back once more after them
    fake_libcw::fire_low_queue();
    EXPECT_EQ(client_receive(), "E\r\n");
}

// libcw's thread may run the low-queue callback at any moment of the main
// thread's work. A debug log that runs it the moment the echo is marked
// pending (its DD line) shows what the callback finds then: the new text
// and client, not the previous reply once more.
std::string g_trapped_log;
FILE* g_trap_stream = nullptr;
FILE* g_aside_stream = nullptr;
bool g_trap_sprung = false;

ssize_t write_springing_the_trap(void*, const char* data, size_t size) {
    g_trapped_log.append(data, size);
    if (!g_trap_sprung && g_trapped_log.find("+PTT_ACTIVE_ECHO") != std::string::npos) {
        g_trap_sprung = true;
        set_debug_output(g_aside_stream);
        fake_libcw::fire_low_queue();
        set_debug_output(g_trap_stream);
    }
    return static_cast<ssize_t>(size);
}

TEST_F(CallbacksTest, EchoMarkedPendingAlreadyHoldsItsTextAndClient) {
    request("OLD^");
    fake_libcw::fire_low_queue();
    ASSERT_EQ(client_receive(), "OLD\r\n");

    g_trapped_log.clear();
    g_trap_sprung = false;
    g_aside_stream = tmpfile();
    g_trap_stream =
        fopencookie(nullptr, "w", {nullptr, write_springing_the_trap, nullptr, nullptr});
    setvbuf(g_trap_stream, nullptr, _IONBF, 0);
    set_debug_output(g_trap_stream);
    request("NEW^");
    set_debug_output(stdout);
    fclose(g_trap_stream);
    fclose(g_aside_stream);
    ASSERT_TRUE(g_trap_sprung);
    EXPECT_EQ(client_receive(), "NEW\r\n");
    EXPECT_EQ(ptt_flags(), 0);
}

TEST_F(CallbacksTest, CaretAloneWaitsForTheNextTextWithoutEmptyTones) {
    request("^");
    EXPECT_EQ(ptt_flags(), PTT_ACTIVE_ECHO);
    EXPECT_EQ(empty_tones(), 0u);
}

TEST_F(CallbacksTest, EchoIsSentEvenBeforeTheQueueHasDrainedAndKeepsManualPtt) {
    request("K^");
    ptt_flags_set(PTT_ACTIVE_MANUAL);
    fake_libcw::set_tone_queue_length(4);
    fake_libcw::fire_low_queue();
    EXPECT_EQ(client_receive(), "K\r\n");
    EXPECT_EQ(ptt_flags(), PTT_ACTIVE_MANUAL);
    EXPECT_EQ(empty_tones(), 0u);
    EXPECT_NE(log().find("varkel:II: low TQ callback: TQ len larger than watermark, TQ len = 4\n"
                         "varkel:II: low TQ callback: branch 2, PTT flag = 0x06/aME\n"),
              std::string::npos);
}

TEST_F(CallbacksTest, CallbackDuringTheWalkSeesTextWaiting) {
    settings.current.ptt_delay = 5;
    ptt_flags_set(PTT_ACTIVE_AUTO);  // the previous text is still being played
    fake_libcw::set_send_hook([](char) { fake_libcw::fire_low_queue(); });
    request("*TEST");
    EXPECT_EQ(ptt_flags(), PTT_ACTIVE_AUTO);
    EXPECT_TRUE(device_events().empty());
    EXPECT_EQ(log().find("branch 1"), std::string::npos);
}

TEST_F(CallbacksTest, CallbackWhileATuneIsQueuedLeavesItsPttUp) {
    // libcw's thread took the first tone before the tune's last was queued.
    settings.current.ptt_delay = 5;
    fake_libcw::set_tone_queue_length(1);
    fake_libcw::set_send_hook([](char) { fake_libcw::fire_low_queue(); });
    tune(2);
    EXPECT_EQ(ptt_flags(), PTT_ACTIVE_AUTO);
    EXPECT_EQ(device_events(), Events{"ptt 1"});
    EXPECT_EQ(log().find("branch 1"), std::string::npos);
}

TEST_F(CallbacksTest, ConcurrentCallbacksAndRequestsKeepFlagsConsistent) {
    // Exercises the shared state under the thread sanitizer: libcw's thread
    // runs both callbacks while the main thread plays texts with echoes.
    settings.current.ptt_delay = 1;
    settings.current.verbosity = II;
    std::atomic<bool> done{false};
    std::thread libcw_thread([&done] {
        for (int i = 0; !done.load(); ++i) {
            fake_libcw::fire_key(i & 1);
            fake_libcw::fire_low_queue();
        }
    });
    for (int i = 0; i < 40; ++i) {
        request(i % 2 == 0 ? "E^" : "T");
    }
    done.store(true);
    libcw_thread.join();
    const uint8_t flags = ptt_flags();
    EXPECT_EQ(flags & ~(PTT_ACTIVE_AUTO | PTT_ACTIVE_ECHO), 0);
}

}  // namespace
}  // namespace varkel
