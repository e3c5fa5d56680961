#include "abort_bench.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_analysis.h"
#include "bench_process.h"

namespace bench {

namespace {

constexpr int kDefaultTries = 50;
constexpr int kQuickTries = 15;
constexpr int kPttDelayMs = 20;  // as the operators' clients set it
constexpr int kSettleMs = 150;   // between tries: PTT falls, the log is written
constexpr double kNsPerMs = 1e6;

constexpr double kKeyUpP99TargetMs = 1.0;
constexpr double kKeyUpMaxTargetMs = 2.0;
constexpr double kNextReadTargetMs = 5.0;
constexpr double kTextFirstDownTargetMs = 25.0;
constexpr int kTextAfterAbortMs = 5;
constexpr char kText[] = "PARIS";
constexpr int kTextWpm = 60;
constexpr double kTextDots = 60;  // PARIS and the pause after it

const std::string kAbort =
    "\x1b"
    "4";
const std::string kTuneStop =
    "\x1b"
    "c0";

bool key_up_between(const Instance& instance, int64_t from_ns, int64_t to_ns) {
    for (const Edge& edge : read_port_edges(instance.port_log)) {
        if (!edge.down && edge.t_ns > from_ns && edge.t_ns < to_ns) {
            return true;
        }
    }
    return false;
}

struct Case {
    std::string name;
    double p99_target_ms = 0;
    double max_target_ms = 0;  // 0: none
    std::vector<double> ms;
    int missed = 0;  // no edge, or the element ended before the request
};

// A pause that differs from try to try, spread over [low, high) ms.
int spread_ms(int attempt, int low, int high) {
    return low + (attempt * 37) % (high - low);
}

// Starts a tune of five seconds and returns once its carrier has been keyed
// for a while (spread over [low, high) ms from try to try); false, counted
// as missed, when the key never went down.
bool into_tune(const Client& client, const Instance& instance, int attempt, int low, int high,
               Case& result) {
    const int64_t asked = client.send(instance.udp_port,
                                      "\x1b"
                                      "c5");
    const int64_t down = await_edge(instance, asked, true);
    if (down == 0) {
        ++result.missed;
        return false;
    }
    sleep_until(down + spread_ms(attempt, low, high) * int64_t{1'000'000});
    return true;
}

// The time from the request to the edge, or a miss when there was none.
void record(Case& result, int64_t sent_ns, int64_t edge_ns) {
    if (edge_ns == 0) {
        ++result.missed;
    } else {
        result.ms.push_back(static_cast<double>(edge_ns - sent_ns) / kNsPerMs);
    }
}

bool launch(Instance& instance, const std::string& dir, const std::string& name, int wpm,
            int ptt_delay_ms) {
    Launch launch;
    launch.wpm = wpm;
    launch.ptt_delay_ms = ptt_delay_ms;
    launch.tag = dir + "/" + name;
    return start(instance, launch);
}

// A tune, stopped by the request after a while.
void tune_then(const Client& client, const Instance& instance, const std::string& request,
               int tries, Case& result) {
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (!into_tune(client, instance, attempt, 50, 600, result)) {
            continue;
        }
        const int64_t sent = client.send(instance.udp_port, request.c_str());
        record(result, sent, await_edge(instance, sent, false));
        sleep_ms(kSettleMs);
    }
}

// Dashes, each aborted between a fifth and four fifths of its length.
void abort_mid_dash(const Client& client, const Instance& instance, int wpm, int tries,
                    Case& result) {
    const double dash_ms = 3 * dot_ms(wpm);
    for (int attempt = 0; attempt < tries; ++attempt) {
        const int64_t asked = client.send(instance.udp_port, "TTT");
        const int64_t down = await_edge(instance, asked, true);
        if (down == 0) {
            ++result.missed;
            continue;
        }
        const double into = dash_ms * (0.2 + 0.6 * ((attempt * 7) % 10) / 10.0);
        sleep_until(down + static_cast<int64_t>(into * kNsPerMs));
        const int64_t sent = client.send(instance.udp_port, kAbort.c_str());
        const int64_t up = await_edge(instance, sent, false);
        if (up != 0 && key_up_between(instance, down, sent)) {
            ++result.missed;  // the dash had ended before the abort was sent
        } else {
            record(result, sent, up);
        }
        sleep_ms(kSettleMs);
    }
}

// An abort in a tune, and a one-letter text at once after it: without a PTT
// delay its first key-down comes as soon as the main loop has read it.
void next_read(const Client& client, const Instance& instance, int tries, Case& result) {
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (!into_tune(client, instance, attempt, 50, 400, result)) {
            continue;
        }
        const int64_t sent = client.send(instance.udp_port, kAbort.c_str());
        client.send(instance.udp_port, "E");
        record(result, sent, await_edge(instance, sent, true));
        sleep_ms(kSettleMs);
    }
}

// An abort in a tune, then a text 5 ms later: its first key-down after its
// datagram, and whether it decodes exactly.
void text_after_abort(const Client& client, const Instance& instance, int tries, Case& result,
                      int& exact) {
    const int64_t text_ns =
        static_cast<int64_t>(kTextDots * dot_ms(kTextWpm) * kNsPerMs) + 500'000'000;
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (!into_tune(client, instance, attempt, 50, 400, result)) {
            continue;
        }
        const int64_t aborted = client.send(instance.udp_port, kAbort.c_str());
        sleep_until(aborted + kTextAfterAbortMs * int64_t{1'000'000});
        const int64_t sent = client.send(instance.udp_port, kText);
        const int64_t first = await_edge(instance, sent, true);
        sleep_until(sent + text_ns);
        if (first == 0) {
            ++result.missed;
            continue;
        }
        result.ms.push_back(static_cast<double>(first - sent) / kNsPerMs);
        const std::string decoded = decode_morse(read_port_edges(instance.port_log), sent,
                                                 sent + text_ns, dot_ms(kTextWpm));
        exact += decoded == kText ? 1 : 0;
        if (decoded != kText) {
            fprintf(stderr, "run_bench: text after abort read \"%s\"\n", decoded.c_str());
        }
    }
}

void print_case(const Case& result) {
    const Summary summary = summarize(result.ms);
    const bool within = summary.count > 0 && summary.p99 <= result.p99_target_ms &&
                        (result.max_target_ms == 0 || summary.max <= result.max_target_ms);
    char max_target[32] = "";
    if (result.max_target_ms != 0) {
        snprintf(max_target, sizeof max_target, ", max <= %.0f", result.max_target_ms);
    }
    printf("%-36s %4zu  %8.3f  %8.3f  %8.3f   p99 <= %.0f%s ms  %s", result.name.c_str(),
           summary.count, summary.p50, summary.p99, summary.max, result.p99_target_ms, max_target,
           within ? "ok" : "OVER");
    if (result.missed != 0) {
        printf("  (%d tries left out)", result.missed);
    }
    printf("\n");
}

}  // namespace

int run_abort(int argc, char** argv) {
    TryOptions options{kDefaultTries};
    if (!parse_try_options(argc, argv, kQuickTries, options)) {
        fprintf(stderr, "usage: run_bench --abort [--quick] [--tries N] [--keep]\n");
        return 2;
    }
    const std::string dir = make_run_dir("varkel-abort");
    if (dir.empty()) {
        return 1;
    }
    printf(
        "abort on the simulated serial port, null audio, PTT delay %d ms, %d tries a row; "
        "times from the datagram\n",
        kPttDelayMs, options.tries);
    printf("machine: %ld CPUs, load average %s\n\n", sysconf(_SC_NPROCESSORS_ONLN),
           load_average().c_str());

    Client client;
    std::vector<Case> cases;
    int exact = 0;
    bool ran = true;
    for (const int wpm : {4, 12, 60}) {
        Instance instance;
        if (!launch(instance, dir, "dash-" + std::to_string(wpm), wpm, kPttDelayMs)) {
            ran = false;
            break;
        }
        fprintf(stderr, "run_bench: abort mid-dash and in a tune at %d wpm\n", wpm);
        Case dash{"abort mid-dash at " + std::to_string(wpm) + " wpm -> key up",
                  kKeyUpP99TargetMs,
                  kKeyUpMaxTargetMs,
                  {},
                  0};
        abort_mid_dash(client, instance, wpm, options.tries, dash);
        Case tune{"abort in a tune at " + std::to_string(wpm) + " wpm -> key up",
                  kKeyUpP99TargetMs,
                  kKeyUpMaxTargetMs,
                  {},
                  0};
        tune_then(client, instance, kAbort, options.tries, tune);
        cases.push_back(dash);
        cases.push_back(tune);
        if (wpm == 12) {
            Case stop{"tune of 0 s in a tune -> key up", kKeyUpP99TargetMs, 0, {}, 0};
            tune_then(client, instance, kTuneStop, options.tries, stop);
            cases.push_back(stop);
        }
        bench::stop(instance);
    }
    Case text{"text 5 ms after abort -> key down", kTextFirstDownTargetMs, 0, {}, 0};
    if (ran) {
        Instance instance;
        ran = launch(instance, dir, "text", kTextWpm, kPttDelayMs);
        if (ran) {
            fprintf(stderr, "run_bench: a text 5 ms after an abort\n");
            text_after_abort(client, instance, options.tries, text, exact);
            bench::stop(instance);
        }
    }
    Case read{"abort -> next datagram's key down", kNextReadTargetMs, 0, {}, 0};
    if (ran) {
        Instance instance;
        ran = launch(instance, dir, "read", kTextWpm, 0);
        if (ran) {
            fprintf(stderr, "run_bench: the next datagram after an abort (no PTT delay)\n");
            next_read(client, instance, options.tries, read);
            bench::stop(instance);
        }
    }
    if (ran) {
        printf("%-36s %4s  %8s  %8s  %8s   %s\n", "ms", "n", "p50", "p99", "max", "target");
        for (const Case& result : cases) {
            print_case(result);
        }
        print_case(read);
        print_case(text);
        printf("texts after an abort decoded exactly: %d of %zu\n", exact, text.ms.size());
        printf("load average at the end: %s\n", load_average().c_str());
    }
    return finish_run(dir, options.keep, ran);
}

}  // namespace bench
