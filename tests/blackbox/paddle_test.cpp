// A paddle on the simulated serial port's input lines (dot on DSR, dash on
// CTS), keyed by the real daemon on DTR, seen through the port's request
// log. The test closes and opens the contacts through the port's fifo.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "blackbox/daemon_harness.h"
#include "blackbox/simport_log.h"

using harness::Client;
using harness::Daemon;
using simport::Edge;
using simport::Event;

namespace {

constexpr const char* kSerial = "ttyUSB_sim0";
constexpr int kWaitMs = 10000;
constexpr unsigned kDsr = 0x100;
// At 20 wpm: a dot and an element space are 60 ms, a word space 420 ms.
constexpr int64_t kMs = 1'000'000;
constexpr int64_t kWordSpaceNs = 420 * kMs;
// The key-up is logged just before the daemon reads its own clock for it.
constexpr int64_t kClockSlackNs = 1 * kMs;

bool wait_until(const std::function<bool()>& done, int timeout_ms = kWaitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

class PaddleTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (fifo_ != -1) {
            close(fifo_);
        }
    }

    // Starts the daemon with the paddle at 20 wpm, plus the extra options.
    bool start(std::vector<std::string> extra = {}, harness::Env env = {}) {
        fifo_path_ = daemon_.dir() + "/inputs";
        if (mkfifo(fifo_path_.c_str(), 0600) != 0) {
            return false;
        }
        fifo_ = open(fifo_path_.c_str(), O_RDWR | O_CLOEXEC);
        env.insert(env.end(), {{"SIMPORT_SERIAL", kSerial},
                               {"SIMPORT_INPUT_FIFO", fifo_path_},
                               {"SIMPORT_LOG", daemon_.dir() + "/simport.log"}});
        std::vector<std::string> args = {"-d", kSerial, "-s", "20", "-o", "paddle=dsr,cts"};
        args.insert(args.end(), extra.begin(), extra.end());
        return daemon_.start_foreground(args, env, true) &&
               daemon_.wait_for_output("paddle active on") && waits();
    }

    // The paddle's thread sleeps in TIOCMIWAIT.
    bool waits() {
        return wait_until([this] {
            const auto events = serial();
            return !events.empty() && events.back().request == "WAIT";
        });
    }

    // One moment of the contacts, "dsr=1 cts=0" for example.
    void contacts(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(write(fifo_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    std::vector<Event> serial() const {
        return simport::of_port(simport::read_log(daemon_.dir() + "/simport.log"), "serial");
    }
    // From the rest that init makes on: the open raised both lines.
    std::vector<Edge> line(unsigned mask) const {
        auto edges = simport::line_timeline(serial(), "serial", mask);
        if (!edges.empty() && edges.front().on) {
            edges.erase(edges.begin());
        }
        return edges;
    }
    std::vector<Edge> key_line() const { return line(simport::kDtr); }

    // The input changes the test made, in order.
    std::vector<Event> inputs() const {
        std::vector<Event> found;
        for (const Event& event : serial()) {
            if (event.request == "INPUT") {
                found.push_back(event);
            }
        }
        return found;
    }

    // Edges from time on.
    static std::vector<Edge> from(const std::vector<Edge>& edges, int64_t time) {
        std::vector<Edge> kept;
        for (const Edge& edge : edges) {
            if (edge.time_ns >= time) {
                kept.push_back(edge);
            }
        }
        return kept;
    }

    static size_t key_downs(const std::vector<Edge>& edges) {
        size_t count = 0;
        for (const Edge& edge : edges) {
            count += edge.on ? 1 : 0;
        }
        return count;
    }

    Daemon daemon_;
    std::string fifo_path_;
    int fifo_ = -1;
};

TEST_F(PaddleTest, ClosureBreaksIntoATextWhichIsDroppedAndAnsweredWithBreak) {
    ASSERT_TRUE(start({"-t", "20"}));
    Client client;
    ASSERT_TRUE(client.send("TTTTTT^", daemon_.port()));
    ASSERT_TRUE(wait_until([this] { return key_downs(key_line()) >= 1; }));
    contacts("dsr=1");
    const auto reply = client.receive(kWaitMs);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, "break\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    contacts("dsr=0");
    // Long enough for the rest of the text, had it not been dropped.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));

    const Event closure = inputs().at(0);
    const auto after = from(key_line(), closure.time_ns);
    ASSERT_FALSE(after.empty());
    size_t first_down = 0;
    if ((closure.state & simport::kDtr) != 0) {
        // Cut inside a dash: the key goes up before anything else, and the
        // paddle's dot follows one element space later.
        EXPECT_FALSE(after[0].on);
        first_down = 1;
        ASSERT_GT(after.size(), 1u);
        EXPECT_GE(after[1].time_ns - after[0].time_ns, 60 * kMs - kClockSlackNs);
    }
    // The paddle's one dot, and nothing of the text after it.
    ASSERT_EQ(after.size(), first_down + 2);
    EXPECT_TRUE(after[first_down].on);
    EXPECT_FALSE(after.back().on);
    EXPECT_TRUE(daemon_.wait_for_output("paddle: break-in"));
    EXPECT_EQ(daemon_.count_output("echo \"break\""), 1u);
    // PTT stays up from the text into the hand-sent dot, and falls once,
    // after it: no relay click at the break-in, no second PTT delay.
    const auto ptt = line(simport::kRts);
    ASSERT_EQ(ptt.size(), 3u) << daemon_.out();
    EXPECT_TRUE(ptt[1].on);
    EXPECT_FALSE(ptt[2].on);
    EXPECT_GT(ptt[2].time_ns, after.back().time_ns);
    daemon_.signal(SIGTERM);
    EXPECT_EQ(daemon_.wait_exit(kWaitMs), 0);
}

TEST_F(PaddleTest, TextArrivingWhileThePaddleSendsWaitsAWordSpaceAfterItsLastElement) {
    ASSERT_TRUE(start());
    contacts("dsr=1");
    ASSERT_TRUE(wait_until([this] { return key_downs(key_line()) >= 1; }));
    Client client;
    ASSERT_TRUE(client.send("E^", daemon_.port()));
    ASSERT_TRUE(daemon_.wait_for_output("text waits until the paddle is idle"));
    contacts("dsr=0");
    const auto reply = client.receive(kWaitMs);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, "E\r\n");

    // The text's dot is the last, a word space after the paddle's last.
    const auto edges = key_line();
    ASSERT_GE(edges.size(), 5u);
    const Edge& text_down = edges[edges.size() - 2];
    const Edge& paddle_up = edges[edges.size() - 3];
    EXPECT_TRUE(text_down.on);
    EXPECT_FALSE(paddle_up.on);
    EXPECT_GE(text_down.time_ns - paddle_up.time_ns, kWordSpaceNs - kClockSlackNs);
    EXPECT_GE(key_downs(edges), 2u);
    daemon_.signal(SIGTERM);
    EXPECT_EQ(daemon_.wait_exit(kWaitMs), 0);
}

TEST_F(PaddleTest, PttIsRaisedOnceBeforeAHandSentLetterAndHeldAWordSpaceAfterIt) {
    ASSERT_TRUE(start({"-t", "20"}));
    // "a" by hand: a dot tapped, then a dash a little later (within the
    // word space), then a dash again after a pause of a character space.
    contacts("dsr=1");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    contacts("dsr=0");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    contacts("cts=1");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    contacts("cts=0");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    contacts("cts=1");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    contacts("cts=0");
    ASSERT_TRUE(wait_until([this] { return line(simport::kRts).size() >= 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    const auto ptt = line(simport::kRts);
    const auto key = key_line();
    // After the rest at start-up: on once, off once.
    ASSERT_EQ(ptt.size(), 3u) << daemon_.out();
    ASSERT_TRUE(ptt[1].on);
    ASSERT_FALSE(ptt[2].on);
    const auto keyed = from(key, ptt[1].time_ns);
    ASSERT_EQ(key_downs(keyed), 3u);
    // The PTT delay before the first element, none shortened after.
    EXPECT_GE(keyed.front().time_ns - ptt[1].time_ns, 20 * kMs);
    EXPECT_FALSE(keyed.back().on);
    EXPECT_LT(keyed.back().time_ns, ptt[2].time_ns);
    EXPECT_GE(ptt[2].time_ns - keyed.back().time_ns, kWordSpaceNs - kClockSlackNs);
    EXPECT_EQ(daemon_.count_output("PTT (paddle) on"), 1u);
    daemon_.signal(SIGTERM);
    EXPECT_EQ(daemon_.wait_exit(kWaitMs), 0);
}

TEST_F(PaddleTest, ExitEndsTheThreadsWaitAndReleasesThePort) {
    ASSERT_TRUE(start({"-o", "ptt=none"}));
    // RTS, on no other duty, supplies the contacts.
    auto events = serial();
    EXPECT_NE(events.back().state & simport::kRts, 0u);
    daemon_.signal(SIGTERM);
    EXPECT_EQ(daemon_.wait_exit(kWaitMs), 0) << daemon_.thread_stacks();
    EXPECT_TRUE(daemon_.wait_for_output("Exiting"));
    events = serial();
    ASSERT_GE(events.size(), 2u);
    bool interrupted = false;
    for (const Event& event : events) {
        interrupted = interrupted || (event.request == "TIOCMIWAIT" && event.error == EINTR);
    }
    EXPECT_TRUE(interrupted);
    EXPECT_EQ(events.back().request, "CLOSE");
    EXPECT_EQ(events.back().state & (simport::kDtr | simport::kRts), 0u);
}

TEST_F(PaddleTest, AContactClosedAtStartIsIgnoredUntilItOpensAndAPulledAdapterEndsWithOne) {
    // Closed before the daemon opens the port: the fifo is read from the
    // first request on.
    fifo_path_ = daemon_.dir() + "/inputs";
    ASSERT_EQ(mkfifo(fifo_path_.c_str(), 0600), 0);
    fifo_ = open(fifo_path_.c_str(), O_RDWR | O_CLOEXEC);
    contacts("cts=1");
    ASSERT_TRUE(daemon_.start_foreground({"-d", kSerial, "-s", "20", "-o", "paddle=dsr,cts"},
                                         {{"SIMPORT_SERIAL", kSerial},
                                          {"SIMPORT_INPUT_FIFO", fifo_path_},
                                          {"SIMPORT_LOG", daemon_.dir() + "/simport.log"}},
                                         true));
    ASSERT_TRUE(
        daemon_.wait_for_output("paddle: contact on CTS is closed, ignored until it opens"));
    ASSERT_TRUE(waits());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(key_downs(key_line()), 0u);
    contacts("cts=0");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    contacts("cts=1");
    ASSERT_TRUE(wait_until([this] { return key_downs(key_line()) >= 1; }));
    contacts("cts=0");
    ASSERT_TRUE(waits());
    contacts("pull");
    EXPECT_EQ(daemon_.wait_exit(kWaitMs), 1);
    EXPECT_TRUE(
        daemon_.wait_for_output("Ioctl serial port ttyUSB_sim0 failed: \"Input/output error\""));
}

}  // namespace
