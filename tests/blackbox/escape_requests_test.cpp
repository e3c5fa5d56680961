// The control requests against the real daemon: real libcw on null audio,
// clients on loopback, the debug log at DD on standard output.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "blackbox/daemon_harness.h"

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
