// The real daemon's start-up, logging and shut-down, seen from outside.
#include <gtest/gtest.h>
#include <signal.h>

#include "blackbox/daemon_harness.h"

using harness::Client;
using harness::Daemon;

TEST(Lifecycle, ForegroundStartsAnnouncesAndExitsOnSigint) {
    Daemon daemon;
    ASSERT_TRUE(daemon.start_foreground());
    EXPECT_NE(daemon.err().find("debug output: stdout\n"), std::string::npos);
    EXPECT_NE(daemon.out().find("varkel: Not forking...\n"), std::string::npos);
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(10000), 0);
    EXPECT_NE(daemon.out().find("varkel: Exiting\n"), std::string::npos);
}

TEST(Lifecycle, TextDatagramIsLoggedWithSeparatorAndRequestLine) {
    Daemon daemon;
    ASSERT_TRUE(daemon.start_foreground());
    Client client;
    ASSERT_TRUE(client.send("cq\r\n", daemon.port()));
    EXPECT_TRUE(daemon.wait_for_output("varkel:II: request: \"cq\"\n"));
    EXPECT_NE(daemon.out().find("varkel:II: -------------------\n"), std::string::npos);
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(10000), 0);
}

TEST(Lifecycle, DatagramOfOnlyLineEndsIsNoData) {
    Daemon daemon;
    ASSERT_TRUE(daemon.start_foreground());
    Client client;
    ASSERT_TRUE(client.send("\r\n", daemon.port()));
    EXPECT_TRUE(daemon.wait_for_output("varkel:DD: ...recv_from (no data)\n"));
    EXPECT_EQ(daemon.count_output("-------------------"), 0u);
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(10000), 0);
}

TEST(Lifecycle, PortInUseIsReportedAsBindFailure) {
    Daemon first;
    ASSERT_TRUE(first.start_foreground());
    const auto result = harness::run_to_exit(
        {"-n", "-x", "n", "-p", std::to_string(first.port())}, 10000);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("varkel: Bind failed: \"Address already in use\"\n"),
              std::string::npos);
    first.signal(SIGINT);
    EXPECT_EQ(first.wait_exit(10000), 0);
}

TEST(Lifecycle, DefaultConsoleBuzzerIsAbsentHereSoStartUpFails) {
    const auto result = harness::run_to_exit({"-n", "-p", std::to_string(harness::free_udp_port())});
    EXPECT_EQ(result.status, 1);
}

TEST(Lifecycle, DebugFileThatCannotBeOpenedEndsWithStatusOne) {
    const auto result = harness::run_to_exit(
        {"-n", "-x", "n", "-f", "/nonexistent-dir/x.log", "-p",
         std::to_string(harness::free_udp_port())});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("debug output: /nonexistent-dir/x.log\n"), std::string::npos);
    EXPECT_NE(result.err.find("varkel: failed to open output debug file "
                              "\"/nonexistent-dir/x.log\"\n"),
              std::string::npos);
}

TEST(Lifecycle, StandardStreamAsDebugOutputWhileDetachingIsRefused) {
    const auto result = harness::run_to_exit({"-f", "stderr"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "varkel:EE: specified debug output to \"stderr\" when forking\n");
}
