// The control requests against the real daemon: real libcw on null audio,
// clients on loopback, the debug log at DD on standard output.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "blackbox/daemon_harness.h"
#include "blackbox/simport_log.h"

using harness::Client;
using harness::Daemon;

namespace {

const std::string kEsc = "\x1b";

// A text that takes a few seconds at the default 24 wpm.
const std::string kLongText = "PARIS PARIS PARIS PARIS";

class EscapeRequests : public ::testing::Test {
  protected:
    void start(const std::vector<std::string>& extra = {}) {
        ASSERT_TRUE(daemon_.start_foreground(extra));
    }
    void TearDown() override {
        if (daemon_.running()) {
            daemon_.signal(SIGINT);
            EXPECT_EQ(daemon_.wait_exit(15000), 0);
        }
    }
    void send(const std::string& datagram) { ASSERT_TRUE(client_.send(datagram, daemon_.port())); }
    // Sends a request and waits until the daemon has logged the line.
    void send_and_see(const std::string& datagram, const std::string& line, size_t count = 1) {
        send(datagram);
        ASSERT_TRUE(daemon_.wait_for_output("varkel:" + line + "\n", 5000, count))
            << "missing: " << line << "\n"
            << daemon_.out();
    }
    // Everything logged after the first occurrence of the marker.
    std::string log_after(const std::string& marker) const {
        const std::string all = daemon_.out();
        const size_t at = all.rfind(marker);
        return at == std::string::npos ? "" : all.substr(at + marker.size());
    }
    // A request whose line marks a point in the log.
    void fence(int n) {
        send_and_see(kEsc + "c" + std::to_string(n) + "x",
                     "EE: invalid requested tuning time [s]: \"" + std::to_string(n) +
                         "x\" (should be integer between 0 and 10 inclusive)");
    }

    Daemon daemon_;
    Client client_;
};

TEST_F(EscapeRequests, UnknownCodesAndEscAloneAreIgnored) {
    start();
    fence(1);
    for (const std::string code : {"1", ":", "A", "`", "i", "z", "/", "\x7f"}) {
        send(kEsc + code + "5");  // "5" would stop the daemon if it were read as a code
    }
    send(kEsc);
    fence(2);
    const std::string between =
        log_after("\"1x\" (should be integer between 0 and 10 inclusive)\n");
    for (const auto& line : harness::split_lines(between)) {
        const bool endpoint_line = line == "varkel:II: -------------------" ||
                                   line == "varkel:DD: ...recv_from (no data)" ||
                                   line.rfind("varkel:II: escaped request: ", 0) == 0;
        EXPECT_TRUE(endpoint_line || line.find("\"2x\"") != std::string::npos) << line;
    }
    EXPECT_TRUE(daemon_.running());
}

TEST_F(EscapeRequests, ToneZeroSilencesAndSevenHundredBringsTheToneBack) {
    start();
    send_and_see(kEsc + "30", "II: volume off");
    send_and_see(kEsc + "3700", "II: tone: 700 Hz");
    send_and_see(kEsc + "g40", "II: requested volume [%]: \"40\"");
    send_and_see(kEsc + "2 40", "II: requested morse speed [wpm]: \"40\"");
    send_and_see(kEsc + "7-50", "II: requested weighting: \"-50\"");
    send_and_see(kEsc + "34001",
                 "EE: invalid requested tone [Hz]: \"4001\" (should be integer "
                 "between 0 and 4000 inclusive)");
}

TEST_F(EscapeRequests, WordModeIgnoresAbortUntilResetThenAbortExecutes) {
    start();
    send_and_see(kEsc + "6", "II: wordmode set");
    send("EE^");
    send_and_see(kEsc + "4", "II: requested aborting of message - ignoring (word mode is active)");
    const auto echo = client_.receive(10000);
    ASSERT_TRUE(echo.has_value());
    EXPECT_EQ(*echo, "EE\r\n");  // not aborted
    send_and_see(kEsc + "0", "II: resetting completed");
    send_and_see(kEsc + "4",
                 "II: requested aborting of message - executing (character mode is active)");
}

TEST_F(EscapeRequests, AbortWithPendingEchoSendsBreakToTheAskerAndTheEchoNeverComes) {
    start();
    send(kLongText + "^");
    ASSERT_TRUE(daemon_.wait_for_output("keying event \"1\"", 5000));
    Client other;
    ASSERT_TRUE(other.send(kEsc + "4", daemon_.port()));
    const auto notice = client_.receive(5000);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(*notice, "break\r\n");
    EXPECT_TRUE(daemon_.wait_for_output("varkel:II: echo \"break\"\n"));
    EXPECT_TRUE(daemon_.wait_for_output("varkel:DD: PTT flag = 0 (0x00/ame)\n"));
    EXPECT_FALSE(client_.receive(3000).has_value());
    EXPECT_FALSE(other.receive(0).has_value());
    // Nothing was left playing (the element being played ends on its own).
    const size_t edges = daemon_.count_output("keying event");
    EXPECT_FALSE(daemon_.wait_for_output("keying event", 500, edges + 1));
}

TEST_F(EscapeRequests, EchoRequestThenTextRepliesWithTheRequestText) {
    start();
    send_and_see(kEsc + "hOK",
                 "II: reply is ready, waiting for message from client (reply: "
                 "\"hOK\")");
    send("E");
    const auto reply = client_.receive(10000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, "hOK\r\n");
}

TEST_F(EscapeRequests, ResetBringsBackCommandLineValuesLeavesWordModeAndDropsTheEcho) {
    start({"-t", "10", "-s", "30"});
    send_and_see(kEsc + "d0", "II: ensure PTT off");
    send_and_see(kEsc + "6", "II: wordmode set");
    send_and_see(kEsc + "hOK",
                 "II: now waiting for end of transmission before echoing back to "
                 "client");
    send_and_see(kEsc + "0", "II: resetting completed");
    // The client waiting for its echo is told, as by an abort.
    const auto notice = client_.receive(5000);
    ASSERT_TRUE(notice.has_value());
    EXPECT_EQ(*notice, "break\r\n");
    // The command-line PTT delay is in force again.
    send_and_see("E", "II: PTT (auto) on");
    ASSERT_TRUE(daemon_.wait_for_output("II: PTT (auto) off", 10000));
    EXPECT_FALSE(client_.receive(500).has_value());  // the echo was dropped
    send_and_see(kEsc + "4",
                 "II: requested aborting of message - executing (character mode is active)");
}

TEST_F(EscapeRequests, PttDelayAboveRangeIsClippedAndZeroEnsuresPttOff) {
    start();
    send_and_see(kEsc + "d60",
                 "WW: requested PTT delay [ms] out of range: \"60\", clipping to "
                 "\"50\" (should be between 0 and 50 inclusive)");
    send_and_see("E", "II: PTT (auto) on");
    ASSERT_TRUE(daemon_.wait_for_output("II: PTT (auto) off", 10000));
    send_and_see(kEsc + "d-5",
                 "EE: invalid requested PTT delay [ms]: \"-5\" (should be integer "
                 "between 0 and 50 inclusive)");
    send_and_see(kEsc + "d0", "II: ensure PTT off");
    EXPECT_EQ(daemon_.count_output("ensure PTT off"), 1u);
}

TEST_F(EscapeRequests, TuneKeysForItsSecondsAndRefusesOutOfRange) {
    start();
    send_and_see(kEsc + "c11",
                 "EE: invalid requested tuning time [s]: \"11\" (should be integer "
                 "between 0 and 10 inclusive)");
    send_and_see(kEsc + "c1", "II: requested tuning time [s]: \"1\"");
    EXPECT_TRUE(daemon_.wait_for_output("keying event \"1\"", 5000));
    EXPECT_TRUE(daemon_.wait_for_output("keying event \"0\"", 5000));
}

TEST_F(EscapeRequests, UnavailableSoundSystemFallsBackToNullAndKeepsSending) {
    start();
    send_and_see(kEsc + "fa", "WW: fall back to \"Null\" sound system");
    EXPECT_TRUE(daemon_.wait_for_output(
        "varkel:EE: failed to create generator with sound system \"ALSA\"\n", 1000));
    // The new generator plays, keys and echoes.
    send("E^");
    const auto reply = client_.receive(10000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, "E\r\n");
    EXPECT_TRUE(daemon_.wait_for_output("keying event \"1\"", 5000));
}

TEST_F(EscapeRequests, ManualPttAndSsbAndBandOnTheNullDevice) {
    start();
    send_and_see(kEsc + "a1", "II: PTT (manual, immediate) on");
    send_and_see(kEsc + "a0", "II: PTT (manual, immediate) off");
    send_and_see(kEsc + "ax",
                 "EE: invalid requested PTT state: \"x\" (should be numeric value "
                 "\"0\" or \"1\")");
    send_and_see(kEsc + "b1", "WW: \"SSB way\" to SOUNDCARD unimplemented");
    send_and_see(kEsc + "e3", "EE: band switch output not implemented");
    send_and_see(kEsc + "9 7000", "WW: obsolete request \"9\" (change network port), ignoring");
    send_and_see(kEsc + "8nonexistent-device",
                 "EE: no valid device found, setting cwdevice to null device");
}

TEST_F(EscapeRequests, StopRequestEndsTheDaemonWithStatusZero) {
    start();
    send(kEsc + "5");
    EXPECT_EQ(daemon_.wait_exit(15000), 0);
    EXPECT_NE(daemon_.out().find("varkel:II: requested exit of daemon\n"), std::string::npos);
}

}  // namespace

namespace {

// The same requests acting on simulated serial and parallel ports.
constexpr const char* kSerial = "ttyUSB_sim0";
constexpr const char* kParallel = "parport_sim0";

bool wait_until(const std::function<bool()>& done, int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

class EscapeRequestsOnPorts : public EscapeRequests {
  protected:
    void start_on(const char* port, std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), {"-d", port});
        const harness::Env env = {{"SIMPORT_SERIAL", kSerial},
                                  {"SIMPORT_PARALLEL", kParallel},
                                  {"SIMPORT_LOG", daemon_.dir() + "/simport.log"}};
        ASSERT_TRUE(daemon_.start_foreground(extra, env, true));
    }
    std::vector<simport::Event> events(const std::string& port) const {
        return simport::of_port(simport::read_log(daemon_.dir() + "/simport.log"), port);
    }
    std::vector<simport::Edge> serial_line(unsigned mask) const {
        return simport::line_timeline(events("serial"), "serial", mask);
    }
    bool rts_on() const {
        const auto rts = serial_line(simport::kRts);
        return !rts.empty() && rts.back().on;
    }
    unsigned parallel_control() const {
        const auto all = events("parallel");
        return all.empty() ? 0u : all.back().state;
    }
    std::vector<unsigned> band_codes() const {
        std::vector<unsigned> codes;
        for (const auto& event : events("parallel")) {
            if (event.request == "PPWDATA") {
                codes.push_back(event.data);
            }
        }
        return codes;
    }
};

TEST_F(EscapeRequestsOnPorts, ManualPttWithDelayDrivesRtsAndWithoutDelayOnlyReleasesIt) {
    start_on(kSerial, {"-t", "10"});
    send_and_see(kEsc + "a1", "II: PTT (manual, delay) on");
    EXPECT_TRUE(wait_until([&] { return rts_on(); }));
    send_and_see(kEsc + "a0", "II: PTT (manual, immediate) off");
    EXPECT_TRUE(wait_until([&] { return !rts_on(); }));

    // A delay of 0: the daemon never raises PTT by itself, but releasing
    // manual PTT still drives the line off.
    send_and_see(kEsc + "d0", "II: ensure PTT off");
    const size_t edges = serial_line(simport::kRts).size();
    send_and_see(kEsc + "a1", "II: PTT (manual, immediate) on");
    EXPECT_EQ(serial_line(simport::kRts).size(), edges);
    const size_t requests = events("serial").size();
    send_and_see(kEsc + "a0", "II: PTT (manual, immediate) off");
    ASSERT_TRUE(wait_until([&] { return events("serial").size() > requests; }));
    EXPECT_FALSE(rts_on());
}

TEST_F(EscapeRequestsOnPorts, PttDelayZeroAndResetDropRts) {
    start_on(kSerial, {"-t", "10"});
    send_and_see(kEsc + "a1", "II: PTT (manual, delay) on");
    ASSERT_TRUE(wait_until([&] { return rts_on(); }));
    send_and_see(kEsc + "d0", "II: ensure PTT off");
    EXPECT_TRUE(wait_until([&] { return !rts_on(); }));

    send_and_see(kEsc + "0", "II: resetting completed");  // the delay is 10 again
    send_and_see(kEsc + "a1", "II: PTT (manual, delay) on", 2);
    ASSERT_TRUE(wait_until([&] { return rts_on(); }));
    send_and_see(kEsc + "0", "II: resetting completed", 2);
    EXPECT_TRUE(wait_until([&] { return !rts_on(); }));
    const auto dtr = serial_line(simport::kDtr);
    ASSERT_FALSE(dtr.empty());
    EXPECT_FALSE(dtr.back().on);
}

TEST_F(EscapeRequestsOnPorts, AbortDropsRtsOnlyAfterTheKeyIsUp) {
    start_on(kSerial, {"-t", "20"});
    send(kLongText);
    ASSERT_TRUE(daemon_.wait_for_output("keying event \"1\"", 5000));
    send_and_see(kEsc + "4", "II: PTT off");
    ASSERT_TRUE(wait_until([&] { return !rts_on(); }));
    const auto rts = serial_line(simport::kRts);
    const auto dtr = serial_line(simport::kDtr);
    ASSERT_FALSE(dtr.empty());
    // The key line's level when RTS fell.
    bool key_down = false;
    for (const auto& edge : dtr) {
        if (edge.time_ns <= rts.back().time_ns) {
            key_down = edge.on;
        }
    }
    EXPECT_FALSE(key_down);
    EXPECT_FALSE(dtr.back().on);
}

// A new generator, by a switch of sound system or a reset, ends the text
// being keyed as an abort does: key up, then PTT off, and the client that
// waits for its echo is told.
TEST_F(EscapeRequestsOnPorts, NewGeneratorDuringATextLiftsTheKeyDropsPttAndAnswersTheEcho) {
    start_on(kSerial, {"-t", "10"});
    for (const std::string& request : {kEsc + "fn", kEsc + "0"}) {
        const size_t keyed = daemon_.count_output("keying event \"1\"");
        send("TTTTTTTT^");
        ASSERT_TRUE(daemon_.wait_for_output("keying event \"1\"", 5000, keyed + 1));
        send(request);
        const auto notice = client_.receive(5000);
        ASSERT_TRUE(notice.has_value()) << request;
        EXPECT_EQ(*notice, "break\r\n");
        // PTT falls before the old generator is stopped, not with a later text.
        EXPECT_TRUE(wait_until([&] { return !rts_on(); }, 500)) << request;
        EXPECT_FALSE(serial_line(simport::kDtr).back().on);
        EXPECT_FALSE(client_.receive(1500).has_value());
    }
    // PTT never fell under a keyed line.
    const auto all = events("serial");
    for (size_t i = 4; i < all.size(); ++i) {
        EXPECT_FALSE((all[i].state & simport::kDtr) != 0 && (all[i].state & simport::kRts) == 0)
            << i << " " << all[i].request;
    }
}

TEST_F(EscapeRequestsOnPorts, TuneRaisesRtsBeforeTheCarrierAndDropsItAfter) {
    start_on(kSerial, {"-t", "20"});
    send_and_see(kEsc + "c1", "II: PTT (TUNE) on");
    ASSERT_TRUE(daemon_.wait_for_output("II: PTT (auto) off", 10000));
    ASSERT_TRUE(wait_until([&] { return !rts_on(); }));
    const auto rts = serial_line(simport::kRts);
    const auto dtr = serial_line(simport::kDtr);
    // After init: RTS on, then the carrier on DTR (the letter e follows it
    // without a gap), then RTS off once the key is up.
    ASSERT_GE(rts.size(), 3u);
    ASSERT_GE(dtr.size(), 4u);
    const auto& key_down = dtr[dtr.size() - 2];
    const auto& key_up = dtr.back();
    ASSERT_TRUE(key_down.on);
    EXPECT_TRUE(rts[rts.size() - 2].on);
    EXPECT_LT(rts[rts.size() - 2].time_ns, key_down.time_ns);
    EXPECT_GE(rts.back().time_ns, key_up.time_ns);
    EXPECT_GT(key_up.time_ns - key_down.time_ns, 900'000'000);
}

// A silent tone or volume is the operator's: the transmitter is keyed all
// the same, by text and by the whole of a tune's carrier.
TEST_F(EscapeRequestsOnPorts, SilentToneAndVolumeStillKeyTextAndTheWholeTune) {
    start_on(kSerial, {"-T", "0", "-s", "40"});
    // The open raised DTR before init cleared it: that is no key-down.
    const auto key_downs = [&] {
        const auto dtr = serial_line(simport::kDtr);
        size_t downs = 0;
        for (size_t i = 1; i < dtr.size(); ++i) {
            downs += dtr[i].on ? 1 : 0;
        }
        return downs;
    };
    send("ee");
    EXPECT_TRUE(
        wait_until([&] { return key_downs() == 2 && !serial_line(simport::kDtr).back().on; }));

    send_and_see(kEsc + "3700", "II: tone: 700 Hz");
    send_and_see(kEsc + "30", "II: volume off");
    send_and_see(kEsc + "c1", "II: requested tuning time [s]: \"1\"");
    ASSERT_TRUE(
        wait_until([&] { return key_downs() == 3 && !serial_line(simport::kDtr).back().on; }));
    const auto dtr = serial_line(simport::kDtr);
    EXPECT_GT(dtr.back().time_ns - dtr[dtr.size() - 2].time_ns, 900'000'000);

    send_and_see(kEsc + "3700", "II: tone: 700 Hz", 2);
    send_and_see(kEsc + "g0", "II: requested volume [%]: \"0\"");
    send("e");
    EXPECT_TRUE(
        wait_until([&] { return key_downs() == 4 && !serial_line(simport::kDtr).back().on; }));
}

TEST_F(EscapeRequestsOnPorts, BandAndSsbReachTheParallelPort) {
    start_on(kParallel);
    const size_t initial = band_codes().size();
    send_and_see(kEsc + "e10", "II: set band switch to a");
    send(kEsc + "e16");
    send(kEsc + "e-1");
    send(kEsc + "ex");
    send_and_see(kEsc + "e15", "II: set band switch to f");
    ASSERT_TRUE(wait_until([&] { return band_codes().size() >= initial + 2; }));
    const auto codes = band_codes();
    EXPECT_EQ(std::vector<unsigned>(codes.begin() + static_cast<long>(initial), codes.end()),
              (std::vector<unsigned>{0xA0, 0xE1}));

    send_and_see(kEsc + "b1", "II: \"SSB way\" set to SOUNDCARD");
    EXPECT_TRUE(wait_until([&] { return (parallel_control() & simport::kControlSsb) != 0; }));
    send_and_see(kEsc + "b0", "II: \"SSB way\" set to MICROPHONE");
    EXPECT_TRUE(wait_until([&] { return (parallel_control() & simport::kControlSsb) == 0; }));
}

}  // namespace
