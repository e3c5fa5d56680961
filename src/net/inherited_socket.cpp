#include "net/inherited_socket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/logging.h"

namespace varkel {

namespace {

// A copy of the variable's text; empty when it is not set.
std::string variable(const char* name) {
    const char* text = getenv(name);
    return text == nullptr ? std::string() : std::string(text);
}

// A whole non-negative decimal number, or -1.
long parse_whole_number(const std::string& text) {
    if (text.empty()) {
        return -1;
    }
    errno = 0;
    char* end = nullptr;
    const long value = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < 0) {
        return -1;
    }
    return value;
}

bool refuse_socket(int fd, int error) {
    errno = error;
    error_report("Taking socket %d from the service manager", fd);
    return false;
}

// True when fd is an IPv4 or IPv6 UDP socket; its address goes to bound.
bool check_socket(int fd, sockaddr_storage& bound) {
    int value = 0;
    socklen_t length = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &length) == -1) {
        return refuse_socket(fd, errno);  // not open, or not a socket
    }
    if (value != SOCK_DGRAM) {
        return refuse_socket(fd, EPROTOTYPE);
    }
    sockaddr_storage address{};
    length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == -1) {
        return refuse_socket(fd, errno);
    }
    if (address.ss_family != AF_INET && address.ss_family != AF_INET6) {
        return refuse_socket(fd, EAFNOSUPPORT);
    }
    length = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &value, &length) == -1) {
        return refuse_socket(fd, errno);
    }
    if (value != IPPROTO_UDP) {
        return refuse_socket(fd, EPROTONOSUPPORT);
    }
    // Nothing this daemon starts is to inherit it.
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) == -1) {
        return refuse_socket(fd, errno);
    }
    bound = address;
    return true;
}

}  // namespace

bool take_inherited_sockets_from(int first_fd, InheritedSockets& taken) {
    taken.count = 0;
    const std::string pid_text = variable("LISTEN_PID");
    const std::string count_text = variable("LISTEN_FDS");
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");

    // Descriptors passed to another process (the one that started this
    // daemon, say) are not ours to take.
    if (parse_whole_number(pid_text) != static_cast<long>(getpid())) {
        return true;
    }
    const long count = parse_whole_number(count_text);
    if (count == 0) {
        return true;
    }
    if (count < 1 || count > kMaxInheritedSockets) {
        // The daemon serves one address per family; a third would go unheard.
        errno = EINVAL;
        error_report("Taking sockets from the service manager (LISTEN_FDS=%s)", count_text.c_str());
        return false;
    }
    for (int i = 0; i < count; ++i) {
        if (!check_socket(first_fd + i, taken.bound[i])) {
            taken.count = 0;
            return false;
        }
        taken.fd[i] = first_fd + i;
    }
    taken.count = static_cast<int>(count);
    return true;
}

bool take_inherited_sockets(InheritedSockets& taken) {
    return take_inherited_sockets_from(kFirstInheritedFd, taken);
}

}  // namespace varkel
