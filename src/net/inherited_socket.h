// The UDP socket a service manager may hand over (socket activation): it
// sets LISTEN_PID to the daemon's process id and LISTEN_FDS to the number of
// descriptors it passed, from descriptor 3 on. The service manager then
// decides the address the daemon listens on (loopback, in the shipped
// socket unit).
#pragma once

#include <netinet/in.h>

namespace varkel {

inline constexpr int kFirstInheritedFd = 3;
inline constexpr int kNoInheritedSocket = -1;

// Takes the socket passed to this process, if any. Reads and then removes
// LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES, so that nothing started later
// mistakes them for its own. True with fd the socket and bound its address,
// or with fd kNoInheritedSocket when nothing was passed to this process;
// false, after an error report, when what was passed is not exactly one
// bound IPv4 datagram socket.
[[nodiscard]] bool take_inherited_socket(int& fd, sockaddr_in& bound);

// The same with the passed descriptors starting at first_fd (tests).
[[nodiscard]] bool take_inherited_socket_from(int first_fd, int& fd, sockaddr_in& bound);

}  // namespace varkel
