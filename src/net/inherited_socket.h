// The UDP sockets a service manager may hand over (socket activation): it
// sets LISTEN_PID to the daemon's process id and LISTEN_FDS to the number of
// descriptors it passed, from descriptor 3 on. The service manager then
// decides the addresses the daemon listens on (127.0.0.1 and ::1, in the
// shipped socket unit).
#pragma once

#include <sys/socket.h>

namespace varkel {

inline constexpr int kFirstInheritedFd = 3;
// One socket per address family: loopback is 127.0.0.1 and ::1.
inline constexpr int kMaxInheritedSockets = 2;

struct InheritedSockets {
    int count = 0;
    int fd[kMaxInheritedSockets] = {};
    sockaddr_storage bound[kMaxInheritedSockets] = {};  // each one's address
};

// Takes the sockets passed to this process, if any. Reads and then removes
// LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES, so that nothing started later
// mistakes them for its own. True with the sockets taken, count 0 when
// nothing was passed to this process; false, after an error report, when
// what was passed is not one or two bound IPv4 or IPv6 datagram sockets.
[[nodiscard]] bool take_inherited_sockets(InheritedSockets& taken);

// The same with the passed descriptors starting at first_fd (tests).
[[nodiscard]] bool take_inherited_sockets_from(int first_fd, InheritedSockets& taken);

}  // namespace varkel
