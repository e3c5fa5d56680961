// The real daemon's start-up, logging and shut-down, seen from outside.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "blackbox/daemon_harness.h"
#include "blackbox/morse_decoder.h"

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

// Granted (as root) real-time scheduling adds no warning; refused (and no
// RealtimeKit on a system bus here to ask), it is told once per process,
// and the daemon keys on at normal priority.
TEST(Lifecycle, RefusedRealtimeSchedulingIsToldOnceAndTheDaemonKeysOn) {
    const std::string refused = "varkel:WW: real-time scheduling refused";
    Daemon granted;
    ASSERT_TRUE(granted.start_foreground());
    Daemon daemon;
    ASSERT_TRUE(daemon.start_foreground({}, {{harness::kRefuseRealtime, ""}}));
    Client client;
    ASSERT_TRUE(
        client.send("\x1b"
                    "0",
                    daemon.port()));
    ASSERT_TRUE(client.send("e", daemon.port()));
    EXPECT_TRUE(daemon.wait_for_output("keying event \"0\"", 5000));
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(10000), 0);
    EXPECT_EQ(daemon.count_output(refused), 1u);
    EXPECT_NE(daemon.out().find("LimitRTPRIO=20"), std::string::npos);
    granted.signal(SIGINT);
    EXPECT_EQ(granted.wait_exit(10000), 0);
    EXPECT_EQ(granted.count_output(refused), 0u);
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

// The key line's log lines reach the output while it keys: libcw's thread
// hands them over and wakes the main loop, which writes them. Such a
// wake-up is no pass of the loop: the passes after a key edge still come a
// second apart, each finding no datagram.
TEST(Lifecycle, KeyingLinesAreWrittenAsTheyComeWithoutExtraPasses) {
    Daemon daemon;
    ASSERT_TRUE(daemon.start_foreground({"-s", "40"}));
    const auto start = std::chrono::steady_clock::now();
    Client client;
    const std::string text = "TEST TEST";
    ASSERT_TRUE(client.send(text, daemon.port()));
    const size_t edges = 2 * morse_decoder::marks_of(text);
    EXPECT_TRUE(daemon.wait_for_output("keying event", 10000, edges));
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    const size_t passes = daemon.count_output("varkel:DD: ...recv_from (no data)");
    EXPECT_LE(passes, static_cast<size_t>(seconds) + 2) << edges << " edges in " << seconds << " s";
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(10000), 0);
}

TEST(Lifecycle, PortInUseIsReportedAsBindFailure) {
    Daemon first;
    ASSERT_TRUE(first.start_foreground());
    const auto result =
        harness::run_to_exit({"-n", "-x", "n", "-p", std::to_string(first.port())}, 10000);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("varkel: Bind failed: \"Address already in use\"\n"),
              std::string::npos);
    first.signal(SIGINT);
    EXPECT_EQ(first.wait_exit(10000), 0);
}

TEST(Lifecycle, DefaultConsoleBuzzerIsAbsentHereSoStartUpFails) {
    const auto result =
        harness::run_to_exit({"-n", "-p", std::to_string(harness::free_udp_port())});
    EXPECT_EQ(result.status, 1);
}

TEST(Lifecycle, DebugFileThatCannotBeOpenedEndsWithStatusOne) {
    const auto result = harness::run_to_exit({"-n", "-x", "n", "-f", "/nonexistent-dir/x.log", "-p",
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

namespace {

// The pid of a detached daemon, found by the port on its command line.
pid_t find_daemon_by_port(int port) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string cmdline = harness::read_file(entry.path().string() + "/cmdline");
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        if (cmdline.find("varkel") != std::string::npos &&
            cmdline.find(" -p " + std::to_string(port) + " ") != std::string::npos) {
            return static_cast<pid_t>(std::stol(name));
        }
    }
    return -1;
}

}  // namespace

TEST(Lifecycle, DetachedDaemonLogsToItsFileAndStopsOnRequest) {
    const std::string dir = harness::make_temp_dir();
    const std::string log_path = dir + "/x.log";
    const int port = harness::free_udp_port();
    const auto parent = harness::run_to_exit(
        {"-x", "n", "-i", "-i", "-f", log_path, "-p", std::to_string(port), "-s", "30"});
    EXPECT_EQ(parent.status, 0);  // the parent leaves at once
    EXPECT_EQ(parent.err, "debug output: " + log_path + "\n");

    // Whatever fails below, the detached daemon must not outlive the test.
    ASSERT_TRUE(harness::wait_for_udp_port(port));
    const pid_t daemon = find_daemon_by_port(port);
    ASSERT_GT(daemon, 0);
    struct KillAtEnd {
        pid_t pid;
        ~KillAtEnd() {
            if (kill(pid, 0) == 0) {
                kill(pid, SIGKILL);
            }
        }
    } guard{daemon};

    Client client;
    ASSERT_TRUE(client.send("E^", port));
    const auto echo = client.receive(5000);
    ASSERT_TRUE(echo.has_value());
    EXPECT_EQ(*echo, "E\r\n");

    ASSERT_TRUE(
        client.send("\x1b"
                    "5",
                    port));
    for (int i = 0; i < 500 && kill(daemon, 0) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(kill(daemon, 0), 0) << "the detached daemon did not stop on request 5";
    const std::string log = harness::read_file(log_path);
    EXPECT_NE(log.find("varkel:II: request: \"E^\"\n"), std::string::npos);
    EXPECT_NE(log.find("varkel:II: requested exit of daemon\n"), std::string::npos);
    std::filesystem::remove_all(dir);
}

namespace {

// A socket bound to 127.0.0.1 on a free port, as a socket unit makes one.
int loopback_socket(int type, int& port) {
    const int fd = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// A socket bound to ::1 at port (0: a free one), IPv6 only, as a socket
// unit makes one; -1 on a machine without IPv6.
int loopback6_socket(int& port) {
    const int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    const int only = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(static_cast<uint16_t>(port));
    if (fd == -1 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1) {
        if (fd != -1) {
            close(fd);
        }
        return -1;
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin6_port);
    return fd;
}

bool machine_has_ipv6() {
    int port = 0;
    const int fd = loopback6_socket(port);
    if (fd == -1) {
        return false;
    }
    close(fd);
    return true;
}

void expect_echo(const Client& client, const std::string& text, int port) {
    ASSERT_TRUE(client.send(text + "^", port));
    const auto echo = client.receive(5000);
    ASSERT_TRUE(echo.has_value()) << "no echo of " << text;
    EXPECT_EQ(*echo, text + "\r\n");
}

}  // namespace

// Clients that resolve "localhost" send to ::1 first: the daemon's own
// sockets take the port on both families, and each client's echo comes back
// over its own, without a warning or an error.
TEST(Lifecycle, OwnSocketsServeIpv6AndIpv4ClientsOnThePort) {
    if (!machine_has_ipv6()) {
        GTEST_SKIP() << "no IPv6 on this machine";
    }
    Daemon daemon;
    ASSERT_TRUE(daemon.start_foreground());
    const Client ipv6(AF_INET6);
    const Client ipv4;
    expect_echo(ipv6, "tu", daemon.port());
    expect_echo(ipv4, "ee", daemon.port());
    expect_echo(ipv6, "5nn", daemon.port());
    EXPECT_FALSE(ipv4.receive(0).has_value());  // nothing of the others' echoes
    EXPECT_FALSE(ipv6.receive(0).has_value());
    const std::string out = daemon.out();
    const size_t request = out.find("varkel:II: request: \"tu^\"\n");
    ASSERT_NE(request, std::string::npos);
    EXPECT_NE(out.find("keying event \"1\"", request), std::string::npos);
    EXPECT_EQ(out.find(":WW:"), std::string::npos) << out;
    EXPECT_EQ(out.find(":EE:"), std::string::npos) << out;
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(10000), 0);
}

// The shipped socket unit passes 127.0.0.1 and ::1 on one port: both are
// served, each address logged in its own family's form.
TEST(Lifecycle, TwoSocketsPassedByTheServiceManagerAreBothServed) {
    int port = 0;
    const int ipv4_socket = loopback_socket(SOCK_DGRAM, port);
    const int ipv6_socket = loopback6_socket(port);
    if (ipv6_socket == -1) {
        close(ipv4_socket);
        GTEST_SKIP() << "no IPv6 on this machine";
    }
    Daemon daemon;
    daemon.pass_sockets({ipv6_socket, ipv4_socket});
    ASSERT_TRUE(daemon.start_foreground());  // with -p and a port of its own
    close(ipv4_socket);
    close(ipv6_socket);
    const std::string unused = ", the socket passed by the service manager; port " +
                               std::to_string(daemon.port()) + " is not used\n";
    EXPECT_NE(daemon.out().find("varkel:WW: listening on [::1]:" + std::to_string(port) + unused),
              std::string::npos);
    EXPECT_NE(
        daemon.out().find("varkel:WW: listening on 127.0.0.1:" + std::to_string(port) + unused),
        std::string::npos);
    EXPECT_FALSE(harness::wait_for_udp_port(daemon.port(), 0));
    const Client ipv6(AF_INET6);
    const Client ipv4;
    expect_echo(ipv4, "r", port);
    expect_echo(ipv6, "tu", port);
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(10000), 0);
}

TEST(Lifecycle, SocketPassedByTheServiceManagerIsServedAndThePortOptionIsNotBound) {
    int passed_port = 0;
    const int passed = loopback_socket(SOCK_DGRAM, passed_port);
    Daemon daemon;
    daemon.pass_socket(passed);
    ASSERT_TRUE(daemon.start_foreground());  // with -p and a port of its own
    close(passed);
    EXPECT_NE(daemon.out().find("varkel:WW: listening on 127.0.0.1:" + std::to_string(passed_port) +
                                ", the socket passed by the service manager; port " +
                                std::to_string(daemon.port()) + " is not used\n"),
              std::string::npos);
    EXPECT_FALSE(harness::wait_for_udp_port(daemon.port(), 0));
    Client client;
    ASSERT_TRUE(client.send("E^", passed_port));
    const auto echo = client.receive(5000);
    ASSERT_TRUE(echo.has_value());
    EXPECT_EQ(*echo, "E\r\n");
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(10000), 0);
}

TEST(Lifecycle, StreamSocketPassedByTheServiceManagerIsRefused) {
    int passed_port = 0;
    const int passed = loopback_socket(SOCK_STREAM, passed_port);
    Daemon daemon;
    daemon.pass_socket(passed);
    const int port = harness::free_udp_port();
    ASSERT_TRUE(daemon.start({"-n", "-x", "n", "-p", std::to_string(port)}));
    close(passed);
    EXPECT_EQ(daemon.wait_exit(10000), 1);
    EXPECT_NE(daemon.out().find("varkel: Taking socket 3 from the service manager failed: "
                                "\"Protocol wrong type for socket\"\n"),
              std::string::npos);
    EXPECT_EQ(daemon.out().find("Bind"), std::string::npos);
}

TEST(Lifecycle, SocketPassedToAnotherProcessIsLeftAndThePortIsBoundAsUsual) {
    int passed_port = 0;
    const int passed = loopback_socket(SOCK_DGRAM, passed_port);
    Daemon daemon;
    daemon.pass_socket(passed);
    ASSERT_TRUE(daemon.start_foreground({}, {{"LISTEN_PID", "1"}}));
    close(passed);
    EXPECT_EQ(daemon.out().find("service manager"), std::string::npos);
    Client client;
    ASSERT_TRUE(client.send("cq", daemon.port()));
    EXPECT_TRUE(daemon.wait_for_output("varkel:II: request: \"cq\"\n"));
    daemon.signal(SIGINT);
    EXPECT_EQ(daemon.wait_exit(10000), 0);
}
