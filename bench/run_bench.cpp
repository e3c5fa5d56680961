// Measures the daemon and the floor program (bench/libcw_floor.cpp) side by
// side in one run and prints one table. Both run on null audio with the
// simulated serial port and the keying probe preloaded: the port records the
// time of every DTR change, the probe the time libcw called the keying
// callback, and this program the time just before each sendto.
//
//   run_bench [--quick] [--samples N] [--idle SECONDS] [--debug-log] [--keep]
//   run_bench --station [--texts N] [--resets N] [--sound npw] [--keep]
//   run_bench --abort [--quick] [--tries N] [--keep]
//   run_bench --keyboard [--quick] [--tries N] [--keep]
//   run_bench --paddle [--tries N] [--keep]
//
//   --abort         how fast an abort lifts the key instead (bench/abort_bench.h)
//   --keyboard      keyboard sending with PTT tail and hang (bench/keyboard_bench.h)
//   --paddle        the paddle instead (bench/paddle_bench.h)
//   --station       the station matrix instead (bench/station.h): sound
//                   system, load and real-time scheduling, each row beside
//                   the floor under the same conditions
//   --quick         50 latency samples, 3 texts after each reset request and
//                   10 s of idle (a minute in all)
//   --samples N     single-character texts per program for the latency (200)
//   --idle SECONDS  length of the idle CPU measurement (60)
//   --debug-log     run the daemon with its debug log at DD (-y d)
//   --keep          keep the raw logs and print where they are
//
// Numbers only: nothing here fails because a number is over its target.
// The exit status is 1 only when the run itself could not be made.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "abort_bench.h"
#include "bench_analysis.h"
#include "bench_process.h"
#include "keyboard_bench.h"
#include "paddle_bench.h"
#include "station.h"

namespace {

using bench::Client;
using bench::Edge;
using bench::Instance;
using bench::kDaemon;
using bench::kFloor;
using bench::kSubjectNames;
using bench::kSubjects;
using bench::read_file;
using bench::read_port_edges;
using bench::sleep_ms;
using bench::sleep_until;
using bench::Subject;
using bench::Summary;

constexpr int kDefaultSamples = 200;
constexpr int kDefaultIdleSeconds = 60;
constexpr int kQuickSamples = 50;
constexpr int kQuickIdleSeconds = 10;
constexpr int kWarmupSends = 3;  // not counted: first datagrams meet cold caches

constexpr int kLatencyWpm = 60;
constexpr std::array<int, 2> kTimingSpeeds = {20, 60};
static_assert(kTimingSpeeds.back() == kLatencyWpm, "the latency session times the last speed");
constexpr char kLatencyText[] = "E";
constexpr char kTimingText[] = "PARIS PARIS";
// Two words of 50 dots each with their spaces; the wait allows for more.
constexpr double kTimingTextDots = 120;
constexpr int64_t kTimingMarginNs = 500'000'000;

// "E" at 60 wpm is one 20 ms dot and 60 ms of character space; 150 ms
// between sends leaves the queue empty when the next one arrives.
constexpr int64_t kLatencySpacingNs = 150'000'000;
// A send within three dots after a key-up may still find the character
// space in the queue: such samples are left out.
constexpr double kQuietDots = 3;

constexpr int kIdleSettleMs = 1000;  // before the idle measurement starts

// A text sent right after a request that makes a new generator: libcw's own
// stop and start take about 1.1 s, the floor's reset shows it.
constexpr int kDefaultResetTries = 10;
constexpr int kQuickResetTries = 3;
struct ResetRequest {
    const char* request;
    const char* name;
    bool floor_knows;  // the floor program answers only the reset
    bool in_tune;      // sent a while into a tune of 3 s
};
constexpr std::array<ResetRequest, 3> kResetRequests = {{
    {"\x1b"
     "0",
     "ESC 0", true, false},
    {"\x1b"
     "fn",
     "ESC f", false, false},
    {"\x1b"
     "0",
     "ESC 0 in a tune", false, true},
}};
constexpr char kTuneRequest[] =
    "\x1b"
    "c3";
constexpr int kIntoTuneMs = 300;
constexpr int kAfterResetTimeoutMs = 5000;
constexpr int kAfterResetSettleMs = 200;  // the text's character space, then quiet

constexpr double kLatencyP99TargetMs = 2.0;
constexpr double kEdgeP99TargetMs = 0.2;
constexpr double kElementMeanTargetMs = 0.01;       // either way
constexpr double kElementMaxTargetMs = 0.1;         // |error|
constexpr double kElementShorteningTargetMs = 0.5;  // the key line's resync bound
constexpr double kAfterResetTargetMs = 150.0;
constexpr double kIdleCpuTargetMs = 5.0;  // per 60 s
constexpr double kIdleTargetSeconds = 60.0;
constexpr double kMemoryTargetMiB = 2.0;  // above the floor
// The probe wakes at the key line's real-time priority, when it may.
constexpr int kProbePriority = 20;

constexpr double kNsPerMs = 1e6;
constexpr double kKiBPerMiB = 1024.0;

struct Options {
    int samples = kDefaultSamples;
    int idle_seconds = kDefaultIdleSeconds;
    int reset_tries = kDefaultResetTries;
    bool debug_log = false;
    bool keep = false;
};

// The programs on null audio as the bench's own user, one log set per
// program and speed.
bench::Launch launch_for(Subject subject, int wpm, const std::string& dir, const Options& options) {
    bench::Launch launch;
    launch.subject = subject;
    launch.wpm = wpm;
    launch.tag = dir + "/" + (subject == kDaemon ? "varkel" : "floor") + "-" + std::to_string(wpm);
    launch.debug_log = options.debug_log;
    return launch;
}

// What one program's run produced, gathered over its sessions.
struct Results {
    std::vector<double> latency_ms;
    size_t latency_busy = 0;
    size_t latency_missing = 0;
    std::vector<double> edge_added_ms;
    size_t callbacks = 0;
    size_t matched = 0;
    std::array<std::vector<double>, kTimingSpeeds.size()> element_error_ms;
    // The same elements as libcw timed them (its keying callbacks): what
    // the port shows beyond this is the program's.
    std::array<std::vector<double>, kTimingSpeeds.size()> libcw_error_ms;
    // The most an element was keyed short, matched to the text.
    double shortest_ms = 0;
    // The elements on the port at every speed, to class the late ones.
    std::vector<bench::Element> elements;
    bench::LateElements late;
    // Datagram to first key-down of a text sent right after each request
    // of kResetRequests, and the texts that were never keyed.
    std::array<std::vector<double>, kResetRequests.size()> after_reset_ms;
    std::array<int, kResetRequests.size()> after_reset_missing{};
    long vm_hwm_kib = -1;
    double idle_cpu_stat_ms = -1;
    double idle_cpu_sched_ms = -1;
};

// CPU time of the whole process in clock ticks (utime + stime).
long cpu_ticks(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t end_of_name = stat.rfind(')');
    if (end_of_name == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(end_of_name + 2));
    std::string field;
    long utime = -1;
    long stime = -1;
    // Fields from the third on: state is 3, utime 14, stime 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) {
            utime = std::atol(field.c_str());
        } else if (number == 15) {
            stime = std::atol(field.c_str());
        }
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

// Time on a CPU of every thread, in nanoseconds, as the scheduler counts it.
long long cpu_sched_ns(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) {
        return -1;
    }
    long long total = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        total += std::atoll(read_file(tasks + "/" + entry->d_name + "/schedstat").c_str());
    }
    closedir(dir);
    return total;
}

long vm_hwm_kib(pid_t pid) {
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::atol(line.c_str() + strlen("VmHWM:"));
        }
    }
    return -1;
}

void collect_edges(const Instance& instance, Results& results) {
    const auto probe = bench::parse_probe_log(read_file(instance.probe_log));
    const auto delays = bench::match_edges(probe.callbacks, read_port_edges(instance.port_log));
    results.edge_added_ms.insert(results.edge_added_ms.end(), delays.added_ms.begin(),
                                 delays.added_ms.end());
    results.callbacks += delays.callbacks;
    results.matched += delays.matched;
}

struct TimingWindow {
    int64_t from_ns = 0;
    int64_t to_ns = 0;
};

TimingWindow send_timing_text(const Client& client, const Instance& instance, int wpm) {
    TimingWindow window;
    window.from_ns = client.send(instance.udp_port, kTimingText);
    window.to_ns = window.from_ns +
                   static_cast<int64_t>(kTimingTextDots * bench::dot_ms(wpm) * kNsPerMs) +
                   kTimingMarginNs;
    sleep_until(window.to_ns);
    return window;
}

void collect_timing(const Instance& instance, const TimingWindow& window, int wpm,
                    size_t speed_index, Results& results) {
    const auto found = bench::elements(read_port_edges(instance.port_log), window.from_ns,
                                       window.to_ns, bench::dot_ms(wpm));
    const auto on_port = bench::element_errors_ms(found);
    for (const double error :
         bench::matched_errors_ms(read_port_edges(instance.port_log), window.from_ns, window.to_ns,
                                  bench::dot_ms(wpm), kTimingText)) {
        results.shortest_ms = std::min(results.shortest_ms, error);
    }
    results.elements.insert(results.elements.end(), found.begin(), found.end());
    const auto in_libcw =
        bench::element_errors_ms(bench::parse_probe_log(read_file(instance.probe_log)).callbacks,
                                 window.from_ns, window.to_ns, bench::dot_ms(wpm));
    auto& port_errors = results.element_error_ms[speed_index];
    auto& libcw_errors = results.libcw_error_ms[speed_index];
    port_errors.insert(port_errors.end(), on_port.begin(), on_port.end());
    libcw_errors.insert(libcw_errors.end(), in_libcw.begin(), in_libcw.end());
}

// Latency, edges and element timing at the latency speed, with both
// programs running and the single-character texts sent to them in turn.
bool run_latency_session(const Options& options, const std::string& dir, const Client& client,
                         std::array<Results, kSubjects>& results) {
    std::array<Instance, kSubjects> instances;
    bool started = true;
    for (int s = 0; s < kSubjects && started; ++s) {
        started =
            start(instances[s], launch_for(static_cast<Subject>(s), kLatencyWpm, dir, options));
    }
    if (!started) {
        for (auto& instance : instances) {
            stop(instance);
        }
        return false;
    }
    fprintf(stderr, "run_bench: latency, %d texts \"%s\" to each program at %d wpm\n",
            options.samples, kLatencyText, kLatencyWpm);
    std::array<std::vector<int64_t>, kSubjects> sends;
    for (int i = 0; i < kWarmupSends + options.samples; ++i) {
        for (int turn = 0; turn < kSubjects; ++turn) {
            const int s = (i + turn) % kSubjects;  // alternate who goes first
            const int64_t sent = client.send(instances[s].udp_port, kLatencyText);
            if (i >= kWarmupSends) {
                sends[s].push_back(sent);
            }
            sleep_until(sent + kLatencySpacingNs);
        }
    }
    const size_t speed_index = kTimingSpeeds.size() - 1;  // kLatencyWpm
    std::array<TimingWindow, kSubjects> windows;
    for (int s = 0; s < kSubjects; ++s) {
        windows[s] = send_timing_text(client, instances[s], kLatencyWpm);
    }
    for (int s = 0; s < kSubjects; ++s) {
        results[s].vm_hwm_kib = vm_hwm_kib(instances[s].pid);
        stop(instances[s]);
        const auto port = read_port_edges(instances[s].port_log);
        const auto latencies = bench::first_key_downs(
            sends[s], port, kLatencySpacingNs,
            static_cast<int64_t>(kQuietDots * bench::dot_ms(kLatencyWpm) * kNsPerMs));
        results[s].latency_ms = latencies.latency_ms;
        results[s].latency_busy = latencies.busy;
        results[s].latency_missing = latencies.missing;
        collect_edges(instances[s], results[s]);
        collect_timing(instances[s], windows[s], kLatencyWpm, speed_index, results[s]);
    }
    return true;
}

bool run_timing_session(const Options& options, const std::string& dir, const Client& client,
                        int wpm, size_t speed_index, std::array<Results, kSubjects>& results) {
    fprintf(stderr, "run_bench: element timing at %d wpm\n", wpm);
    for (int s = 0; s < kSubjects; ++s) {
        Instance instance;
        if (!start(instance, launch_for(static_cast<Subject>(s), wpm, dir, options))) {
            stop(instance);
            return false;
        }
        const TimingWindow window = send_timing_text(client, instance, wpm);
        stop(instance);
        collect_edges(instance, results[s]);
        collect_timing(instance, window, wpm, speed_index, results[s]);
    }
    return true;
}

// A reset request and at once a one-character text, again and again: the
// text waits in the socket while the generator is made anew.
bool run_reset_session(const Options& options, const std::string& dir, const Client& client,
                       std::array<Results, kSubjects>& results) {
    fprintf(stderr, "run_bench: %d texts right after each of ESC 0, ESC f and ESC 0 in a tune\n",
            options.reset_tries);
    for (int s = 0; s < kSubjects; ++s) {
        Instance instance;
        if (!start(instance,
                   launch_for(static_cast<Subject>(s), kLatencyWpm, dir + "/reset", options))) {
            stop(instance);
            return false;
        }
        for (size_t r = 0; r < kResetRequests.size(); ++r) {
            if (s == kFloor && !kResetRequests[r].floor_knows) {
                continue;
            }
            for (int i = 0; i < options.reset_tries; ++i) {
                if (kResetRequests[r].in_tune) {
                    client.send(instance.udp_port, kTuneRequest);
                    sleep_ms(kIntoTuneMs);
                }
                client.send(instance.udp_port, kResetRequests[r].request);
                const int64_t sent = client.send(instance.udp_port, kLatencyText);
                const int64_t down = bench::await_edge(instance, sent, true, kAfterResetTimeoutMs);
                if (down == 0) {
                    ++results[s].after_reset_missing[r];
                } else {
                    results[s].after_reset_ms[r].push_back((down - sent) / kNsPerMs);
                }
                sleep_ms(kAfterResetSettleMs);
            }
        }
        stop(instance);
    }
    return true;
}

// Both programs idle side by side: neither gets traffic.
bool run_idle_session(const Options& options, const std::string& dir,
                      std::array<Results, kSubjects>& results) {
    fprintf(stderr, "run_bench: idle for %d s\n", options.idle_seconds);
    std::array<Instance, kSubjects> instances;
    bool started = true;
    for (int s = 0; s < kSubjects && started; ++s) {
        started = start(instances[s],
                        launch_for(static_cast<Subject>(s), kLatencyWpm, dir + "/idle", options));
    }
    if (started) {
        sleep_ms(kIdleSettleMs);
        std::array<long, kSubjects> ticks{};
        std::array<long long, kSubjects> sched{};
        for (int s = 0; s < kSubjects; ++s) {
            ticks[s] = cpu_ticks(instances[s].pid);
            sched[s] = cpu_sched_ns(instances[s].pid);
        }
        sleep_ms(options.idle_seconds * 1000);
        const double ms_per_tick = 1000.0 / sysconf(_SC_CLK_TCK);
        for (int s = 0; s < kSubjects; ++s) {
            const long ticks_after = cpu_ticks(instances[s].pid);
            const long long sched_after = cpu_sched_ns(instances[s].pid);
            if (ticks[s] >= 0 && ticks_after >= 0) {
                results[s].idle_cpu_stat_ms = (ticks_after - ticks[s]) * ms_per_tick;
            }
            if (sched[s] >= 0 && sched_after >= 0) {
                results[s].idle_cpu_sched_ms = (sched_after - sched[s]) / kNsPerMs;
            }
        }
    }
    for (auto& instance : instances) {
        stop(instance);
    }
    return started;
}

// ---- the table ----

struct Row {
    std::string measure;
    std::array<std::string, kSubjects> value;
    std::string target;
    std::string verdict;  // empty when there is no target
};

std::string format_ms(double ms, int decimals = 3) {
    char text[32];
    snprintf(text, sizeof text, "%.*f ms", decimals, ms);
    return text;
}

std::string format_signed_ms(double ms) {
    char text[32];
    snprintf(text, sizeof text, "%+.3f ms", ms);
    return text;
}

double largest_size(const std::vector<double>& errors) {
    double largest = 0;
    for (const double error : errors) {
        largest = std::max(largest, std::fabs(error));
    }
    return largest;
}

const char* verdict(bool measured, bool within) {
    if (!measured) {
        return "not measured";
    }
    return within ? "within target" : "over target";
}

struct Table {
    std::vector<Row> rows;
    int targets = 0;
    int within = 0;
    std::vector<std::string> over;

    void add(Row row) { rows.push_back(std::move(row)); }
    void add_judged(Row row, bool measured, bool ok) {
        row.verdict = verdict(measured, ok);
        ++targets;
        if (measured && ok) {
            ++within;
        } else {
            over.push_back(row.measure);
        }
        rows.push_back(std::move(row));
    }
};

void add_summary_rows(Table& table, const std::string& name,
                      const std::array<Summary, kSubjects>& summaries,
                      const std::array<bool, 4>& show, double target_p99 = -1,
                      const std::string& target_text = "") {
    const char* labels[] = {"p50", "p99", "max", "mean"};
    for (int k = 0; k < 4; ++k) {
        if (!show[k]) {
            continue;
        }
        Row row;
        row.measure = name + ", " + labels[k];
        for (int s = 0; s < kSubjects; ++s) {
            const Summary& summary = summaries[s];
            const double values[] = {summary.p50, summary.p99, summary.max, summary.mean};
            row.value[s] = summary.count == 0 ? "n/a" : format_ms(values[k]);
        }
        if (k == 1 && target_p99 >= 0) {
            row.target = target_text;
            table.add_judged(row, summaries[kDaemon].count > 0,
                             summaries[kDaemon].p99 < target_p99);
        } else {
            table.add(row);
        }
    }
}

std::array<Summary, kSubjects> summarize_each(const std::array<Results, kSubjects>& results,
                                              std::vector<double> (*pick)(const Results& result)) {
    std::array<Summary, kSubjects> summaries;
    for (int s = 0; s < kSubjects; ++s) {
        summaries[s] = bench::summarize(pick(results[s]));
    }
    return summaries;
}

void print_table(const std::array<Results, kSubjects>& results, const bench::PlatformLog& platform,
                 const Options& options) {
    Table table;

    add_summary_rows(table, "datagram to first key-down",
                     summarize_each(results, [](const Results& r) { return r.latency_ms; }),
                     {true, true, true, false}, kLatencyP99TargetMs, "p99 < 2 ms");
    {
        Row row;
        row.measure = "  samples counted (left out: busy/missing)";
        for (int s = 0; s < kSubjects; ++s) {
            row.value[s] = std::to_string(results[s].latency_ms.size()) + " (" +
                           std::to_string(results[s].latency_busy) + "/" +
                           std::to_string(results[s].latency_missing) + ")";
        }
        table.add(row);
    }

    add_summary_rows(table, "added per key edge",
                     summarize_each(results, [](const Results& r) { return r.edge_added_ms; }),
                     {true, true, true, false}, kEdgeP99TargetMs, "p99 < 0.2 ms");
    {
        Row row;
        row.measure = "  edges mirrored / keying callbacks";
        for (int s = 0; s < kSubjects; ++s) {
            row.value[s] =
                std::to_string(results[s].matched) + "/" + std::to_string(results[s].callbacks);
        }
        table.add(row);
    }

    for (size_t k = 0; k < kTimingSpeeds.size(); ++k) {
        const int wpm = kTimingSpeeds[k];
        const std::string name = "element error at " + std::to_string(wpm) + " wpm";
        Row mean;
        Row worst;
        Row own;
        Row count;
        mean.measure = name + ", mean";
        worst.measure = name + ", max |error|";
        own.measure = "  as libcw timed them, max |error|";
        count.measure = "  elements measured";
        for (int s = 0; s < kSubjects; ++s) {
            const auto& errors = results[s].element_error_ms[k];
            const Summary signed_errors = bench::summarize(errors);
            mean.value[s] = errors.empty() ? "n/a" : format_signed_ms(signed_errors.mean);
            worst.value[s] = errors.empty() ? "n/a" : format_ms(largest_size(errors));
            own.value[s] = results[s].libcw_error_ms[k].empty()
                               ? "n/a"
                               : format_ms(largest_size(results[s].libcw_error_ms[k]));
            count.value[s] = std::to_string(errors.size());
        }
        const auto& errors = results[kDaemon].element_error_ms[k];
        const Summary daemon_errors = bench::summarize(errors);
        char dot[48];
        snprintf(dot, sizeof dot, "within +/-%.2f ms (dot %.0f ms)", kElementMeanTargetMs,
                 bench::dot_ms(wpm));
        mean.target = dot;
        worst.target = "<= 0.1 ms";
        table.add_judged(mean, !errors.empty(),
                         std::fabs(daemon_errors.mean) <= kElementMeanTargetMs);
        table.add_judged(worst, !errors.empty(), largest_size(errors) <= kElementMaxTargetMs);
        table.add(own);
        table.add(count);
    }
    {
        Row row;
        row.measure = "worst element shortening, all speeds";
        for (int s = 0; s < kSubjects; ++s) {
            row.value[s] = format_ms(results[s].shortest_ms < 0 ? -results[s].shortest_ms : 0.0);
        }
        row.target = "<= 0.5 ms (resync bound)";
        table.add_judged(row, true, -results[kDaemon].shortest_ms <= kElementShorteningTargetMs);
    }

    {
        Row row;
        row.measure = "late elements (over 1 ms), own / platform";
        for (int s = 0; s < kSubjects; ++s) {
            row.value[s] = platform.complete ? std::to_string(results[s].late.own) + " / " +
                                                   std::to_string(results[s].late.platform)
                                             : "n/a";
        }
        row.target = "own 0";
        table.add_judged(row, platform.complete, results[kDaemon].late.own == 0);
    }

    for (size_t r = 0; r < kResetRequests.size(); ++r) {
        const std::string name =
            std::string("text right after ") + kResetRequests[r].name + ": first key-down";
        std::array<Summary, kSubjects> summaries;
        for (int s = 0; s < kSubjects; ++s) {
            summaries[s] = bench::summarize(results[s].after_reset_ms[r]);
        }
        Row p50;
        Row worst;
        p50.measure = name + ", p50";
        worst.measure = name + ", max";
        for (int s = 0; s < kSubjects; ++s) {
            const bool none = summaries[s].count == 0;
            p50.value[s] = none ? "n/a" : format_ms(summaries[s].p50, 1);
            worst.value[s] = none ? "n/a" : format_ms(summaries[s].max, 1);
            if (results[s].after_reset_missing[r] > 0) {
                worst.value[s] +=
                    " (" + std::to_string(results[s].after_reset_missing[r]) + " not keyed)";
            }
        }
        worst.target = "<= 150 ms";
        table.add(p50);
        table.add_judged(worst, summaries[kDaemon].count > 0,
                         results[kDaemon].after_reset_missing[r] == 0 &&
                             summaries[kDaemon].max <= kAfterResetTargetMs);
    }

    const double idle_target = kIdleCpuTargetMs * options.idle_seconds / kIdleTargetSeconds;
    char idle_target_text[48];
    snprintf(idle_target_text, sizeof idle_target_text, "< %.3g ms", idle_target);
    const std::string idle = " in " + std::to_string(options.idle_seconds) + " s";
    {
        Row row;
        row.measure = "idle CPU, utime+stime" + idle;
        for (int s = 0; s < kSubjects; ++s) {
            row.value[s] =
                results[s].idle_cpu_stat_ms < 0 ? "n/a" : format_ms(results[s].idle_cpu_stat_ms, 0);
        }
        row.target = idle_target_text;
        table.add_judged(row, results[kDaemon].idle_cpu_stat_ms >= 0,
                         results[kDaemon].idle_cpu_stat_ms < idle_target);
    }
    {
        Row row;
        row.measure = "idle CPU, scheduler ns" + idle;
        for (int s = 0; s < kSubjects; ++s) {
            row.value[s] =
                results[s].idle_cpu_sched_ms < 0 ? "n/a" : format_ms(results[s].idle_cpu_sched_ms);
        }
        row.target = idle_target_text;
        table.add_judged(row, results[kDaemon].idle_cpu_sched_ms >= 0,
                         results[kDaemon].idle_cpu_sched_ms < idle_target);
    }
    {
        Row row;
        row.measure = "peak memory VmHWM, null audio";
        for (int s = 0; s < kSubjects; ++s) {
            char text[32];
            snprintf(text, sizeof text, "%.2f MiB", results[s].vm_hwm_kib / kKiBPerMiB);
            row.value[s] = results[s].vm_hwm_kib < 0 ? "n/a" : text;
        }
        const double above =
            (results[kDaemon].vm_hwm_kib - results[kFloor].vm_hwm_kib) / kKiBPerMiB;
        char target[48];
        snprintf(target, sizeof target, "< floor + 2 MiB (%+.2f)", above);
        row.target = target;
        table.add_judged(row, results[kDaemon].vm_hwm_kib >= 0 && results[kFloor].vm_hwm_kib >= 0,
                         above < kMemoryTargetMiB);
    }

    printf("%-52s %14s %14s  %-26s %s\n", "measure", kSubjectNames[kDaemon], kSubjectNames[kFloor],
           "target (varkel)", "verdict");
    printf("%s\n", std::string(124, '-').c_str());
    for (const Row& row : table.rows) {
        printf("%-52s %14s %14s  %-26s %s\n", row.measure.c_str(), row.value[kDaemon].c_str(),
               row.value[kFloor].c_str(), row.target.c_str(), row.verdict.c_str());
    }
    printf("%s\n", std::string(124, '-').c_str());

    const Summary daemon_latency = bench::summarize(results[kDaemon].latency_ms);
    const Summary floor_latency = bench::summarize(results[kFloor].latency_ms);
    const Summary daemon_edges = bench::summarize(results[kDaemon].edge_added_ms);
    const Summary floor_edges = bench::summarize(results[kFloor].edge_added_ms);
    if (table.within == table.targets) {
        printf("Summary: varkel within target on all %d targets", table.targets);
    } else {
        printf("Summary: varkel within target on %d of %d targets; over target or not measured:",
               table.within, table.targets);
        for (const auto& name : table.over) {
            printf(" [%s]", name.c_str());
        }
    }
    printf(
        "; p99 datagram to key-down %.3f ms (floor %.3f ms), p99 per edge %.3f ms (floor "
        "%.3f ms)",
        daemon_latency.p99, floor_latency.p99, daemon_edges.p99, floor_edges.p99);
    if (platform.complete) {
        printf(
            "; own late elements %zu (target 0), %zu late with the platform, whose wake-up was "
            "p99 %.3f ms, max %.3f ms.\n",
            results[kDaemon].late.own, results[kDaemon].late.platform, platform.p99_ms,
            platform.max_ms);
        const std::string not_kept =
            platform.dropped > 0
                ? ", " + std::to_string(platform.dropped) + " late wake-ups not kept"
                : "";
        const std::string steal =
            platform.steal_ms < 0 ? "n/a" : std::to_string(static_cast<long>(platform.steal_ms));
        printf(
            "Platform beside the whole run: probe wake-up p50 %.3f / p99 %.3f / max %.3f ms, %d "
            "threads at %s%s; steal %s ms.\n",
            platform.p50_ms, platform.p99_ms, platform.max_ms, platform.threads,
            platform.policy == "fifo" ? "SCHED_FIFO 20" : "the normal policy", not_kept.c_str(),
            steal.c_str());
    } else {
        printf("; the platform probe gave no report.\n");
    }
}

bool parse_options(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--quick") {
            options.samples = kQuickSamples;
            options.idle_seconds = kQuickIdleSeconds;
            options.reset_tries = kQuickResetTries;
        } else if (arg == "--samples" && has_value) {
            options.samples = std::atoi(argv[++i]);
        } else if (arg == "--idle" && has_value) {
            options.idle_seconds = std::atoi(argv[++i]);
        } else if (arg == "--debug-log") {
            options.debug_log = true;
        } else if (arg == "--keep") {
            options.keep = true;
        } else {
            return false;
        }
    }
    return options.samples > 0 && options.idle_seconds > 0;
}

void print_conditions(const Options& options) {
    printf(
        "varkel against the libcw floor: null audio, simulated serial port, PTT delay 0, "
        "daemon log %s\n",
        options.debug_log ? "at DD" : "at its default threshold");
    printf(
        "latency: %d texts \"%s\" each at %d wpm, %.0f ms apart; elements: \"%s\" at 20 "
        "and 60 wpm; %d texts \"%s\" sent right after each of ESC 0, ESC f and ESC 0 %d ms into a "
        "tune (the floor knows only ESC 0); idle: %d s\n",
        options.samples, kLatencyText, kLatencyWpm, kLatencySpacingNs / kNsPerMs, kTimingText,
        options.reset_tries, kLatencyText, kIntoTuneMs, options.idle_seconds);
    printf("machine: %ld CPUs, load average %s\n", sysconf(_SC_NPROCESSORS_ONLN),
           bench::load_average().c_str());
    printf(
        "platform: bench/platform_probe for the whole run, one thread per CPU waking every 1 ms "
        "at SCHED_FIFO %d when allowed; a late element (over 1 ms off) is the platform's when a "
        "probe thread woke at least half as late within its span (under 2 ms off: or was held "
        "across its late edge by the error less the 1 ms it cannot see), else the program's "
        "own\n\n",
        kProbePriority);
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);  // the table in order with the progress lines
    if (argc > 1 && std::string(argv[1]) == "--station") {
        return bench::run_station(argc - 1, argv + 1);
    }
    if (argc > 1 && std::string(argv[1]) == "--abort") {
        return bench::run_abort(argc - 1, argv + 1);
    }
    if (argc > 1 && std::string(argv[1]) == "--keyboard") {
        return bench::run_keyboard(argc - 1, argv + 1);
    }
    if (argc > 1 && std::string(argv[1]) == "--paddle") {
        return bench::run_paddle(argc - 1, argv + 1);
    }
    Options options;
    if (!parse_options(argc, argv, options)) {
        fprintf(stderr,
                "usage: run_bench [--quick] [--samples N] [--idle SECONDS] [--debug-log] "
                "[--keep]\n"
                "       run_bench --station [--texts N] [--resets N] [--sound npw] [--keep]\n"
                "       run_bench --abort [--quick] [--tries N] [--keep]\n"
                "       run_bench --keyboard [--quick] [--tries N] [--keep]\n"
                "       run_bench --paddle [--tries N] [--keep]\n");
        return 2;
    }
    char dir_template[] = "/tmp/varkel-bench-XXXXXX";
    if (mkdtemp(dir_template) == nullptr) {
        perror("run_bench: mkdtemp");
        return 1;
    }
    const std::string dir = dir_template;
    mkdir((dir + "/idle").c_str(), 0755);
    mkdir((dir + "/reset").c_str(), 0755);

    print_conditions(options);
    std::array<Results, kSubjects> results;
    Client client;
    bench::PlatformProbe probe;
    if (!bench::start_platform_probe(probe, dir + "/probe", kProbePriority)) {
        fprintf(stderr, "run_bench: the platform probe did not start\n");
    }
    bool ran = run_latency_session(options, dir, client, results);
    for (size_t k = 0; ran && k + 1 < kTimingSpeeds.size(); ++k) {
        ran = run_timing_session(options, dir, client, kTimingSpeeds[k], k, results);
    }
    ran = ran && run_reset_session(options, dir, client, results);
    ran = ran && run_idle_session(options, dir, results);
    const bench::PlatformLog platform = bench::stop_platform_probe(probe);
    for (auto& result : results) {
        result.late = bench::classify_late(result.elements, platform.late);
    }
    if (ran) {
        print_table(results, platform, options);
        printf("load average at the end: %s\n", bench::load_average().c_str());
    }
    if (options.keep || !ran) {
        fprintf(stderr, "run_bench: raw logs kept in %s\n", dir.c_str());
    } else {
        bench::remove_tree(dir);
    }
    return ran ? 0 : 1;
}
