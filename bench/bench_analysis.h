// Turns the timestamps a benchmark run recorded (client sends, libcw's
// keying callbacks, the simulated port's DTR changes) into the numbers the
// benchmark prints. Pure functions over CLOCK_MONOTONIC nanoseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// A key edge: a DTR change on the port, or a call of the keying callback.
struct Edge {
    int64_t t_ns = 0;
    bool down = false;
};

struct Summary {
    size_t count = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    double mean = 0;
};

// Nearest-rank percentiles; all zero for no values.
Summary summarize(std::vector<double> values);

// What the keying probe wrote: when the program registered its keying
// callback (0 if never) and every call libcw made of it.
struct ProbeLog {
    int64_t registered_ns = 0;
    std::vector<Edge> callbacks;
};
ProbeLog parse_probe_log(const std::string& text);

// For each call of the keying callback, the port edge in the same direction
// that followed it before libcw's next call. libcw calls the callback on
// one thread, so the mirrored ioctl of one edge always lies before the next
// call.
struct EdgeDelays {
    std::vector<double> added_ms;
    size_t callbacks = 0;
    size_t matched = 0;
};
EdgeDelays match_edges(const std::vector<Edge>& callbacks, const std::vector<Edge>& port);

// For each send time, the first key-down on the port within the window that
// follows it. A send is counted busy, and left out, when the key was down
// or had come up less than quiet_ns before it: the tone queue was then
// perhaps not empty.
struct Latencies {
    std::vector<double> latency_ms;
    size_t busy = 0;
    size_t missing = 0;
};
Latencies first_key_downs(const std::vector<int64_t>& sends, const std::vector<Edge>& port,
                          int64_t window_ns, int64_t quiet_ns);

// A key-down or key-up between two edges, with the nearest ideal length
// of 1 or 3 dots: dots and dashes, the spaces inside a character and
// between characters; from_ns and to_ns are its edges.
struct Element {
    double length_ms = 0;
    double ideal_ms = 0;
    int64_t from_ns = 0;
    int64_t to_ns = 0;
};

// Every element whose edges lie between from_ns and to_ns. Key-ups longer
// than 5 dots (word spaces, the pause before or after the text) are left
// out.
std::vector<Element> elements(const std::vector<Edge>& port, int64_t from_ns, int64_t to_ns,
                              double dot_length_ms);

// Length minus ideal of every element, as elements() finds them.
std::vector<double> element_errors_ms(const std::vector<Edge>& port, int64_t from_ns, int64_t to_ns,
                                      double dot_length_ms);
std::vector<double> element_errors_ms(const std::vector<Element>& found);
std::vector<double> absolute_errors_ms(const std::vector<Element>& found);

// Length minus ideal of every element keyed for a known text between
// from_ns and to_ns, matched one to one with the elements the text needs
// (word spaces left out). A stall stretches an element, at times into the
// next kind (a dot as long as a dash), but adds or drops none; matched so,
// a negative error is an element truly keyed short. Empty when the key line
// does not carry the text's elements.
std::vector<double> matched_errors_ms(const std::vector<Edge>& port, int64_t from_ns, int64_t to_ns,
                                      double dot_length_ms, const std::string& text);

// The mean of length over ideal: 1 when libcw keeps time, above 1 when its
// thread wakes late. 0 for no elements.
double mean_element_ratio(const std::vector<Element>& found);

// What the platform probe (bench/platform_probe.cpp) reported: how late
// its threads woke while the programs ran, and each wake-up it kept
// (0.25 ms late or more), asked for at asked_ns and made at woke_ns.
struct Wake {
    int64_t asked_ns = 0;
    int64_t woke_ns = 0;
};
struct PlatformLog {
    bool complete = false;  // its summary was read
    std::string policy;     // "fifo" or "other"
    int threads = 0;
    size_t wakes = 0;
    double p50_ms = 0;
    double p99_ms = 0;
    double max_ms = 0;
    size_t dropped = 0;      // late wake-ups it had no room to keep
    double steal_ms = -1;    // -1: not read
    std::vector<Wake> late;  // in the order of asked_ns
};
PlatformLog parse_platform_log(const std::string& text);

// An element more than late_ms off its ideal length is late. It is the
// platform's when a probe thread, in the element's span, woke at least
// half as late as the element is off: the machine held a thread that was
// asking to run. The probe asks every kProbeIntervalMs, so it sees a stall
// up to one interval shorter than it was: an element off by less than two
// intervals is the platform's too when a probe thread was held across the
// time its late edge was due, by at least the error less one interval.
// Otherwise it is the program's own.
inline constexpr double kLateElementMs = 1.0;
inline constexpr double kProbeIntervalMs = 1.0;
struct LateElements {
    size_t own = 0;
    size_t platform = 0;
};
LateElements classify_late(const std::vector<Element>& found, const std::vector<Wake>& late_wakes,
                           double late_ms = kLateElementMs);

// Reads Morse from the key-downs between from_ns and to_ns, the dot length
// known: a key-down under 2 dots is a dot, longer a dash; a key-up under 2
// dots joins elements, under 5 ends a character, longer ends a word. An
// unknown character reads '?'; a key still down at to_ns ends there.
std::string decode_morse(const std::vector<Edge>& port, int64_t from_ns, int64_t to_ns,
                         double dot_length_ms);

// The length of a dot at a speed: 1.2 s / wpm.
constexpr double dot_ms(int wpm) {
    return 1200.0 / wpm;
}

}  // namespace bench
