#include "net/udp_endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/logging.h"
#include "core/process_exit.h"
#include "core/settings.h"
#include "morse/paddle.h"
#include "morse/ptt.h"
#include "net/escape_requests.h"
#include "net/inherited_socket.h"
#include "net/text_player.h"

namespace varkel {

int socket_fd = 0;
int second_socket_fd = 0;

namespace {

// A client's address and the socket its datagram came in on: a reply goes
// back over the same socket, so over the client's own family.
struct Peer {
    sockaddr_storage address{};
    socklen_t length = 0;
    int socket = 0;  // 0: none yet, replies go out of socket_fd
};

// The sender of the last datagram read; main thread only.
Peer g_request_peer;

// Which socket receive_request tries first: the one not read last, so
// that a busy client on one family cannot starve the other. Main thread
// only.
int g_first_tried = 0;

// The pending echo: written by the main thread when an echo is prepared,
// completed and sent by libcw's thread. guarded by g_reply_mutex
std::mutex g_reply_mutex;
Peer g_reply_peer;
char g_reply_buffer[kReplyBufferSize] = {};

// Byte 0 is read by libcw's thread (is text waiting?); it is only ever
// written through store_message_byte.
char g_message_buffer[kMessageBufferSize] = {};

std::atomic_ref<char> first_message_byte() {
    return std::atomic_ref<char>(g_message_buffer[0]);
}

}  // namespace

char* message_buffer() {
    return g_message_buffer;
}

bool message_waiting() {
    return first_message_byte().load(std::memory_order_acquire) != '\0';
}

void empty_message_buffer() {
    first_message_byte().store('\0', std::memory_order_release);
}

void store_message_byte(size_t index, char value) {
    if (index == 0) {
        first_message_byte().store(value, std::memory_order_release);
    } else {
        g_message_buffer[index] = value;
    }
}

namespace {

bool open_own_socket() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(settings.port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socket_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket_fd == -1) {
        // The clean-up handler must not close descriptor -1 or 0.
        socket_fd = 0;
        error_report("Socket open");
        return false;
    }
    if (bind(socket_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1) {
        error_report("Bind");
        return false;
    }
    return true;
}

// The same port on ::1, beside the IPv4 socket: clients that resolve
// "localhost" send to ::1 first. A socket of its own rather than one
// dual-stack socket keeps the IPv4 socket, its failures and its clients'
// addresses as they always were; loopback alone opens no way in that an
// IPv4 firewall would not cover. A machine without IPv6 (no such family,
// or no ::1) has no such socket and is not told about it; any other
// failure costs only the IPv6 socket, with a warning.
void open_own_ipv6_socket() {
    const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        if (errno != EAFNOSUPPORT) {
            debug_log(WW, "no IPv6 socket: \"%s\"; listening on IPv4 only", strerror(errno));
        }
        return;
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(settings.port));
    address.sin6_addr = in6addr_loopback;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1) {
        const int error = errno;
        close(fd);
        if (error != EAFNOSUPPORT && error != EADDRNOTAVAIL) {
            debug_log(WW, "no IPv6 socket on port %d: \"%s\"; listening on IPv4 only",
                      static_cast<int>(settings.port), strerror(error));
        }
        return;
    }
    second_socket_fd = fd;
}

// An address as the log shows it: 127.0.0.1:6789 or [::1]:6789; an IPv4
// client reaching an IPv6 socket that takes both (::ffff:127.0.0.1) shows
// as IPv4.
void format_address(const sockaddr_storage& address, char* out, size_t size) {
    char host[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
        snprintf(out, size, "%s:%d", host, ntohs(v4.sin_port));
        return;
    }
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
        inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], host, sizeof host);
        snprintf(out, size, "%s:%d", host, ntohs(v6.sin6_port));
        return;
    }
    inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
    snprintf(out, size, "[%s]:%d", host, ntohs(v6.sin6_port));
}

int port_of(const sockaddr_storage& address) {
    return address.ss_family == AF_INET
               ? ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port)
               : ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
}

// A service manager that passes sockets has chosen the addresses and port;
// a different port from the command line is not used, and says so.
void use_inherited_sockets(const InheritedSockets& taken) {
    socket_fd = taken.fd[0];
    second_socket_fd = taken.count > 1 ? taken.fd[1] : 0;
    for (int i = 0; i < taken.count; ++i) {
        if (port_of(taken.bound[i]) != settings.port) {
            char address[INET6_ADDRSTRLEN + sizeof "[]:65535"];
            format_address(taken.bound[i], address, sizeof address);
            debug_log(WW,
                      "listening on %s, the socket passed by the service manager; port %d is not "
                      "used",
                      address, static_cast<int>(settings.port));
        }
    }
}

bool make_non_blocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1) {
        error_report("Trying get flags");
        return false;
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
        error_report("Trying non-blocking");
        return false;
    }
    return true;
}

}  // namespace

bool open_endpoint() {
    g_request_peer = Peer{};
    g_first_tried = 0;
    InheritedSockets taken;
    if (!take_inherited_sockets(taken)) {
        return false;
    }
    if (taken.count > 0) {
        use_inherited_sockets(taken);
    } else if (!open_own_socket()) {
        return false;
    }
    if (!make_non_blocking(socket_fd)) {
        return false;
    }
    if (taken.count == 0) {
        open_own_ipv6_socket();
    } else if (second_socket_fd != 0 && !make_non_blocking(second_socket_fd)) {
        return false;
    }
    return true;
}

void close_endpoint_at_exit() {
    bool closed = true;
    for (int* fd : {&second_socket_fd, &socket_fd}) {
        if (*fd != 0) {
            const int open_fd = *fd;
            *fd = 0;  // attempted once, whatever the outcome
            if (close(open_fd) == -1) {
                error_report("Close socket");
                closed = false;
            }
        }
    }
    if (!closed) {
        exit_process(1);
    }
}

int fill_endpoint_fd_set(fd_set* set) {
    FD_SET(socket_fd, set);
    if (second_socket_fd == 0) {
        return socket_fd;
    }
    FD_SET(second_socket_fd, set);
    return second_socket_fd > socket_fd ? second_socket_fd : socket_fd;
}

int receive_request() {
    char buffer[kReceiveSize + 1];
    const int sockets[] = {socket_fd, second_socket_fd};
    const int count = second_socket_fd == 0 ? 1 : 2;
    size_t length = 0;
    for (int i = 0; i < count; ++i) {
        const int which = (g_first_tried + i) % count;
        Peer sender;
        sender.socket = sockets[which];
        sender.length = sizeof sender.address;
        const ssize_t received =
            recvfrom(sender.socket, buffer, kReceiveSize, 0,
                     reinterpret_cast<sockaddr*>(&sender.address), &sender.length);
        if (received == -1) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                error_report("Recvfrom");
                exit_process(1);
                return 0;
            }
            continue;  // nothing on this one
        }
        g_request_peer = sender;
        g_first_tried = (which + 1) % count;
        if (received == 0) {
            return 0;
        }
        length = static_cast<size_t>(received);
        break;
    }
    return handle_datagram(buffer, length);
}

int handle_datagram(char* buffer, size_t length) {
    while (length > 0 && (buffer[length - 1] == '\r' || buffer[length - 1] == '\n')) {
        buffer[--length] = '\0';
    }
    if (length == 0) {
        debug_log(DD, "...recv_from (no data)");
        return 0;
    }
    buffer[length] = '\0';
    debug_log(II, "-------------------");

    if (buffer[0] == kEscape) {
        debug_log(II, "escaped request: \"<ESC>%s\"", buffer + 1);
        handle_escape_request(buffer);
        return 0;
    }

    debug_log(II, "request: \"%s\"", buffer);
    // The text may carry NUL bytes; only what stands before the first one
    // is text.
    const size_t text_length = strlen(buffer);
    const size_t waiting = strlen(g_message_buffer);
    if (text_length + waiting <= kMessageTextLimit) {
        // The first byte goes last: libcw's thread must not see text
        // waiting before the text is whole.
        memcpy(g_message_buffer + waiting + 1, buffer + 1, text_length);  // with its NUL
        store_message_byte(waiting, buffer[0]);
        play_waiting_text();
    }
    return 1;
}

void play_waiting_text() {
    if (!message_waiting()) {
        return;
    }
    if (!paddle_text_may_start()) {
        debug_log(II, "text waits until the paddle is idle");
        return;
    }
    play_message(g_message_buffer);
    paddle_text_queued();
}

void prepare_echo_reply(const char* text, size_t length) {
    if (length > kReplyTextLimit) {
        length = kReplyTextLimit;
    }
    char reply_copy[kReplyBufferSize];
    {
        std::lock_guard<std::mutex> lock(g_reply_mutex);
        g_reply_peer = g_request_peer;
        memcpy(g_reply_buffer, text, length);
        g_reply_buffer[length] = '\0';
        memcpy(reply_copy, g_reply_buffer, length + 1);
    }
    // Only now is the echo marked pending: a low-queue callback that sees
    // the flag finds this text and this client, never the previous ones.
    // The flag's change is a sequentially consistent read-modify-write, and
    // the callback reads the flags the same way, so what was stored above
    // is what it sends.
    const uint8_t flags = ptt_flags_set(PTT_ACTIVE_ECHO);
    debug_log(DD, "PTT flag +PTT_ACTIVE_ECHO (0x%02x/%s)", flags, ptt_flag_text(flags).data());
    debug_log(II, "text of request: \"%s\", text of reply: \"%s\"", text, reply_copy);
    debug_log(II, "now waiting for end of transmission before echoing back to client");
}

long send_reply(const char* text) {
    Peer peer;
    {
        std::lock_guard<std::mutex> lock(g_reply_mutex);
        peer = g_reply_peer;
    }
    const ssize_t sent = sendto(peer.socket != 0 ? peer.socket : socket_fd, text, strlen(text), 0,
                                reinterpret_cast<sockaddr*>(&peer.address), peer.length);
    if (sent == -1) {
        debug_log(EE, "sendto: \"%s\"", strerror(errno));
    }
    return static_cast<long>(sent);
}

void send_echo_reply() {
    // CR LF go on a copy: the stored reply stays as prepared, so that a
    // second echo of it (request h) sends it alike and cannot outgrow the
    // buffer.
    char text[kReplyBufferSize];
    {
        std::lock_guard<std::mutex> lock(g_reply_mutex);
        const size_t length = strnlen(g_reply_buffer, kReplyTextLimit);
        memcpy(text, g_reply_buffer, length);
        memcpy(text + length, "\r\n", 3);
    }
    send_reply(text);
}

void copy_reply_text(char* out, size_t size) {
    if (size == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_reply_mutex);
    strncpy(out, g_reply_buffer, size - 1);
    out[size - 1] = '\0';
}

}  // namespace varkel
