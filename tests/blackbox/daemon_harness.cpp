#include "blackbox/daemon_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace harness {

namespace {

using Clock = std::chrono::steady_clock;

int decode_status(int raw) {
    if (WIFEXITED(raw)) {
        return WEXITSTATUS(raw);
    }
    if (WIFSIGNALED(raw)) {
        return 128 + WTERMSIG(raw);
    }
    return -1;
}

pid_t spawn(const std::vector<std::string>& args, const Env& env, const std::string& out_path,
            const std::string& err_path, bool preload, const std::vector<int>& passed_fds = {},
            int out_to = -1) {
    const pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    // Child: a process group of its own so a detached daemon can be found.
    setpgid(0, 0);
    const int in_fd = open("/dev/null", O_RDONLY);
    const int out_fd =
        out_to != -1 ? out_to : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (!passed_fds.empty()) {
        // As a service manager passes sockets, from descriptor 3 on; env may
        // still change the variables. Out of the way first, so that no
        // socket is overwritten by another before it has been moved.
        std::vector<int> moved;
        for (const int fd : passed_fds) {
            moved.push_back(fcntl(fd, F_DUPFD, 100));
        }
        for (size_t i = 0; i < moved.size(); ++i) {
            dup2(moved[i], static_cast<int>(3 + i));
        }
        setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
        setenv("LISTEN_FDS", std::to_string(passed_fds.size()).c_str(), 1);
    }
    for (const auto& [name, value] : env) {
        if (name == kRefuseRealtime) {
            // As for an ordinary user: no real-time limit, and root's
            // capability to pass it is gone from the daemon's exec on.
            const rlimit none{0, 0};
            setrlimit(RLIMIT_RTPRIO, &none);
            prctl(PR_CAPBSET_DROP, CAP_SYS_NICE, 0, 0, 0);
            continue;
        }
        setenv(name.c_str(), value.c_str(), 1);
    }
    if (preload) {
        setenv("LD_PRELOAD", SIMPORT_LIBRARY, 1);
        // A sanitized daemon wants its runtime first among the libraries;
        // the simulated ports only wrap system calls, which it tolerates.
        const char* asan = getenv("ASAN_OPTIONS");
        std::string options = asan == nullptr ? "" : std::string(asan) + ":";
        options += "verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", options.c_str(), 1);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(VARKEL_BINARY));
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execv(VARKEL_BINARY, argv.data());
    _exit(127);
}

int wait_child(pid_t pid, int timeout_ms, bool& exited) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int raw = 0;
        const pid_t done = waitpid(pid, &raw, WNOHANG);
        if (done == pid) {
            exited = true;
            return decode_status(raw);
        }
        if (Clock::now() >= deadline) {
            exited = false;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

std::string make_temp_dir() {
    char pattern[] = "/tmp/varkel-test-XXXXXX";
    const char* dir = mkdtemp(pattern);
    return dir == nullptr ? std::string("/tmp") : std::string(dir);
}

int free_udp_port() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    const int port = ntohs(address.sin_port);
    // The daemon accepts ports from 1024 up only.
    return port < 1024 ? free_udp_port() : port;
}

int open_descriptors(pid_t pid) {
    std::error_code error;
    std::filesystem::directory_iterator entries("/proc/" + std::to_string(pid) + "/fd", error);
    if (error) {
        return -1;
    }
    int count = 0;
    for (auto entry = entries; entry != std::filesystem::directory_iterator();
         entry.increment(error)) {
        ++count;
    }
    return count;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        lines.push_back(line);
    }
    return lines;
}

bool wait_for_udp_port(int port, int timeout_ms) {
    char local[16];
    snprintf(local, sizeof local, ":%04X ", port);
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (read_file("/proc/net/udp").find(local) != std::string::npos) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

RunResult run_to_exit(const std::vector<std::string>& args, int timeout_ms, const Env& env) {
    const std::string dir = make_temp_dir();
    const std::string out_path = dir + "/stdout";
    const std::string err_path = dir + "/stderr";
    const pid_t pid = spawn(args, env, out_path, err_path, false);
    RunResult result;
    bool exited = false;
    result.status = wait_child(pid, timeout_ms, exited);
    if (!exited) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        result.status = -1;
    }
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    std::filesystem::remove_all(dir);
    return result;
}

Daemon::Daemon() : dir_(make_temp_dir()) {}

Daemon::~Daemon() {
    if (pid_ > 0 && status_ == -1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::filesystem::remove_all(dir_);
}

bool Daemon::start(const std::vector<std::string>& args, const Env& env, bool preload) {
    pid_ = spawn(args, env, dir_ + "/stdout", dir_ + "/stderr", preload, passed_fds_, out_to_);
    status_ = -1;
    return pid_ > 0;
}

bool Daemon::start_foreground(const std::vector<std::string>& extra, const Env& env, bool preload) {
    port_ = free_udp_port();
    std::vector<std::string> args = {"-n", "-x", "n", "-y", "d", "-p", std::to_string(port_)};
    args.insert(args.end(), extra.begin(), extra.end());
    if (!start(args, env, preload)) {
        return false;
    }
    // The main loop runs once the keying callback has been registered and
    // the socket is open; the first datagram is then read.
    return wait_for_output("Press ^C to quit", 5000) && wait_for_output("starting generator", 5000);
}

std::string Daemon::out() const {
    return read_file(dir_ + "/stdout");
}
std::string Daemon::err() const {
    return read_file(dir_ + "/stderr");
}

size_t Daemon::count_output(const std::string& text) const {
    const std::string all = out();
    size_t count = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
        ++count;
    }
    return count;
}

bool Daemon::wait_for_output(const std::string& text, int timeout_ms, size_t count) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < deadline) {
        if (count_output(text) >= count) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return count_output(text) >= count;
}

int Daemon::wait_exit(int timeout_ms) {
    if (status_ != -1) {
        return status_;
    }
    bool exited = false;
    const int status = wait_child(pid_, timeout_ms, exited);
    if (exited) {
        status_ = status;
    }
    return exited ? status : -1;
}

bool Daemon::running() {
    if (status_ != -1) {
        return false;
    }
    return wait_exit(0) == -1;
}

void Daemon::signal(int sig) {
    kill(pid_, sig);
}

std::string Daemon::thread_stacks() const {
    const std::string path = dir_ + "/stacks";
    const std::string command =
        "gdb -p " + std::to_string(pid_) + " -batch -ex 'thread apply all bt' >" + path + " 2>&1";
    if (system(command.c_str()) != 0) {
        return "(gdb could not attach)";
    }
    return read_file(path);
}

Client::Client(int family) : family_(family) {
    fd_ = socket(family, SOCK_DGRAM, 0);
    if (family == AF_INET6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

Client::~Client() {
    close(fd_);
}

bool Client::send(const std::string& datagram, int port) const {
    if (family_ == AF_INET6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        return sendto(fd_, datagram.data(), datagram.size(), 0,
                      reinterpret_cast<sockaddr*>(&address),
                      sizeof address) == static_cast<ssize_t>(datagram.size());
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const ssize_t sent = sendto(fd_, datagram.data(), datagram.size(), 0,
                                reinterpret_cast<sockaddr*>(&address), sizeof address);
    return sent == static_cast<ssize_t>(datagram.size());
}

std::optional<std::string> Client::receive(int timeout_ms) const {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) != 1) {
        return std::nullopt;
    }
    char buffer[2048];
    const ssize_t received = recv(fd_, buffer, sizeof buffer, 0);
    if (received < 0) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<size_t>(received));
}

int Client::local_port() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

}  // namespace harness
