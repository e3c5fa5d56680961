// Morse on the key line as the real daemon plays it with real libcw on null
// audio: the DTR and RTS lines of a simulated serial port are recorded and
// decoded back into text, with libcw's element lengths.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "blackbox/daemon_harness.h"
#include "blackbox/morse_decoder.h"
#include "blackbox/simport_log.h"

namespace {

using harness::Client;
using harness::Daemon;
using simport::Edge;
using namespace morse_decoder;

constexpr const char* kPortName = "ttyUSB_morse0";
constexpr int64_t kNanosecondsPerMillisecond = 1000000;

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A daemon in the foreground on null audio keying the simulated serial port.
class MorseOnSerial : public ::testing::Test {
  protected:
    bool start(std::vector<std::string> extra) {
        log_path_ = daemon_.dir() + "/simport.log";
        fail_path_ = daemon_.dir() + "/unplugged";
        extra.insert(extra.begin(), {"-d", kPortName});
        // A daemon built with the thread sanitizer would otherwise sleep a
        // second at exit, which the failing port test measures.
        const char* tsan = getenv("TSAN_OPTIONS");
        const std::string tsan_options =
            (tsan == nullptr ? std::string() : std::string(tsan) + ":") + "atexit_sleep_ms=0";
        return daemon_.start_foreground(extra,
                                        {{"SIMPORT_SERIAL", kPortName},
                                         {"SIMPORT_LOG", log_path_},
                                         {"SIMPORT_FAIL_FILE", fail_path_},
                                         {"TSAN_OPTIONS", tsan_options}},
                                        true);
    }
    void TearDown() override {
        if (daemon_.running()) {
            daemon_.signal(SIGINT);
            EXPECT_EQ(daemon_.wait_exit(10000), 0);
        }
    }

    std::vector<simport::Event> events() const { return simport::read_log(log_path_); }
    std::vector<Edge> dtr() const {
        return simport::line_timeline(events(), "serial", simport::kDtr);
    }
    std::vector<Edge> rts() const {
        return simport::line_timeline(events(), "serial", simport::kRts);
    }

    // Waits until the key line has made the marks and rested again.
    bool wait_for_marks(size_t marks, int timeout_ms) const {
        const int64_t deadline = now_ns() + int64_t{timeout_ms} * kNanosecondsPerMillisecond;
        while (now_ns() < deadline) {
            const auto edges = line_after_rest(dtr());
            size_t downs = 0;
            for (const Edge& edge : edges) {
                downs += edge.on ? 1 : 0;
            }
            if (downs >= marks && !edges.empty() && !edges.back().on) {
                return downs == marks;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Every request on the port after the driver's init leaves PTT on
    // whenever the key is down.
    void expect_key_never_down_without_ptt() const {
        bool at_rest = false;
        for (const auto& event : simport::of_port(events(), "serial")) {
            const bool key = (event.state & simport::kDtr) != 0;
            const bool ptt = (event.state & simport::kRts) != 0;
            if (!key && !ptt) {
                at_rest = true;
            }
            if (at_rest) {
                EXPECT_FALSE(key && !ptt)
                    << "key down without PTT at t=" << event.time_ns << " after " << event.request;
            }
        }
    }

    void play_and_expect(const std::string& text, int wpm) {
        Client client;
        ASSERT_TRUE(client.send(text, daemon_.port()));
        ASSERT_TRUE(wait_for_marks(marks_of(text), 30000)) << daemon_.out();
        const Decoded decoded = check_keyed(key_intervals(dtr()), text, wpm);
        EXPECT_EQ(decoded.text, text);
        EXPECT_TRUE(decoded.mistimed.empty()) << joined(decoded.mistimed);
        const size_t elements = key_intervals(dtr()).size();
        EXPECT_LE(decoded.stretched.size(), elements / 10) << joined(decoded.stretched);
    }

    Daemon daemon_;
    std::string log_path_;
    std::string fail_path_;
};

TEST_F(MorseOnSerial, ParisAt60WpmIsKeyedWithLibcwTiming) {
    ASSERT_TRUE(start({"-s", "60"}));
    play_and_expect("PARIS", 60);
}

TEST_F(MorseOnSerial, CqTestAt20WpmIsKeyedWordByWord) {
    ASSERT_TRUE(start({"-s", "20"}));
    play_and_expect("CQ TEST DE VK", 20);
}

TEST_F(MorseOnSerial, KeyingGoesOnAfterAResetRecreatesTheGenerator) {
    ASSERT_TRUE(start({"-s", "60"}));
    Client client;
    ASSERT_TRUE(
        client.send("\x1b"
                    "0",
                    daemon_.port()));
    ASSERT_TRUE(daemon_.wait_for_output("starting generator", 5000, 2));
    ASSERT_TRUE(client.send("TEST", daemon_.port()));
    ASSERT_TRUE(wait_for_marks(marks_of("TEST"), 10000)) << daemon_.out();
    EXPECT_EQ(decode(key_intervals(dtr()), 60).text, "TEST");
}

TEST_F(MorseOnSerial, EchoMarkerRepliesAfterTheMorseAndNeverPlaysWhatFollows) {
    ASSERT_TRUE(start({"-s", "40"}));
    Client client;
    ASSERT_TRUE(client.send("AB^CD", daemon_.port()));
    const auto reply = client.receive(10000);
    const int64_t replied_at = now_ns();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, "AB\r\n");
    ASSERT_TRUE(wait_for_marks(marks_of("AB"), 5000));
    EXPECT_FALSE(client.receive(500).has_value());
    const auto edges = line_after_rest(dtr());
    EXPECT_EQ(decode(key_intervals(dtr()), 40).text, "AB");
    // libcw calls back just before its final key-up: the reply may precede
    // that edge, but never the last element.
    ASSERT_GE(edges.size(), 2u);
    EXPECT_GE(replied_at, edges[edges.size() - 2].time_ns);
}

TEST_F(MorseOnSerial, PttDelayRaisesRtsBeforeTheFirstElementAndDropsItAfterTheLast) {
    constexpr int kDelayMs = 20;
    ASSERT_TRUE(start({"-s", "40", "-t", std::to_string(kDelayMs)}));
    Client client;
    ASSERT_TRUE(client.send("KK^", daemon_.port()));
    ASSERT_EQ(client.receive(10000).value_or("<none>"), "KK\r\n");
    ASSERT_TRUE(wait_for_marks(marks_of("KK"), 5000));
    ASSERT_TRUE(daemon_.wait_for_output("PTT (auto) off", 5000)) << daemon_.out();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const auto key = line_after_rest(dtr());
    const auto ptt = line_after_rest(rts());
    ASSERT_EQ(ptt.size(), 3u);  // rest, on, off
    ASSERT_GE(key.size(), 3u);
    EXPECT_TRUE(ptt[1].on);
    EXPECT_GE(key[1].time_ns - ptt[1].time_ns, int64_t{kDelayMs} * kNanosecondsPerMillisecond);
    EXPECT_GE(ptt[2].time_ns, key.back().time_ns);
    expect_key_never_down_without_ptt();
    EXPECT_EQ(decode(key_intervals(dtr()), 40).text, "KK");
}

TEST_F(MorseOnSerial, TuneKeysTheLineForTheRequestedSeconds) {
    ASSERT_TRUE(start({"-s", "24", "-t", "10"}));
    Client client;
    ASSERT_TRUE(
        client.send("\x1b"
                    "c2",
                    daemon_.port()));
    // Two one-second tones and the letter e: one long mark.
    ASSERT_TRUE(wait_for_marks(1, 10000)) << daemon_.out();
    ASSERT_TRUE(daemon_.wait_for_output("PTT (auto) off", 5000)) << daemon_.out();
    const auto intervals = key_intervals(dtr());
    ASSERT_FALSE(intervals.empty());
    const double dot_ms = 1200.0 / 24;
    EXPECT_TRUE(intervals[0].on);
    EXPECT_GE(intervals[0].ms, 2000.0);
    EXPECT_LE(intervals[0].ms, 2000.0 + dot_ms * (1 + kTolerance) + 50.0);
    expect_key_never_down_without_ptt();
}

// The line at rest before the first key-down after the time, and on.
std::vector<Edge> edges_from(const std::vector<Edge>& edges, int64_t from_ns) {
    for (size_t i = 1; i < edges.size(); ++i) {
        if (edges[i].on && edges[i].time_ns >= from_ns) {
            return std::vector<Edge>(edges.begin() + static_cast<long>(i) - 1, edges.end());
        }
    }
    return {};
}

// The length of the last mark on the line, in ms (-1 when it is still on).
double last_mark_ms(const std::vector<Edge>& edges) {
    if (edges.size() < 2 || edges.back().on || !edges[edges.size() - 2].on) {
        return -1;
    }
    return static_cast<double>(edges.back().time_ns - edges[edges.size() - 2].time_ns) /
           kNanosecondsPerMillisecond;
}

TEST_F(MorseOnSerial, AbortCutsATuneAndADashAndTheNextTextIsKeyedWhole) {
    ASSERT_TRUE(start({"-s", "4", "-t", "20"}));
    Client client;
    // A tune keys five seconds; its first tone alone lasts one.
    ASSERT_TRUE(
        client.send("\x1b"
                    "c5",
                    daemon_.port()));
    ASSERT_TRUE(daemon_.wait_for_output("keying event \"1\"", 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(
        client.send("\x1b"
                    "4",
                    daemon_.port()));
    ASSERT_TRUE(daemon_.wait_for_output("II: PTT off", 5000)) << daemon_.out();
    const double tune_mark = last_mark_ms(dtr());
    EXPECT_GT(tune_mark, 0) << "the key is still down";
    EXPECT_LT(tune_mark, 700.0);

    // A dash at 4 wpm lasts 900 ms.
    ASSERT_TRUE(client.send("T", daemon_.port()));
    ASSERT_TRUE(daemon_.wait_for_output("keying event \"1\"", 5000, 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(
        client.send("\x1b"
                    "4",
                    daemon_.port()));
    ASSERT_TRUE(daemon_.wait_for_output("II: PTT off", 5000, 2)) << daemon_.out();
    const double dash_mark = last_mark_ms(dtr());
    EXPECT_GT(dash_mark, 0) << "the key is still down";
    EXPECT_LT(dash_mark, 600.0);
    expect_key_never_down_without_ptt();

    // What follows an abort at once starts from its first element.
    const int64_t aborted_at = now_ns();
    ASSERT_TRUE(client.send("+++++++++++++++++++++++++++NE", daemon_.port()));
    ASSERT_TRUE(daemon_.wait_for_output("II: PTT (auto) off", 15000)) << daemon_.out();
    const auto after = edges_from(dtr(), aborted_at);
    const Decoded decoded = check_keyed(key_intervals(after), "NE", 58);
    EXPECT_EQ(decoded.text, "NE");
    EXPECT_TRUE(decoded.mistimed.empty()) << joined(decoded.mistimed);
}

TEST_F(MorseOnSerial, TuneOfZeroSecondsEndsARunningTuneAndOtherwiseDoesNothing) {
    ASSERT_TRUE(start({"-s", "24", "-t", "20"}));
    Client client;
    ASSERT_TRUE(
        client.send("\x1b"
                    "c0",
                    daemon_.port()));
    ASSERT_TRUE(daemon_.wait_for_output("requested tuning time [s]: \"0\"", 5000));
    ASSERT_TRUE(
        client.send("\x1b"
                    "6",
                    daemon_.port()));  // word mode: c0 still acts
    ASSERT_TRUE(
        client.send("\x1b"
                    "c10",
                    daemon_.port()));
    ASSERT_TRUE(daemon_.wait_for_output("keying event \"1\"", 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(
        client.send("\x1b"
                    "c0",
                    daemon_.port()));
    ASSERT_TRUE(daemon_.wait_for_output("II: PTT off", 5000)) << daemon_.out();
    const double carrier = last_mark_ms(dtr());
    EXPECT_GT(carrier, 0) << "the key is still down";
    EXPECT_LT(carrier, 700.0);
    EXPECT_EQ(daemon_.count_output("II: stopping tuning"), 1u);
    EXPECT_FALSE(rts().back().on);
    expect_key_never_down_without_ptt();
}

TEST_F(MorseOnSerial, BackspaceTakesBackTheLastCharacterNotYetBegun) {
    ASSERT_TRUE(start({"-s", "40"}));
    Client client;
    ASSERT_TRUE(client.send("\b", daemon_.port()));
    ASSERT_TRUE(daemon_.wait_for_output("II: backspace: no Morse character left to remove", 5000));
    // As a keyboard-mode client types: one character at a time.
    for (const char* typed : {"T", "E", "S", "\b", "T^"}) {
        ASSERT_TRUE(client.send(typed, daemon_.port()));
    }
    ASSERT_EQ(client.receive(10000).value_or("<none>"), "T\r\n");
    ASSERT_TRUE(wait_for_marks(marks_of("TET"), 5000)) << daemon_.out();
    EXPECT_EQ(decode(key_intervals(dtr()), 40).text, "TET");
    EXPECT_EQ(daemon_.count_output("II: backspace: last Morse character removed from libcw"), 1u);
}

TEST_F(MorseOnSerial, PortThatFailsWhileSendingEndsTheProcessWithItsReport) {
    ASSERT_TRUE(start({"-s", "20"}));
    Client client;
    ASSERT_TRUE(client.send("PARIS PARIS PARIS", daemon_.port()));
    ASSERT_TRUE(daemon_.wait_for_output("keying event \"1\"", 5000));
    FILE* unplug = fopen(fail_path_.c_str(), "w");
    ASSERT_NE(unplug, nullptr);
    fclose(unplug);
    EXPECT_EQ(daemon_.wait_exit(1000), 1);
    EXPECT_NE(daemon_.out().find(std::string("varkel: Ioctl serial port ") + kPortName +
                                 " failed: \"Input/output error\"\n"),
              std::string::npos)
        << daemon_.out();
}

}  // namespace
