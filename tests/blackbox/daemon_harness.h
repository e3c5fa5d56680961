// Runs the real varkel binary for black-box tests: its standard output and
// error go to files, clients talk to it over loopback UDP.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace harness {

using Env = std::vector<std::pair<std::string, std::string>>;

// Not set in the environment: an entry of this name in an Env starts the
// daemon without the right to real-time scheduling.
inline constexpr const char* kRefuseRealtime = "harness:refuse-realtime";

// A fresh directory under /tmp for one test's files; removed by the caller.
std::string make_temp_dir();

// A UDP port on 127.0.0.1 that is free right now.
int free_udp_port();

struct RunResult {
    int status = -1;  // exit status, or -1 if it did not exit in time
    std::string out;
    std::string err;
};

// Runs varkel with the arguments to its end (killed after the timeout).
RunResult run_to_exit(const std::vector<std::string>& args, int timeout_ms = 10000,
                      const Env& env = {});

class Daemon {
  public:
    Daemon();
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Starts varkel with the arguments. With preload, the simulated ports
    // library is preloaded (env carries its settings).
    bool start(const std::vector<std::string>& args, const Env& env = {}, bool preload = false);

    // Starts varkel in the foreground on null audio with the debug log at
    // DD on a free port, plus the extra arguments.
    bool start_foreground(const std::vector<std::string>& extra = {}, const Env& env = {},
                          bool preload = false);

    // The next start passes the sockets from descriptor 3 on the way a
    // service manager does, with LISTEN_PID (varkel's process id) and
    // LISTEN_FDS their number.
    void pass_socket(int fd) { passed_fds_ = {fd}; }
    void pass_sockets(std::vector<int> fds) { passed_fds_ = std::move(fds); }
    // The next start writes standard output to fd (a pipe, say) instead of
    // the file that out() reads.
    void output_to(int fd) { out_to_ = fd; }

    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    const std::string& dir() const { return dir_; }

    std::string out() const;
    std::string err() const;

    // Waits until standard output holds the text (count times); false on timeout.
    bool wait_for_output(const std::string& text, int timeout_ms = 5000, size_t count = 1) const;
    size_t count_output(const std::string& text) const;

    // Waits for the process to end: its exit status, or -1 on timeout, or
    // 128+signal when killed by a signal.
    int wait_exit(int timeout_ms = 10000);
    // Every thread's stack of the running daemon, when gdb is installed:
    // what a test that finds the daemon stuck prints to explain it.
    std::string thread_stacks() const;
    bool running();
    void signal(int sig);

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string dir_;
    int status_ = -1;
    std::vector<int> passed_fds_;
    int out_to_ = -1;
};

// A client on 127.0.0.1 (or ::1, for AF_INET6) with its own UDP socket,
// sending to the same loopback address.
class Client {
  public:
    explicit Client(int family = AF_INET);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    bool send(const std::string& datagram, int port) const;
    std::optional<std::string> receive(int timeout_ms) const;
    int local_port() const;

  private:
    int family_;
    int fd_ = -1;
};

// Waits until some socket is bound to the UDP port (a detached daemon binds
// it after its parent has left); false on timeout.
bool wait_for_udp_port(int port, int timeout_ms = 5000);

// The descriptors a process has open (-1 when it is gone).
int open_descriptors(pid_t pid);

// Reads a whole file; empty when absent.
std::string read_file(const std::string& path);

// The lines of a text.
std::vector<std::string> split_lines(const std::string& text);

}  // namespace harness
