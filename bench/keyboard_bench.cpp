#include "keyboard_bench.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_analysis.h"
#include "bench_process.h"
#include "blackbox/morse_decoder.h"

namespace bench {

namespace {

constexpr int kWpm = 20;
constexpr int kPttDelayMs = 20;
constexpr char kText[] = "CQ TEST DE VK2ABC";
constexpr int kDefaultTries = 5;
constexpr int kQuickTries = 2;
constexpr int kTailMs = 500;
constexpr int kTextInTailMs = 250;
constexpr int kPollMicroseconds = 200;
constexpr int64_t kEdgeTimeoutNs = 5'000'000'000;
constexpr double kNsPerMs = 1e6;
constexpr double kDotsBetweenCharacters = 3;
constexpr double kDotsPerWordSpace = 7;
// libcw keys a space after a character's 3 dots as 7 more, in one datagram
// as in two: the spacing a word break needs from it.
constexpr double kDotsAcrossSpace = 10;

constexpr double kGapExcessTargetMs = 3.0;
constexpr double kFallTargetMs = 2.0;
constexpr double kTextInTailTargetMs = 1.0;

int64_t ms_to_ns(double ms) {
    return static_cast<int64_t>(ms * kNsPerMs);
}

double ns_to_ms(int64_t ns) {
    return static_cast<double>(ns) / kNsPerMs;
}

// The time of the count-th edge in the direction after from_ns, waiting
// for it; 0 when it did not come in time.
int64_t await_edges(const std::string& path, bool ptt, int64_t from_ns, bool down, size_t count) {
    const int64_t deadline = monotonic_ns() + kEdgeTimeoutNs;
    while (monotonic_ns() < deadline) {
        const auto edges = ptt ? read_ptt_edges(path) : read_port_edges(path);
        size_t seen = 0;
        for (const Edge& edge : edges) {
            if (edge.t_ns > from_ns && edge.down == down && ++seen == count) {
                return edge.t_ns;
            }
        }
        usleep(kPollMicroseconds);
    }
    return 0;
}

size_t falls_between(const std::vector<Edge>& ptt, int64_t from_ns, int64_t to_ns) {
    size_t falls = 0;
    for (const Edge& edge : ptt) {
        falls += !edge.down && edge.t_ns > from_ns && edge.t_ns < to_ns ? 1 : 0;
    }
    return falls;
}

int64_t first_after(const std::vector<Edge>& edges, int64_t from_ns, bool down) {
    for (const Edge& edge : edges) {
        if (edge.t_ns > from_ns && edge.down == down) {
            return edge.t_ns;
        }
    }
    return 0;
}

struct KeyboardResult {
    std::vector<double> drops;          // PTT falls inside each text
    std::vector<double> gap_excess_ms;  // gap beyond what spacing and sender allow
    std::vector<double> sender_delay_ms;
    std::vector<double> fall_error_ms;  // PTT fall after the last key-up, less the hold
    int missed = 0;
};

// One text typed a character at a time: each sent once the one before has
// had its last key-up (a space at once after the character before it).
void type_text(const Client& client, const Instance& instance, double hold_ms,
               KeyboardResult& result) {
    struct Typed {
        int64_t sent_ns = 0;
        int64_t last_up_ns = 0;
        bool after_space = false;
    };
    std::vector<Typed> typed;
    bool space_before = false;
    int64_t first_sent = 0;
    for (const char* c = kText; *c != '\0'; ++c) {
        const char text[2] = {*c, '\0'};
        const int64_t sent = client.send(instance.udp_port, text);
        first_sent = first_sent == 0 ? sent : first_sent;
        const size_t marks = morse_decoder::marks_of(text);
        if (marks == 0) {
            space_before = true;
            continue;
        }
        const int64_t up = await_edges(instance.port_log, false, sent, false, marks);
        if (up == 0) {
            ++result.missed;
            return;
        }
        typed.push_back({sent, up, space_before});
        space_before = false;
    }
    const int64_t last_up = typed.back().last_up_ns;
    const int64_t fall = await_edges(instance.port_log, true, last_up, false, 1);
    if (fall == 0) {
        ++result.missed;
        return;
    }
    const auto key = read_port_edges(instance.port_log);
    const auto ptt = read_ptt_edges(instance.port_log);
    const int64_t first_down = first_after(key, first_sent, true);
    result.drops.push_back(static_cast<double>(falls_between(ptt, first_down, last_up)));
    const double dot = dot_ms(kWpm);
    for (size_t i = 1; i < typed.size(); ++i) {
        const int64_t up = typed[i - 1].last_up_ns;
        const int64_t down = first_after(key, up, true);
        const double spacing =
            (typed[i].after_space ? kDotsAcrossSpace : kDotsBetweenCharacters) * dot;
        const double sender = ns_to_ms(typed[i].sent_ns - up);
        result.sender_delay_ms.push_back(sender);
        result.gap_excess_ms.push_back(ns_to_ms(down - up) - std::max(spacing, sender));
    }
    result.fall_error_ms.push_back(ns_to_ms(fall - last_up) - hold_ms);
}

struct TailResult {
    std::vector<double> fall_error_ms;  // PTT fall after the last key-up, less the tail
    std::vector<double> in_tail_ms;     // datagram in the tail to its first key-down
    size_t drops = 0;                   // PTT falls between a text and the one in its tail
    int missed = 0;
};

// "TEST", then "E" 250 ms after its last key-up, in the tail.
void text_in_tail(const Client& client, const Instance& instance, TailResult& result) {
    const int64_t sent = client.send(instance.udp_port, "TEST");
    const int64_t up =
        await_edges(instance.port_log, false, sent, false, morse_decoder::marks_of("TEST"));
    if (up == 0) {
        ++result.missed;
        return;
    }
    sleep_until(up + ms_to_ns(kTextInTailMs));
    const int64_t in_tail = client.send(instance.udp_port, "E");
    const int64_t down = await_edges(instance.port_log, false, in_tail, true, 1);
    const int64_t last_up = await_edges(instance.port_log, false, in_tail, false, 1);
    const int64_t fall = await_edges(instance.port_log, true, last_up, false, 1);
    if (down == 0 || last_up == 0 || fall == 0) {
        ++result.missed;
        return;
    }
    result.drops += falls_between(read_ptt_edges(instance.port_log), up, down);
    result.in_tail_ms.push_back(ns_to_ms(down - in_tail));
    result.fall_error_ms.push_back(ns_to_ms(fall - last_up) - kTailMs);
}

bool launch(Instance& instance, const std::string& dir, const std::string& name,
            std::vector<std::string> hold) {
    Launch launch;
    launch.wpm = kWpm;
    launch.ptt_delay_ms = kPttDelayMs;
    launch.tag = dir + "/" + name;
    launch.daemon_args = std::move(hold);
    return start(instance, launch);
}

double largest(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

double largest_size(const std::vector<double>& values) {
    double size = 0;
    for (const double value : values) {
        size = std::max(size, std::fabs(value));
    }
    return size;
}

// A row without a target (empty, or a figure from before in brackets)
// gets no verdict.
void row(const char* measure, const std::string& value, const char* target, bool measured,
         bool within) {
    const bool judged = target[0] != '\0' && target[0] != '(';
    printf("%-52s %18s  %-22s %s\n", measure, value.c_str(), target,
           !judged     ? ""
           : !measured ? "not measured"
           : within    ? "within target"
                       : "over target");
}

std::string figure(const char* format, double a, double b = 0, double c = 0) {
    char text[64];
    snprintf(text, sizeof text, format, a, b, c);
    return text;
}

}  // namespace

int run_keyboard(int argc, char** argv) {
    TryOptions options{kDefaultTries};
    if (!parse_try_options(argc, argv, kQuickTries, options)) {
        fprintf(stderr, "usage: run_bench --keyboard [--quick] [--tries N] [--keep]\n");
        return 2;
    }
    const std::string dir = make_run_dir("varkel-keyboard");
    if (dir.empty()) {
        return 1;
    }
    printf(
        "keyboard sending on the simulated serial port, null audio, %d wpm, PTT delay %d ms: "
        "\"%s\" a character per datagram, each sent at the last key-up of the one before; "
        "%d texts a row\n",
        kWpm, kPttDelayMs, kText, options.tries);
    printf("machine: %ld CPUs, load average %s\n\n", sysconf(_SC_NPROCESSORS_ONLN),
           load_average().c_str());

    Client client;
    const double word_space_ms = kDotsPerWordSpace * dot_ms(kWpm);
    KeyboardResult without;
    KeyboardResult hang;
    TailResult tail;
    bool ran = true;
    struct Run {
        const char* name;
        std::vector<std::string> hold;
    };
    for (const Run& run : {Run{"no-hold", {}}, Run{"hang", {"-o", "ptt-hang=1"}},
                           Run{"tail", {"-o", "ptt-tail=" + std::to_string(kTailMs)}}}) {
        Instance instance;
        if (!launch(instance, dir, run.name, run.hold)) {
            ran = false;
            break;
        }
        fprintf(stderr, "run_bench: keyboard sending, %s\n", run.name);
        for (int attempt = 0; attempt < options.tries; ++attempt) {
            const std::string name = run.name;
            if (name == "no-hold") {
                type_text(client, instance, 0, without);
            } else if (name == "hang") {
                type_text(client, instance, word_space_ms, hang);
            } else {
                text_in_tail(client, instance, tail);
            }
            sleep_ms(kTailMs + 200);  // PTT has fallen before the next try
        }
        stop(instance);
    }
    if (ran) {
        printf("%-52s %18s  %-22s %s\n", "measure", "varkel", "target", "verdict");
        printf("%s\n", std::string(108, '-').c_str());
        row("PTT drops inside the text, no hold (as before)",
            figure("%.0f per text", largest(without.drops)), "(today 16)", !without.drops.empty(),
            true);
        row("PTT drops inside the text, ptt-hang=1", figure("%.0f per text", largest(hang.drops)),
            "0", !hang.drops.empty(), largest(hang.drops) == 0);
        const Summary excess = summarize(hang.gap_excess_ms);
        row("character gap beyond spacing and sender, max", figure("%+.3f ms", excess.max),
            "<= 3 ms", excess.count > 0, excess.max <= kGapExcessTargetMs);
        row("  p50 / p99", figure("%+.3f / %+.3f ms", excess.p50, excess.p99), "", excess.count > 0,
            true);
        const Summary sender = summarize(hang.sender_delay_ms);
        row("  sender's delay after a key-up, p50 / max",
            figure("%.3f / %.3f ms", sender.p50, sender.max), "", sender.count > 0, true);
        const Summary hang_fall = summarize(hang.fall_error_ms);
        row("PTT fall after last key-up less 1 word space, max |e|",
            figure("%.3f ms", largest_size(hang.fall_error_ms)), "<= 2 ms (420 ms due)",
            hang_fall.count > 0, largest_size(hang.fall_error_ms) <= kFallTargetMs);
        row("  p50 / mean", figure("%+.3f / %+.3f ms", hang_fall.p50, hang_fall.mean), "",
            hang_fall.count > 0, true);
        const Summary tail_fall = summarize(tail.fall_error_ms);
        row("ptt-tail=500: PTT fall after key-up less 500 ms, max |e|",
            figure("%.3f ms", largest_size(tail.fall_error_ms)), "<= 2 ms", tail_fall.count > 0,
            largest_size(tail.fall_error_ms) <= kFallTargetMs);
        row("  p50 / mean", figure("%+.3f / %+.3f ms", tail_fall.p50, tail_fall.mean), "",
            tail_fall.count > 0, true);
        const Summary in_tail = summarize(tail.in_tail_ms);
        row("text 250 ms into the tail: datagram to key-down, max", figure("%.3f ms", in_tail.max),
            "<= 1 ms", in_tail.count > 0, in_tail.max <= kTextInTailTargetMs);
        row("  PTT drops between the text and the one in its tail",
            figure("%.0f", static_cast<double>(tail.drops)), "0", in_tail.count > 0,
            tail.drops == 0);
        const int missed = without.missed + hang.missed + tail.missed;
        if (missed != 0) {
            printf("tries left out (an edge did not come in time): %d\n", missed);
        }
        printf("load average at the end: %s\n", load_average().c_str());
    }
    return finish_run(dir, options.keep, ran);
}

}  // namespace bench
