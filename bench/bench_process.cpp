#include "bench_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "blackbox/simport_log.h"

namespace bench {

namespace {

constexpr int kReadyTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 5000;
constexpr int kPollMs = 5;
constexpr int kSetupFailed = 127;

constexpr char kDaemonPort[] = "ttyUSB_sim0";
constexpr char kFloorPort[] = "ttyUSB_sim1";

// In the child, between fork and exec: say what failed and end.
[[noreturn]] void child_failed(const char* what) {
    dprintf(STDERR_FILENO, "run_bench: %s: %s\n", what, strerror(errno));
    _exit(kSetupFailed);
}

void set_up_child(const ChildSetup& setup, pid_t parent) {
    sched_param priority{};
    priority.sched_priority = setup.fifo_priority;
    if (setup.fifo_priority > 0) {
        if (sched_setscheduler(0, SCHED_FIFO, &priority) == -1) {
            child_failed("SCHED_FIFO");
        }
    } else if (sched_getscheduler(0) != SCHED_OTHER &&
               sched_setscheduler(0, SCHED_OTHER, &priority) == -1) {
        child_failed("SCHED_OTHER");
    }
    if (setup.as_user) {
        const rlimit no_realtime{0, 0};
        if (setrlimit(RLIMIT_RTPRIO, &no_realtime) == -1) {
            child_failed("RLIMIT_RTPRIO");
        }
        if (setgroups(1, &setup.gid) == -1 || setgid(setup.gid) == -1 || setuid(setup.uid) == -1) {
            child_failed("switching user");
        }
    }
    // After the switch of user, which clears it.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) == -1 || getppid() != parent) {
        child_failed("parent-death signal");
    }
}

}  // namespace

int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void sleep_until(int64_t t_ns) {
    timespec until{};
    until.tv_sec = t_ns / 1'000'000'000;
    until.tv_nsec = t_ns % 1'000'000'000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

void sleep_ms(int ms) {
    sleep_until(monotonic_ns() + static_cast<int64_t>(ms) * 1'000'000);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string last_line(const std::string& text) {
    std::string line;
    std::istringstream lines(text);
    for (std::string next; std::getline(lines, next);) {
        if (!next.empty()) {
            line = next;
        }
    }
    return line.empty() ? "no output" : line;
}

long long file_size(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

void remove_tree(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir != nullptr) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") {
                continue;
            }
            const std::string child = path + "/" + name;
            struct stat info {};
            if (lstat(child.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
                remove_tree(child);
            } else {
                unlink(child.c_str());
            }
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

std::string load_average() {
    std::string load = read_file("/proc/loadavg");
    if (!load.empty() && load.back() == '\n') {
        load.pop_back();
    }
    return load;
}

int free_udp_port() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd != -1 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd != -1) {
        close(fd);
    }
    return port;
}

bool parse_try_options(int argc, char** argv, int quick_tries, TryOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            options.tries = quick_tries;
        } else if (arg == "--tries" && i + 1 < argc) {
            options.tries = std::atoi(argv[++i]);
        } else if (arg == "--keep") {
            options.keep = true;
        } else {
            return false;
        }
    }
    return options.tries > 0;
}

std::string make_run_dir(const char* prefix) {
    std::string path = std::string("/tmp/") + prefix + "-XXXXXX";
    if (mkdtemp(path.data()) == nullptr) {
        perror("run_bench: mkdtemp");
        return "";
    }
    return path;
}

int finish_run(const std::string& dir, bool keep, bool ran) {
    if (keep || !ran) {
        fprintf(stderr, "run_bench: raw logs kept in %s\n", dir.c_str());
    } else {
        remove_tree(dir);
    }
    return ran ? 0 : 1;
}

Client::Client() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {}

Client::~Client() {
    if (fd_ != -1) {
        close(fd_);
    }
}

int64_t Client::send(int port, const char* text) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int64_t sent = monotonic_ns();
    if (sendto(fd_, text, strlen(text), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == -1) {
        perror("run_bench: sendto");
    }
    return sent;
}

int64_t Client::receive(std::string& text, int timeout_ms) const {
    pollfd ready{fd_, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) != 1) {
        return 0;
    }
    char buffer[512];
    const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    const int64_t now = monotonic_ns();
    text.assign(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    return now;
}

pid_t spawn(const std::vector<std::string>& args, const Environment& env, const std::string& output,
            const ChildSetup& setup) {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) {
        if (pid == -1) {
            perror("run_bench: fork");
        }
        return pid;
    }
    if (setup.own_group) {
        setpgid(0, 0);
    }
    for (const auto& [name, value] : env) {
        setenv(name.c_str(), value.c_str(), 1);
    }
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null_in = open("/dev/null", O_RDONLY);
    if (out == -1 || null_in == -1 || dup2(null_in, STDIN_FILENO) == -1 ||
        dup2(out, STDOUT_FILENO) == -1 || dup2(out, STDERR_FILENO) == -1) {
        _exit(kSetupFailed);
    }
    set_up_child(setup, parent);
    std::vector<char*> argv;
    for (const auto& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    child_failed(argv[0]);
}

bool wait_for_exit(pid_t pid, int timeout_ms, int* status) {
    for (int waited = 0;; waited += kPollMs) {
        int raw = 0;
        if (waitpid(pid, &raw, WNOHANG) == pid) {
            if (status != nullptr) {
                *status = raw;
            }
            return true;
        }
        if (waited >= timeout_ms) {
            return false;
        }
        sleep_ms(kPollMs);
    }
}

void end_child(pid_t pid, int signal, int timeout_ms, const char* name, bool group) {
    if (pid <= 0) {
        return;
    }
    kill(group ? -pid : pid, signal);
    if (wait_for_exit(pid, timeout_ms)) {
        return;
    }
    fprintf(stderr, "run_bench: %s (pid %d) did not end on signal %d; killed\n", name,
            static_cast<int>(pid), signal);
    kill(group ? -pid : pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool run_command(const std::vector<std::string>& args, const Environment& env,
                 const std::string& output, int timeout_ms) {
    const pid_t pid = spawn(args, env, output);
    if (pid == -1) {
        return false;
    }
    int status = 0;
    if (!wait_for_exit(pid, timeout_ms, &status)) {
        end_child(pid, SIGKILL, kStopTimeoutMs, args[0].c_str());
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool start(Instance& instance, const Launch& launch) {
    const bool daemon = launch.subject == kDaemon;
    const char* device = daemon ? kDaemonPort : kFloorPort;
    const std::string sound(1, launch.sound);
    instance = Instance{};
    instance.subject = launch.subject;
    instance.udp_port = free_udp_port();
    instance.port_log = launch.tag + ".port";
    instance.probe_log = launch.tag + ".probe";
    instance.output = launch.tag + ".out";

    std::vector<std::string> args;
    if (daemon) {
        args = {VARKEL_BINARY, "-n",
                "-x",          sound,
                "-p",          std::to_string(instance.udp_port),
                "-d",          device,
                "-s",          std::to_string(launch.wpm),
                "-t",          std::to_string(launch.ptt_delay_ms)};
        if (launch.debug_log) {
            args.insert(args.end(), {"-y", "d"});
        }
        args.insert(args.end(), launch.daemon_args.begin(), launch.daemon_args.end());
    } else {
        args = {FLOOR_BINARY, std::to_string(instance.udp_port), device, std::to_string(launch.wpm),
                sound};
    }
    Environment env = {
        {"LD_PRELOAD", std::string(SIMPORT_LIBRARY) + ":" + PROBE_LIBRARY},
        {"SIMPORT_SERIAL", device},
        {"SIMPORT_LOG", instance.port_log},
        {"KEYING_PROBE_LOG", instance.probe_log},
    };
    env.insert(env.end(), launch.env.begin(), launch.env.end());
    instance.pid = spawn(args, env, instance.output, launch.setup);
    if (instance.pid == -1) {
        return false;
    }
    const char* name = kSubjectNames[launch.subject];
    for (int waited = 0; waited < kReadyTimeoutMs; waited += kPollMs) {
        if (parse_probe_log(read_file(instance.probe_log)).registered_ns != 0) {
            sleep_ms(launch.settle_ms);
            return true;
        }
        int status = 0;
        if (waitpid(instance.pid, &status, WNOHANG) == instance.pid) {
            fprintf(stderr, "run_bench: %s ended at start-up (status %d); its output:\n%s\n", name,
                    WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                    read_file(instance.output).c_str());
            instance.pid = -1;
            return false;
        }
        sleep_ms(kPollMs);
    }
    fprintf(stderr, "run_bench: %s did not register its keying callback; its output:\n%s\n", name,
            read_file(instance.output).c_str());
    return false;
}

void request_stop(const Instance& instance) {
    if (instance.pid > 0) {
        kill(instance.pid, SIGINT);
    }
}

void await_stop(Instance& instance) {
    if (instance.pid <= 0) {
        return;
    }
    if (!wait_for_exit(instance.pid, kStopTimeoutMs)) {
        end_child(instance.pid, SIGKILL, kStopTimeoutMs, kSubjectNames[instance.subject]);
        fprintf(stderr, "run_bench: %s did not stop on SIGINT; killed\n",
                kSubjectNames[instance.subject]);
    }
    instance.pid = -1;
}

void stop(Instance& instance) {
    request_stop(instance);
    await_stop(instance);
}

bool start_platform_probe(PlatformProbe& probe, const std::string& tag, int fifo_priority,
                          const ChildSetup& setup) {
    probe.output = tag + ".platform";
    std::vector<std::string> args = {PLATFORM_PROBE};
    if (fifo_priority > 0) {
        args.insert(args.end(), {"--fifo", std::to_string(fifo_priority)});
    }
    ChildSetup normal = setup;
    normal.fifo_priority = 0;  // the probe asks for its own, and says when refused
    probe.pid = spawn(args, {}, probe.output, normal);
    return probe.pid != -1;
}

PlatformLog stop_platform_probe(PlatformProbe& probe) {
    if (probe.pid <= 0) {
        return {};
    }
    end_child(probe.pid, SIGTERM, kStopTimeoutMs, "platform probe");
    probe.pid = -1;
    return parse_platform_log(read_file(probe.output));
}

namespace {

std::vector<Edge> read_line_edges(const std::string& path, unsigned line) {
    std::vector<Edge> edges;
    const auto events = simport::read_log(path);
    for (const auto& change : simport::line_timeline(events, "serial", line)) {
        edges.push_back({change.time_ns, change.on});
    }
    return edges;
}

}  // namespace

std::vector<Edge> read_port_edges(const std::string& path) {
    return read_line_edges(path, simport::kDtr);
}

std::vector<Edge> read_ptt_edges(const std::string& path) {
    return read_line_edges(path, simport::kRts);
}

int64_t await_edge(const Instance& instance, int64_t from_ns, bool down, int timeout_ms) {
    // The port's log is read this often while the edge is awaited.
    constexpr int kPollMicroseconds = 300;
    const int64_t deadline = monotonic_ns() + int64_t{timeout_ms} * 1'000'000;
    while (monotonic_ns() < deadline) {
        for (const Edge& edge : read_port_edges(instance.port_log)) {
            if (edge.t_ns >= from_ns && edge.down == down) {
                return edge.t_ns;
            }
        }
        usleep(kPollMicroseconds);
    }
    return 0;
}

}  // namespace bench
