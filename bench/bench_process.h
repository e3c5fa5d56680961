// What the benchmark programs share to run the daemon, the floor program
// and the helpers around them: the clock, files, a UDP client, starting a
// child as a given user with a given scheduling, and ending it by its PID.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bench_analysis.h"

namespace bench {

int64_t monotonic_ns();
void sleep_until(int64_t t_ns);
void sleep_ms(int ms);

std::string read_file(const std::string& path);
// The last line of a program's output that is not empty, to say why it
// failed; "no output" when there is none.
std::string last_line(const std::string& text);
// Size of a file, -1 when it is not there.
long long file_size(const std::string& path);
void remove_tree(const std::string& path);
// Other work on the machine shows in every number: how busy it was.
std::string load_average();

int free_udp_port();

// The options of a bench that repeats tries: --quick, --tries N, --keep.
struct TryOptions {
    int tries = 0;
    bool keep = false;
};
// False for any other argument or no tries; tries holds its default.
bool parse_try_options(int argc, char** argv, int quick_tries, TryOptions& options);
// A fresh directory /tmp/<prefix>-XXXXXX for a run's logs; empty (and
// said) when it cannot be made.
std::string make_run_dir(const char* prefix);
// The end of a run: its logs are kept when asked for or when it failed,
// else removed; the exit status of the run.
int finish_run(const std::string& dir, bool keep, bool ran);

class Client {
  public:
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // The time just before the datagram went out.
    int64_t send(int port, const char* text) const;
    // The next datagram that comes back within timeout_ms: the time it was
    // read, 0 when none came.
    int64_t receive(std::string& text, int timeout_ms) const;

  private:
    int fd_;
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// How a child runs. By default as the bench's own user with the normal
// scheduling policy, whatever the bench itself has.
struct ChildSetup {
    int fifo_priority = 0;  // SCHED_FIFO at this priority, as chrt -f does
    bool as_user = false;   // as uid/gid with RLIMIT_RTPRIO 0, as prlimit and setpriv do
    uid_t uid = 0;
    gid_t gid = 0;
    bool own_group = false;  // its own process group, ended as a whole
};

// Starts args[0] with the environment added and stdout and stderr in
// output; -1 when it could not fork. A child that cannot be set up or
// exec'd says why in output and exits with 127. The child is sent SIGTERM
// when the bench ends, so nothing outlives a bench that was interrupted.
pid_t spawn(const std::vector<std::string>& args, const Environment& env, const std::string& output,
            const ChildSetup& setup = {});
// True once the child has ended within timeout_ms; its status in *status.
bool wait_for_exit(pid_t pid, int timeout_ms, int* status = nullptr);
// Sends signal to the child (to its group when it has its own), waits up
// to timeout_ms, then kills it. Says so when it had to kill.
void end_child(pid_t pid, int signal, int timeout_ms, const char* name, bool group = false);
// Runs a short command to its end; true when it exited with status 0.
bool run_command(const std::vector<std::string>& args, const Environment& env,
                 const std::string& output, int timeout_ms);

enum Subject { kDaemon = 0, kFloor = 1, kSubjects = 2 };
inline constexpr const char* kSubjectNames[kSubjects] = {"varkel", "libcw floor"};

// How to start one of the two programs measured.
struct Launch {
    Subject subject = kDaemon;
    int wpm = 60;
    char sound = 'n';                      // the daemon's -x letter: n or p
    std::string tag;                       // path prefix of its logs
    bool debug_log = false;                // the daemon's log at DD
    int ptt_delay_ms = 0;                  // the daemon's -t
    std::vector<std::string> daemon_args;  // more of the daemon's options
    int settle_ms = 300;                   // after registration, before it is handed text
    Environment env;                       // added to the probe's and the port's
    ChildSetup setup;
};

struct Instance {
    Subject subject = kDaemon;
    pid_t pid = -1;
    int udp_port = 0;
    std::string port_log;
    std::string probe_log;
    std::string output;
};

// Starts the program with the simulated port and the keying probe
// preloaded; true once it has registered its keying callback (its socket is
// open by then) and settled.
bool start(Instance& instance, const Launch& launch);
// SIGINT, then waits for the exit (libcw takes about a second to stop).
void request_stop(const Instance& instance);
void await_stop(Instance& instance);
void stop(Instance& instance);

// The platform probe (bench/platform_probe.cpp) beside the programs: at
// SCHED_FIFO fifo_priority when that is above 0 and allowed, else at the
// normal policy; as the user setup names. Its report goes to tag.platform.
struct PlatformProbe {
    pid_t pid = -1;
    std::string output;
};
bool start_platform_probe(PlatformProbe& probe, const std::string& tag, int fifo_priority,
                          const ChildSetup& setup = {});
// Ends it and reads its report; an incomplete one when it did not run.
PlatformLog stop_platform_probe(PlatformProbe& probe);

// The level changes of DTR, the key line, on the simulated serial port.
std::vector<Edge> read_port_edges(const std::string& path);
// The same of RTS, the PTT line (down: PTT on).
std::vector<Edge> read_ptt_edges(const std::string& path);

// The time of the first edge in the direction at or after from_ns on the
// program's port, 0 when none came within timeout_ms.
inline constexpr int kEdgeTimeoutMs = 3000;
int64_t await_edge(const Instance& instance, int64_t from_ns, bool down,
                   int timeout_ms = kEdgeTimeoutMs);

}  // namespace bench
