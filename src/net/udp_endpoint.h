// The daemon's only input: its UDP sockets (IPv4, and IPv6 where the
// machine has it), their receive step, and the echo channel back to the
// client that asked for it.
#pragma once

#include <sys/select.h>

#include <cstddef>

namespace varkel {

inline constexpr int kEscape = 27;
inline constexpr size_t kReceiveSize = 256;         // bytes read per datagram
inline constexpr size_t kMessageBufferSize = 4000;  // text waiting to be played
inline constexpr size_t kMessageTextLimit = kMessageBufferSize - 1;
// The longest reply is a whole datagram less its ESC (255 characters); the
// low-queue callback sends it with CR, LF and NUL appended.
inline constexpr size_t kReplyTextLimit = kReceiveSize - 1;
inline constexpr size_t kReplyBufferSize = kReplyTextLimit + 3;

// The socket descriptor (IPv4 when the daemon opens its own); 0 while not
// open.
extern int socket_fd;
// A second socket, of the other family (IPv6 on ::1 when the daemon opens
// its own); 0 when there is none, as on a machine without IPv6.
extern int second_socket_fd;

bool open_endpoint();
void close_endpoint_at_exit();  // clean-up handler D

// Adds every open socket to set; returns the highest descriptor added.
int fill_endpoint_fd_set(fd_set* set);

// Reads at most one datagram, from whichever socket has one; 1 after a text
// request, 0 otherwise.
int receive_request();

// Plays the text waiting in the message buffer unless the paddle is in
// use; then it waits, and the main loop calls this again when the paddle's
// thread says it has gone idle.
void play_waiting_text();

// The clean-up and dispatch of receive_request, apart from the socket:
// buffer holds the length bytes received (0 when nothing was waiting) and
// has room for one more.
int handle_datagram(char* buffer, size_t length);

// Marks an echo as pending and remembers the text and the client it goes to.
void prepare_echo_reply(const char* text, size_t length);

// Sends text (ending in CR LF) to the client of the pending echo.
long send_reply(const char* text);

// The low-queue callback's branch 2: sends the reply text with CR LF
// appended (to a copy; the stored text stays as it was prepared). Runs on
// libcw's thread.
void send_echo_reply();

// The reply text as it stands (tests and logs).
void copy_reply_text(char* out, size_t size);

// The message buffer. Its first byte tells libcw's thread whether text is
// still waiting: every write of it goes through these helpers.
char* message_buffer();
bool message_waiting();
void empty_message_buffer();
void store_message_byte(size_t index, char value);

}  // namespace varkel
