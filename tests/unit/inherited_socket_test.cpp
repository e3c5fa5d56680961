// The socket a service manager passes: taken only when it was passed to this
// process and is one IPv4 UDP socket; the variables never outlive the look.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "core/settings.h"
#include "net/inherited_socket.h"
#include "support/loopback_socket.h"

namespace varkel {
namespace {

struct Outcome {
    bool ok = false;
    int fd = kNoInheritedSocket;
    sockaddr_in bound{};
    std::string out;
    bool variables_left = true;
};

// Passes first_fd the way a service manager does and takes it.
Outcome take(int first_fd, const std::string& pid, const char* count) {
    setenv("LISTEN_PID", pid.c_str(), 1);
    if (count != nullptr) {
        setenv("LISTEN_FDS", count, 1);
    }
    setenv("LISTEN_FDNAMES", "varkel.socket", 1);
    settings.nofork = true;  // error reports on standard output
    Outcome outcome;
    testing::internal::CaptureStdout();
    outcome.ok = take_inherited_socket_from(first_fd, outcome.fd, outcome.bound);
    outcome.out = testing::internal::GetCapturedStdout();
    outcome.variables_left = getenv("LISTEN_PID") != nullptr || getenv("LISTEN_FDS") != nullptr ||
                             getenv("LISTEN_FDNAMES") != nullptr;
    unsetenv("LISTEN_FDS");
    reset_settings_for_tests();
    return outcome;
}

std::string our_pid() {
    return std::to_string(getpid());
}

TEST(InheritedSocket, LoopbackUdpSocketPassedToThisProcessIsTakenWithItsAddress) {
    const int fd = test_support::loopback_udp_socket();
    const Outcome outcome = take(fd, our_pid(), "1");
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.fd, fd);
    EXPECT_EQ(outcome.bound.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_NE(outcome.bound.sin_port, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(outcome.variables_left);
    close(fd);
}

TEST(InheritedSocket, NothingIsTakenWhenPassedToAnotherProcessOrNoneWasPassed) {
    const int fd = test_support::loopback_udp_socket();
    for (const auto& [pid, count] :
         {std::pair<std::string, const char*>{"1", "1"}, {"not a pid", "1"}, {our_pid(), "0"}}) {
        SCOPED_TRACE(pid + " " + count);
        const Outcome outcome = take(fd, pid, count);
        EXPECT_TRUE(outcome.ok);
        EXPECT_EQ(outcome.fd, kNoInheritedSocket);
        EXPECT_EQ(outcome.out, "");
        EXPECT_FALSE(outcome.variables_left);
    }
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);  // untouched
    close(fd);
}

TEST(InheritedSocket, AnythingButOneIpv4UdpSocketIsRefusedAndReported) {
    const int tcp = socket(AF_INET, SOCK_STREAM, 0);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
    const int ipv6 = socket(AF_INET6, SOCK_DGRAM, 0);
    const int udp = test_support::loopback_udp_socket();
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    auto refused = [](int fd, const char* count) { return take(fd, our_pid(), count); };
    const auto expect_refused = [&](const Outcome& outcome, const std::string& out) {
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.fd, kNoInheritedSocket);
        EXPECT_EQ(outcome.out, out);
        EXPECT_FALSE(outcome.variables_left);
    };
    const std::string socket_of = "varkel: Taking socket ";
    expect_refused(refused(tcp, "1"), socket_of + std::to_string(tcp) +
                                          " from the service manager failed: \"Protocol wrong "
                                          "type for socket\"\n");
    expect_refused(refused(pair[0], "1"),
                   socket_of + std::to_string(pair[0]) +
                       " from the service manager failed: \"Address family not supported by "
                       "protocol\"\n");
    if (ipv6 != -1) {
        expect_refused(refused(ipv6, "1"),
                       socket_of + std::to_string(ipv6) +
                           " from the service manager failed: \"Address family not supported "
                           "by protocol\"\n");
    }
    expect_refused(refused(pipe_ends[0], "1"),
                   socket_of + std::to_string(pipe_ends[0]) +
                       " from the service manager failed: \"Socket operation on non-socket\"\n");
    expect_refused(refused(udp, "2"),
                   "varkel: Taking sockets from the service manager (LISTEN_FDS=2) failed: "
                   "\"Invalid argument\"\n");
    expect_refused(refused(udp, nullptr),
                   "varkel: Taking sockets from the service manager (LISTEN_FDS=) failed: "
                   "\"Invalid argument\"\n");
    for (const int fd : {tcp, pair[0], pair[1], ipv6, udp, pipe_ends[0], pipe_ends[1]}) {
        close(fd);
    }
}

}  // namespace
}  // namespace varkel
