// The endpoint on a real loopback socket: what a datagram becomes, and where
// echo replies go.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "core/logging.h"
#include "core/settings.h"
#include "morse/generator.h"
#include "morse/ptt.h"
#include "net/udp_endpoint.h"
#include "support/fake_libcw.h"
#include "support/log_capture.h"
#include "support/loopback_socket.h"

namespace varkel {
namespace {

int port_of(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

class EndpointTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_settings_for_tests();
        fake_libcw::reset();
        generator_ready.store(true);  // as after start-up
        ptt_flags_clear_all();
        settings.current.verbosity = DD;
        log_ = tmpfile();
        set_debug_output(log_);
        // Find a free port, then let the endpoint bind it.
        const int probe = test_support::loopback_udp_socket();
        settings.port = port_of(probe);
        close(probe);
        ASSERT_TRUE(open_endpoint());
        client_ = test_support::loopback_udp_socket();
        empty_message_buffer();
    }
    void TearDown() override {
        close(client_);
        close_endpoint_at_exit();
        set_debug_output(stdout);
        fclose(log_);
        reset_settings_for_tests();
    }
    void send_datagram(const std::string& datagram) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<uint16_t>(settings.port));
        sendto(client_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to);
        pollfd ready{socket_fd, POLLIN, 0};
        poll(&ready, 1, 1000);
    }
    std::string log() { return test_support::read_whole_stream(log_); }
    std::string client_receive() {
        pollfd ready{client_, POLLIN, 0};
        if (poll(&ready, 1, 1000) != 1) {
            return "<nothing>";
        }
        char buffer[512];
        const ssize_t got = recv(client_, buffer, sizeof buffer, 0);
        return std::string(buffer, static_cast<size_t>(got));
    }
    std::string queued_characters() {
        std::string text;
        for (const auto& call : fake_libcw::calls()) {
            if (call.name == "cw_send_character") {
                text.push_back(static_cast<char>(call.args[0]));
            }
        }
        return text;
    }
    FILE* log_ = nullptr;
    int client_ = -1;
};

TEST_F(EndpointTest, TrailingLineEndsAreStrippedAndTheTextIsPlayed) {
    send_datagram("CQ\r\n");
    EXPECT_EQ(receive_request(), 1);
    EXPECT_NE(log().find("varkel:II: -------------------\nvarkel:II: request: \"CQ\"\n"),
              std::string::npos);
    EXPECT_EQ(queued_characters(), "CQ");
    EXPECT_FALSE(message_waiting());
}

TEST_F(EndpointTest, LineEndsInsideTheTextStay) {
    send_datagram("A\r\nB\n\r\n");
    EXPECT_EQ(receive_request(), 1);
    EXPECT_NE(log().find("request: \"A\r\nB\"\n"), std::string::npos);
}

TEST_F(EndpointTest, OnlyLineEndsAndNoDatagramAreNoData) {
    send_datagram("\r\n\r");
    EXPECT_EQ(receive_request(), 0);
    EXPECT_EQ(receive_request(), 0);  // nothing waiting: EAGAIN
    EXPECT_EQ(log(), "varkel:DD: ...recv_from (no data)\nvarkel:DD: ...recv_from (no data)\n");
}

TEST_F(EndpointTest, EmptyDatagramIsIgnoredSilently) {
    send_datagram("");
    EXPECT_EQ(receive_request(), 0);
    EXPECT_EQ(log(), "");
}

TEST_F(EndpointTest, LongDatagramIsCutTo256Bytes) {
    send_datagram(std::string(300, 'E'));
    EXPECT_EQ(receive_request(), 1);
    EXPECT_EQ(queued_characters(), std::string(256, 'E'));
}

TEST_F(EndpointTest, EscapeRequestIsLoggedAndNotPlayed) {
    send_datagram(
        "\x1b"
        "2 30");
    EXPECT_EQ(receive_request(), 0);
    EXPECT_NE(log().find("varkel:II: escaped request: \"<ESC>2 30\"\n"), std::string::npos);
    EXPECT_EQ(queued_characters(), "");
}

TEST_F(EndpointTest, TextThatWouldOverflowTheMessageBufferIsDropped) {
    // Text left over in the buffer (the player always empties it; this
    // guards the length test itself).
    char* buffer = message_buffer();
    memset(buffer + 1, 'x', kMessageTextLimit - 2);
    buffer[kMessageTextLimit - 1] = '\0';
    store_message_byte(0, 'x');
    send_datagram("AB");
    EXPECT_EQ(receive_request(), 1);
    EXPECT_EQ(queued_characters(), "");
    EXPECT_EQ(strlen(message_buffer()), kMessageTextLimit - 1);
    empty_message_buffer();
}

TEST_F(EndpointTest, EchoGoesToTheClientThatAskedWithCrLf) {
    send_datagram("AB^CD");
    EXPECT_EQ(receive_request(), 1);
    EXPECT_EQ(ptt_flags() & PTT_ACTIVE_ECHO, PTT_ACTIVE_ECHO);
    // Another client's datagram does not redirect the pending echo.
    const int other = test_support::loopback_udp_socket();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(settings.port));
    sendto(other, "X", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd ready{socket_fd, POLLIN, 0};
    poll(&ready, 1, 1000);
    receive_request();
    send_echo_reply();
    EXPECT_EQ(client_receive(), "AB\r\n");
    char reply[kReplyBufferSize];
    copy_reply_text(reply, sizeof reply);
    EXPECT_STREQ(reply, "AB");
    close(other);
}

// A client that resolved "localhost" to ::1: its text is read from the
// IPv6 socket, one datagram per call whichever socket holds it, and its echo
// goes back over IPv6 while an IPv4 client's request waits.
TEST_F(EndpointTest, Ipv6ClientIsHeardAndItsEchoGoesBackOverIpv6) {
    if (second_socket_fd == 0) {
        GTEST_SKIP() << "no IPv6 on this machine";
    }
    const int client6 = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_addr = in6addr_loopback;
    to.sin6_port = htons(static_cast<uint16_t>(settings.port));
    sendto(client6, "TU^", 3, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd ready{second_socket_fd, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 1000), 1);
    send_datagram("EE");  // waiting on the IPv4 socket too

    EXPECT_EQ(receive_request(), 1);
    EXPECT_EQ(receive_request(), 1);
    const std::string queued = queued_characters();
    EXPECT_TRUE(queued == "TUEE" || queued == "EETU") << queued;
    EXPECT_EQ(receive_request(), 0);  // both read, one each
    send_echo_reply();
    pollfd reply{client6, POLLIN, 0};
    ASSERT_EQ(poll(&reply, 1, 1000), 1);
    char buffer[64];
    const ssize_t got = recv(client6, buffer, sizeof buffer, 0);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(got)), "TU\r\n");
    EXPECT_EQ(client_receive(), "<nothing>");
    close(client6);
}

// The longest reply goes out whole with its CR LF, and alike when it is
// sent again: CR LF go on a copy, so the stored text neither grows nor
// runs past its buffer.
TEST_F(EndpointTest, LongestReplySentTwiceGoesOutAlikeWithItsLineEnd) {
    send_datagram("X");
    receive_request();  // the client is the one a reply goes to
    const std::string text(kReplyTextLimit, 'R');
    prepare_echo_reply(text.c_str(), text.size());
    send_echo_reply();
    EXPECT_EQ(client_receive(), text + "\r\n");
    send_echo_reply();
    EXPECT_EQ(client_receive(), text + "\r\n");
    char reply[kReplyBufferSize];
    copy_reply_text(reply, sizeof reply);
    EXPECT_EQ(std::string(reply), text);
}

}  // namespace
}  // namespace varkel
