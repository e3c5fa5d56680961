#include "paddle_bench.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_analysis.h"
#include "bench_process.h"
#include "blackbox/simport_log.h"

namespace bench {

namespace {

constexpr int kDefaultTries = 20;
constexpr int kWpm = 20;  // the example's speed: dot 60 ms
constexpr int64_t kNsPerMs = 1'000'000;
constexpr int kIdleSeconds = 10;
constexpr int kReplyTimeoutMs = 2000;

constexpr double kClosureP99TargetMs = 1.0;
constexpr double kClosureMaxTargetMs = 2.0;
constexpr double kElementErrorP99TargetMs = 0.1;
constexpr double kTimelineBoundMs = 0.5;  // shorter than ideal by more: counted
constexpr double kBreakKeyUpTargetMs = 1.0;
constexpr double kBreakReplyTargetMs = 5.0;

struct Options {
    int tries = kDefaultTries;
    bool keep = false;
};

// The simulated port's fifo, through which the bench moves the contacts.
class Contacts {
  public:
    explicit Contacts(const std::string& path) : path_(path) {
        mkfifo(path.c_str(), 0600);
        fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC);
    }
    ~Contacts() {
        if (fd_ != -1) {
            close(fd_);
        }
    }
    Contacts(const Contacts&) = delete;
    Contacts& operator=(const Contacts&) = delete;
    void set(const char* line) const {
        const std::string text = std::string(line) + "\n";
        const ssize_t written = write(fd_, text.data(), text.size());
        (void)written;
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    int fd_ = -1;
};

// One step of a pattern: at ms from its start, the contacts become line.
struct Step {
    double at_ms;
    const char* line;
};

struct Pattern {
    const char* name;
    std::vector<Step> steps;
    const char* expected;
    int wpm;
    double idle_after_ms;  // the last element's end and a word space after it
};

double dot_ms(int wpm) {
    return 1200.0 / wpm;
}

// The example, at 20 wpm: dit at 0, dah at 5 ms, both released at 570 ms,
// inside the second dash (480-660 ms).
const Pattern kSqueezeB{"mode B: squeeze released in the 2nd dash",
                        {{0, "dsr=1"}, {5, "cts=1"}, {570, "dsr=0 cts=0"}},
                        ".-.-.",
                        kWpm,
                        780 + 7 * dot_ms(kWpm) + 40};
const Pattern kSqueezeA{"mode A: squeeze released in the 2nd dash", kSqueezeB.steps, ".-.-", kWpm,
                        kSqueezeB.idle_after_ms};
// The others at 40 wpm (dot 30 ms), releases half an element from a
// decision.
constexpr int kFastWpm = 40;
const Pattern kDitHeld{"mode B: dit held 150 ms",
                       {{0, "dsr=1"}, {150, "dsr=0"}},
                       "...",
                       kFastWpm,
                       150 + 7 * dot_ms(kFastWpm) + 40};
const Pattern kDahHeld{"mode A: dah held 200 ms",
                       {{0, "cts=1"}, {200, "cts=0"}},
                       "--",
                       kFastWpm,
                       210 + 7 * dot_ms(kFastWpm) + 40};
const Pattern kMemoryB{"mode B: dah tapped inside a dot",
                       {{0, "dsr=1"}, {10, "dsr=0"}, {15, "cts=1"}, {20, "cts=0"}},
                       ".-",
                       kFastWpm,
                       150 + 7 * dot_ms(kFastWpm) + 40};
const Pattern kMemoryA{"mode A: dah tapped inside a dot", kMemoryB.steps, ".-", kFastWpm,
                       kMemoryB.idle_after_ms};

struct Input {
    int64_t t_ns;
    unsigned state;
};

// The port's log from a byte offset on: the part a try made.
std::vector<simport::Event> events_from(const std::string& port_log, size_t offset) {
    const std::string text = read_file(port_log);
    return simport::parse_log(offset < text.size() ? text.substr(offset) : std::string());
}

size_t log_size(const std::string& port_log) {
    const long long size = file_size(port_log);
    return size < 0 ? 0 : static_cast<size_t>(size);
}

std::vector<Input> inputs_of(const std::vector<simport::Event>& events) {
    std::vector<Input> found;
    for (const auto& event : events) {
        if (event.request == "INPUT") {
            found.push_back({event.time_ns, event.state});
        }
    }
    return found;
}

// Key edges from the time on. The timeline's first entry is the level the
// events begin with, not an edge.
std::vector<Edge> edges_from(const std::vector<simport::Event>& events, int64_t from) {
    std::vector<Edge> kept;
    const auto timeline = simport::line_timeline(events, "serial", simport::kDtr);
    for (size_t i = 1; i < timeline.size(); ++i) {
        if (timeline[i].time_ns >= from) {
            kept.push_back({timeline[i].time_ns, timeline[i].on});
        }
    }
    return kept;
}

// What a run of key edges sends: '.' or '-' for each mark.
std::string elements_of(const std::vector<Edge>& edges, double dot) {
    std::string sent;
    for (size_t i = 0; i + 1 < edges.size(); ++i) {
        if (edges[i].down && !edges[i + 1].down) {
            const double ms = static_cast<double>(edges[i + 1].t_ns - edges[i].t_ns) / 1e6;
            sent += ms < 2 * dot ? '.' : '-';
        }
    }
    return sent;
}

struct Results {
    std::vector<double> closure_ms;
    std::vector<double> element_error_ms;
    int short_elements = 0;
    std::vector<double> break_up_ms;
    std::vector<double> break_reply_ms;
    int break_missed = 0;
};

// Each mark and each space between two marks against its ideal.
void measure_elements(const std::vector<Edge>& edges, double dot, Results& results) {
    for (size_t i = 0; i + 1 < edges.size(); ++i) {
        const double ms = static_cast<double>(edges[i + 1].t_ns - edges[i].t_ns) / 1e6;
        double ideal = 0;
        if (edges[i].down) {
            ideal = ms < 2 * dot ? dot : 3 * dot;
        } else if (ms < 2 * dot) {
            ideal = dot;  // an element space; longer ones are pauses
        } else {
            continue;
        }
        results.element_error_ms.push_back(std::fabs(ms - ideal));
        results.short_elements += ms < ideal - kTimelineBoundMs ? 1 : 0;
    }
}

// A pattern played on one daemon.
struct Player {
    const Pattern* pattern;
    const Instance* instance;
    const Contacts* contacts;
    int right = 0;
    size_t offset = 0;
};

// Plays the patterns side by side, each on its own daemon, once.
void play_once(std::vector<Player>& players, Results& results) {
    struct Due {
        double at_ms;
        const Contacts* contacts;
        const char* line;
    };
    std::vector<Due> steps;
    double longest = 0;
    for (Player& player : players) {
        player.offset = log_size(player.instance->port_log);
        for (const Step& step : player.pattern->steps) {
            steps.push_back({step.at_ms, player.contacts, step.line});
        }
        longest = std::max(longest, player.pattern->idle_after_ms);
    }
    std::stable_sort(steps.begin(), steps.end(),
                     [](const Due& a, const Due& b) { return a.at_ms < b.at_ms; });
    const int64_t start = monotonic_ns();
    for (const Due& step : steps) {
        sleep_until(start + static_cast<int64_t>(step.at_ms * 1e6));
        step.contacts->set(step.line);
    }
    sleep_until(start + static_cast<int64_t>(longest * 1e6));
    for (Player& player : players) {
        const auto events = events_from(player.instance->port_log, player.offset);
        const auto inputs = inputs_of(events);
        if (inputs.empty()) {
            continue;
        }
        const double dot = dot_ms(player.pattern->wpm);
        const auto edges = edges_from(events, inputs.front().t_ns);
        if (!edges.empty() && edges.front().down) {
            results.closure_ms.push_back(
                static_cast<double>(edges.front().t_ns - inputs.front().t_ns) / 1e6);
        }
        measure_elements(edges, dot, results);
        const std::string sent = elements_of(edges, dot);
        player.right += sent == player.pattern->expected ? 1 : 0;
        if (sent != player.pattern->expected) {
            fprintf(stderr, "run_bench: %s sent \"%s\", not \"%s\"\n", player.pattern->name,
                    sent.c_str(), player.pattern->expected);
        }
    }
}

// A text of dashes, broken into by a closure 30 ms into a dash.
void break_in(const Client& client, const Instance& instance, const Contacts& contacts, int tries,
              Results& results) {
    for (int attempt = 0; attempt < tries; ++attempt) {
        const size_t offset = log_size(instance.port_log);
        const int64_t sent = client.send(instance.udp_port, "TTTTTTTT^");
        int64_t down = 0;
        for (int waited = 0; waited < 1000 && down == 0; ++waited) {
            for (const Edge& edge : edges_from(events_from(instance.port_log, offset), sent)) {
                if (edge.down) {
                    down = edge.t_ns;
                    break;
                }
            }
            sleep_ms(1);
        }
        if (down == 0) {
            ++results.break_missed;
            continue;
        }
        sleep_until(down + 30 * kNsPerMs);
        const size_t closing = log_size(instance.port_log);
        contacts.set("dsr=1");
        std::string reply;
        const int64_t replied = client.receive(reply, kReplyTimeoutMs);
        sleep_ms(20);
        contacts.set("dsr=0");
        sleep_ms(static_cast<int>(dot_ms(kWpm) * 3 + 7 * dot_ms(kWpm)) + 100);
        const auto events = events_from(instance.port_log, closing);
        const auto inputs = inputs_of(events);
        if (inputs.empty() || (inputs.front().state & simport::kDtr) == 0 || reply != "break\r\n") {
            ++results.break_missed;  // the dash had ended, or no notice came
            continue;
        }
        const int64_t closed = inputs.front().t_ns;
        const auto edges = edges_from(events, closed);
        if (edges.empty() || edges.front().down) {
            ++results.break_missed;
            continue;
        }
        results.break_up_ms.push_back(static_cast<double>(edges.front().t_ns - closed) / 1e6);
        // The reply's time is read on the bench's clock, as the port's log.
        results.break_reply_ms.push_back(static_cast<double>(replied - closed) / 1e6);
    }
}

// CPU time of every thread of the process so far, in ns.
int64_t cpu_ns(pid_t pid) {
    int64_t total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* directory = opendir(tasks.c_str());
    if (directory == nullptr) {
        return 0;
    }
    while (const dirent* task = readdir(directory)) {
        if (task->d_name[0] != '.') {
            total += std::atoll(read_file(tasks + "/" + task->d_name + "/schedstat").c_str());
        }
    }
    closedir(directory);
    return total;
}

void print_row(const char* name, const std::vector<double>& ms, double p99_target,
               double max_target, const char* unit_target) {
    const Summary summary = summarize(ms);
    const bool within = summary.count > 0 && summary.p99 <= p99_target &&
                        (max_target == 0 || summary.max <= max_target);
    printf("%-40s %4zu  %8.3f  %8.3f  %8.3f   %s  %s\n", name, summary.count, summary.p50,
           summary.p99, summary.max, unit_target, within ? "ok" : "OVER");
}

bool launch(Instance& instance, const std::string& dir, const std::string& name,
            const Contacts* contacts, const char* keyer) {
    Launch launch;
    launch.wpm = kWpm;
    launch.tag = dir + "/" + name;
    if (contacts != nullptr) {
        launch.env = {{"SIMPORT_INPUT_FIFO", contacts->path()}};
        launch.daemon_args = {"-o", "paddle=dsr,cts", "-o", keyer};
    }
    return start(instance, launch);
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--tries" && i + 1 < argc) {
            options.tries = std::atoi(argv[++i]);
        } else if (arg == "--keep") {
            options.keep = true;
        } else {
            return false;
        }
    }
    return options.tries > 0;
}

}  // namespace

int run_paddle(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        fprintf(stderr, "usage: run_bench --paddle [--tries N] [--keep]\n");
        return 2;
    }
    char dir_template[] = "/tmp/varkel-paddle-XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
        perror("run_bench: mkdtemp");
        return 1;
    }
    const std::string dir = dir_template;
    printf(
        "paddle on the simulated serial port (dot DSR, dash CTS), %d wpm, null audio, no PTT "
        "delay, %d tries a pattern\n",
        kWpm, options.tries);
    printf("machine: %ld CPUs, load average %s\n\n", sysconf(_SC_NPROCESSORS_ONLN),
           load_average().c_str());

    const Contacts contacts_b(dir + "/inputs-b");
    const Contacts contacts_a(dir + "/inputs-a");
    Instance mode_b;
    Instance mode_a;
    Instance plain;
    bool ran = launch(mode_b, dir, "iambic-b", &contacts_b, "keyer=iambic-b") &&
               launch(mode_a, dir, "iambic-a", &contacts_a, "keyer=iambic-a") &&
               launch(plain, dir, "no-paddle", nullptr, nullptr);
    Results results;
    struct Count {
        std::string name;
        int right;
    };
    std::vector<Count> counts;
    int64_t idle_paddle_ns = 0;
    int64_t idle_plain_ns = 0;
    if (ran) {
        // Both idle over the same seconds: the paddle's thread waits in
        // TIOCMIWAIT, the other daemon has no such thread.
        fprintf(stderr, "run_bench: %d s idle, with and without the paddle\n", kIdleSeconds);
        const int64_t paddle_before = cpu_ns(mode_b.pid);
        const int64_t plain_before = cpu_ns(plain.pid);
        sleep_ms(kIdleSeconds * 1000);
        idle_paddle_ns = cpu_ns(mode_b.pid) - paddle_before;
        idle_plain_ns = cpu_ns(plain.pid) - plain_before;

        fprintf(stderr, "run_bench: iambic patterns\n");
        const Client client;
        std::vector<Player> squeeze{{&kSqueezeB, &mode_b, &contacts_b},
                                    {&kSqueezeA, &mode_a, &contacts_a}};
        for (int attempt = 0; attempt < options.tries; ++attempt) {
            play_once(squeeze, results);
        }
        const std::string faster =
            "\x1b"
            "2" +
            std::to_string(kFastWpm);
        client.send(mode_b.udp_port, faster.c_str());
        client.send(mode_a.udp_port, faster.c_str());
        sleep_ms(50);
        std::vector<Player> held{{&kDitHeld, &mode_b, &contacts_b},
                                 {&kDahHeld, &mode_a, &contacts_a}};
        std::vector<Player> memory{{&kMemoryB, &mode_b, &contacts_b},
                                   {&kMemoryA, &mode_a, &contacts_a}};
        for (int attempt = 0; attempt < options.tries; ++attempt) {
            play_once(held, results);
            play_once(memory, results);
        }
        for (const auto* players : {&squeeze, &held, &memory}) {
            for (const Player& player : *players) {
                counts.push_back(
                    {std::string(player.pattern->name) + " -> " + player.pattern->expected,
                     player.right});
            }
        }
        const std::string example_speed =
            "\x1b"
            "2" +
            std::to_string(kWpm);
        client.send(mode_b.udp_port, example_speed.c_str());
        sleep_ms(50);
        fprintf(stderr, "run_bench: break-in\n");
        break_in(client, mode_b, contacts_b, options.tries / 2, results);
    }
    // Side by side: each takes libcw's second to stop its generator.
    for (Instance* instance : {&mode_b, &mode_a, &plain}) {
        if (instance->pid != -1) {
            request_stop(*instance);
        }
    }
    for (Instance* instance : {&mode_b, &mode_a, &plain}) {
        if (instance->pid != -1) {
            await_stop(*instance);
        }
    }
    if (ran) {
        printf("%-40s %4s  %8s  %8s  %8s   %s\n", "ms", "n", "p50", "p99", "max", "target");
        print_row("contact closed -> key down", results.closure_ms, kClosureP99TargetMs,
                  kClosureMaxTargetMs, "p99 <= 1, max <= 2 ms");
        print_row("element and space |error|", results.element_error_ms, kElementErrorP99TargetMs,
                  0, "p99 <= 0.1 ms");
        printf("elements short by more than %.1f ms: %d (target 0)\n", kTimelineBoundMs,
               results.short_elements);
        print_row("break-in: closure -> key up", results.break_up_ms, kBreakKeyUpTargetMs, 0,
                  "p99 <= 1 ms");
        print_row("break-in: closure -> \"break\"", results.break_reply_ms, kBreakReplyTargetMs, 0,
                  "p99 <= 5 ms");
        if (results.break_missed != 0) {
            printf("break-in tries left out (dash over, or no notice): %d\n", results.break_missed);
        }
        for (const Count& count : counts) {
            printf("%-52s %2d of %2d  %s\n", count.name.c_str(), count.right, options.tries,
                   count.right == options.tries ? "ok" : "WRONG");
        }
        const double extra_ms = static_cast<double>(idle_paddle_ns - idle_plain_ns) / 1e6;
        printf(
            "CPU over %d s idle: %.3f ms with the paddle, %.3f ms without: %+.3f ms "
            "(target 0)\n",
            kIdleSeconds, static_cast<double>(idle_paddle_ns) / 1e6,
            static_cast<double>(idle_plain_ns) / 1e6, extra_ms);
        printf("load average at the end: %s\n", load_average().c_str());
    }
    return finish_run(dir, options.keep, ran);
}

}  // namespace bench
