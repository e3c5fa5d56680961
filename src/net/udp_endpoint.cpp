#include "net/udp_endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "core/logging.h"
#include "core/process_exit.h"
#include "core/settings.h"
#include "morse/ptt.h"
#include "net/escape_requests.h"
#include "net/inherited_socket.h"
#include "net/text_player.h"

namespace varkel {

int socket_fd = 0;

namespace {

// The sender of the last datagram read; main thread only.
sockaddr_in g_request_address{};
socklen_t g_request_address_length = sizeof(sockaddr_in);

// The pending echo: written by the main thread when an echo is prepared,
// completed and sent by libcw's thread. guarded by g_reply_mutex
std::mutex g_reply_mutex;
sockaddr_in g_reply_address{};
socklen_t g_reply_address_length = 0;
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
    socket_fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (socket_fd == -1) {
        // The clean-up handler must not close descriptor -1 or 0.
        socket_fd = 0;
        error_report("Socket open");
        return false;
    }
    if (bind(socket_fd, reinterpret_cast<sockaddr*>(&g_request_address),
             g_request_address_length) == -1) {
        error_report("Bind");
        return false;
    }
    return true;
}

// A service manager that passes a socket has chosen the address and port;
// a different port from the command line is not used, and says so.
void use_inherited_socket(int fd, const sockaddr_in& bound) {
    socket_fd = fd;
    const int bound_port = ntohs(bound.sin_port);
    if (bound_port != settings.port) {
        char address[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &bound.sin_addr, address, sizeof address);
        debug_log(
            WW, "listening on %s:%d, the socket passed by the service manager; port %d is not used",
            address, bound_port, static_cast<int>(settings.port));
    }
}

}  // namespace

bool open_endpoint() {
    memset(&g_request_address, 0, sizeof g_request_address);
    g_request_address.sin_family = AF_INET;
    g_request_address.sin_port = htons(static_cast<uint16_t>(settings.port));
    g_request_address.sin_addr.s_addr = htonl(INADDR_ANY);
    g_request_address_length = sizeof g_request_address;

    int inherited = kNoInheritedSocket;
    sockaddr_in bound{};
    if (!take_inherited_socket(inherited, bound)) {
        return false;
    }
    if (inherited != kNoInheritedSocket) {
        use_inherited_socket(inherited, bound);
    } else if (!open_own_socket()) {
        return false;
    }
    const int flags = fcntl(socket_fd, F_GETFL);
    if (flags == -1) {
        error_report("Trying get flags");
        return false;
    }
    if (fcntl(socket_fd, F_SETFL, flags | O_NONBLOCK) == -1) {
        error_report("Trying non-blocking");
        return false;
    }
    return true;
}

void close_endpoint_at_exit() {
    if (socket_fd != 0) {
        const int fd = socket_fd;
        socket_fd = 0;  // attempted once, whatever the outcome
        if (close(fd) == -1) {
            error_report("Close socket");
            exit_process(1);
        }
    }
}

int receive_request() {
    char buffer[kReceiveSize + 1];
    g_request_address_length = sizeof g_request_address;
    const ssize_t received =
        recvfrom(socket_fd, buffer, kReceiveSize, 0,
                 reinterpret_cast<sockaddr*>(&g_request_address), &g_request_address_length);
    size_t length = 0;
    if (received == -1) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            error_report("Recvfrom");
            exit_process(1);
            return 0;
        }
    } else if (received == 0) {
        return 0;
    } else {
        length = static_cast<size_t>(received);
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
        play_message(g_message_buffer);
    }
    return 1;
}

void prepare_echo_reply(const char* text, size_t length) {
    const uint8_t flags = ptt_flags_set(PTT_ACTIVE_ECHO);
    debug_log(DD, "PTT flag +PTT_ACTIVE_ECHO (0x%02x/%s)", flags, ptt_flag_text(flags).data());
    if (length > kReplyTextLimit) {
        length = kReplyTextLimit;
    }
    char reply_copy[kReplyBufferSize];
    {
        std::lock_guard<std::mutex> lock(g_reply_mutex);
        g_reply_address = g_request_address;
        g_reply_address_length = g_request_address_length;
        memcpy(g_reply_buffer, text, length);
        g_reply_buffer[length] = '\0';
        memcpy(reply_copy, g_reply_buffer, length + 1);
    }
    debug_log(II, "text of request: \"%s\", text of reply: \"%s\"", text, reply_copy);
    debug_log(II, "now waiting for end of transmission before echoing back to client");
}

long send_reply(const char* text) {
    sockaddr_in address;
    socklen_t address_length;
    {
        std::lock_guard<std::mutex> lock(g_reply_mutex);
        address = g_reply_address;
        address_length = g_reply_address_length;
    }
    const ssize_t sent = sendto(socket_fd, text, strlen(text), 0,
                                reinterpret_cast<sockaddr*>(&address), address_length);
    if (sent == -1) {
        debug_log(EE, "sendto: \"%s\"", strerror(errno));
    }
    return static_cast<long>(sent);
}

void send_echo_reply() {
    char text[kReplyBufferSize];
    {
        std::lock_guard<std::mutex> lock(g_reply_mutex);
        const size_t length = strlen(g_reply_buffer);
        // The buffer has room for CR, LF and NUL after the longest reply.
        memcpy(g_reply_buffer + length, "\r\n", 3);
        memcpy(text, g_reply_buffer, length + 3);
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
