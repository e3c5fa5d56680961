// The sockets a service manager passes: taken only when they were passed to
// this process and are one or two IPv4 or IPv6 UDP sockets; the variables
// never outlive the look.
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
    InheritedSockets taken;
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
    outcome.ok = take_inherited_sockets_from(first_fd, outcome.taken);
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

// A socket of each family, passed side by side from first_fd on, as the
// shipped socket unit passes 127.0.0.1 and ::1; -1 on a machine without IPv6.
int pass_both(int first_fd) {
    const int ipv4 = test_support::loopback_udp_socket();
    const int ipv6 = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    if (ipv6 == -1 || bind(ipv6, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1) {
        close(ipv4);
        if (ipv6 != -1) {
            close(ipv6);
        }
        return -1;
    }
    dup2(ipv4, first_fd);
    dup2(ipv6, first_fd + 1);
    close(ipv4);
    close(ipv6);
    return first_fd;
}

TEST(InheritedSocket, LoopbackUdpSocketPassedToThisProcessIsTakenWithItsAddress) {
    const int fd = test_support::loopback_udp_socket();
    const Outcome outcome = take(fd, our_pid(), "1");
    EXPECT_TRUE(outcome.ok);
    ASSERT_EQ(outcome.taken.count, 1);
    EXPECT_EQ(outcome.taken.fd[0], fd);
    const auto& bound = reinterpret_cast<const sockaddr_in&>(outcome.taken.bound[0]);
    EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_NE(bound.sin_port, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(outcome.variables_left);
    close(fd);
}

TEST(InheritedSocket, Ipv4AndIpv6SocketsPassedSideBySideAreBothTaken) {
    constexpr int kFirst = 40;  // clear of the test's own descriptors
    if (pass_both(kFirst) == -1) {
        GTEST_SKIP() << "no IPv6 on this machine";
    }
    const Outcome outcome = take(kFirst, our_pid(), "2");
    EXPECT_TRUE(outcome.ok);
    ASSERT_EQ(outcome.taken.count, 2);
    EXPECT_EQ(outcome.taken.fd[0], kFirst);
    EXPECT_EQ(outcome.taken.fd[1], kFirst + 1);
    EXPECT_EQ(outcome.taken.bound[0].ss_family, AF_INET);
    ASSERT_EQ(outcome.taken.bound[1].ss_family, AF_INET6);
    const auto& bound6 = reinterpret_cast<const sockaddr_in6&>(outcome.taken.bound[1]);
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&bound6.sin6_addr));
    EXPECT_NE(fcntl(kFirst + 1, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(outcome.out, "");
    // A third would go unheard; a wrong second one spoils the pair.
    const int tcp = socket(AF_INET, SOCK_STREAM, 0);
    dup2(tcp, kFirst + 2);
    close(tcp);
    const Outcome three = take(kFirst, our_pid(), "3");
    EXPECT_FALSE(three.ok);
    EXPECT_EQ(three.taken.count, 0);
    EXPECT_EQ(three.out,
              "varkel: Taking sockets from the service manager (LISTEN_FDS=3) failed: \"Invalid "
              "argument\"\n");
    const Outcome stream_second = take(kFirst + 1, our_pid(), "2");
    EXPECT_FALSE(stream_second.ok);
    EXPECT_EQ(stream_second.taken.count, 0);
    EXPECT_EQ(stream_second.out, "varkel: Taking socket " + std::to_string(kFirst + 2) +
                                     " from the service manager failed: \"Protocol wrong type "
                                     "for socket\"\n");
    for (const int fd : {kFirst, kFirst + 1, kFirst + 2}) {
        close(fd);
    }
}

TEST(InheritedSocket, NothingIsTakenWhenPassedToAnotherProcessOrNoneWasPassed) {
    const int fd = test_support::loopback_udp_socket();
    for (const auto& [pid, count] :
         {std::pair<std::string, const char*>{"1", "1"}, {"not a pid", "1"}, {our_pid(), "0"}}) {
        SCOPED_TRACE(pid + " " + count);
        const Outcome outcome = take(fd, pid, count);
        EXPECT_TRUE(outcome.ok);
        EXPECT_EQ(outcome.taken.count, 0);
        EXPECT_EQ(outcome.out, "");
        EXPECT_FALSE(outcome.variables_left);
    }
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);  // untouched
    close(fd);
}

TEST(InheritedSocket, AnythingButIpv4OrIpv6UdpSocketsIsRefusedAndReported) {
    const int tcp = socket(AF_INET, SOCK_STREAM, 0);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
    const int udp = test_support::loopback_udp_socket();
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    auto refused = [](int fd, const char* count) { return take(fd, our_pid(), count); };
    const auto expect_refused = [&](const Outcome& outcome, const std::string& out) {
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.taken.count, 0);
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
    expect_refused(refused(pipe_ends[0], "1"),
                   socket_of + std::to_string(pipe_ends[0]) +
                       " from the service manager failed: \"Socket operation on non-socket\"\n");
    expect_refused(refused(udp, nullptr),
                   "varkel: Taking sockets from the service manager (LISTEN_FDS=) failed: "
                   "\"Invalid argument\"\n");
    for (const int fd : {tcp, pair[0], pair[1], udp, pipe_ends[0], pipe_ends[1]}) {
        close(fd);
    }
}

}  // namespace
}  // namespace varkel
