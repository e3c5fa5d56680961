#include "bench_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <sstream>

#include "blackbox/morse_decoder.h"

namespace bench {

namespace {

constexpr double kNsPerMs = 1e6;
// A key-up longer than this is a word space or a pause between texts, not
// a space inside a word. libcw's word space runs about 10 dots (its
// character space plus 7), so word spaces are left out: they would only
// measure libcw's choice.
constexpr double kLongestSpaceDots = 5.0;
constexpr double kDownDots[] = {1.0, 3.0};
constexpr double kUpDots[] = {1.0, 3.0};

double ms_between(int64_t from_ns, int64_t to_ns) {
    return static_cast<double>(to_ns - from_ns) / kNsPerMs;
}

double nearest_rank(const std::vector<double>& sorted, double percent) {
    const auto rank = static_cast<size_t>(std::ceil(percent / 100.0 * sorted.size()));
    return sorted[std::max<size_t>(rank, 1) - 1];
}

// The first edge at or after t_ns.
std::vector<Edge>::const_iterator first_from(const std::vector<Edge>& edges, int64_t t_ns) {
    return std::lower_bound(edges.begin(), edges.end(), t_ns,
                            [](const Edge& edge, int64_t t) { return edge.t_ns < t; });
}

}  // namespace

Summary summarize(std::vector<double> values) {
    Summary summary;
    summary.count = values.size();
    if (values.empty()) {
        return summary;
    }
    std::sort(values.begin(), values.end());
    summary.p50 = nearest_rank(values, 50);
    summary.p99 = nearest_rank(values, 99);
    summary.max = values.back();
    summary.mean = std::accumulate(values.begin(), values.end(), 0.0) / values.size();
    return summary;
}

ProbeLog parse_probe_log(const std::string& text) {
    ProbeLog log;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        char kind = 0;
        long long t_ns = 0;
        int state = 0;
        if (std::sscanf(line.c_str(), "K %lld %d", &t_ns, &state) == 2) {
            log.callbacks.push_back({t_ns, state == 1});
        } else if (std::sscanf(line.c_str(), "%c %lld", &kind, &t_ns) == 2 && kind == 'R') {
            if (log.registered_ns == 0) {
                log.registered_ns = t_ns;
            }
        }
    }
    return log;
}

EdgeDelays match_edges(const std::vector<Edge>& callbacks, const std::vector<Edge>& port) {
    EdgeDelays delays;
    delays.callbacks = callbacks.size();
    for (size_t i = 0; i < callbacks.size(); ++i) {
        const Edge& call = callbacks[i];
        const bool last = i + 1 == callbacks.size();
        for (auto edge = first_from(port, call.t_ns); edge != port.end(); ++edge) {
            if (!last && edge->t_ns >= callbacks[i + 1].t_ns) {
                break;
            }
            if (edge->down == call.down) {
                delays.added_ms.push_back(ms_between(call.t_ns, edge->t_ns));
                ++delays.matched;
                break;
            }
        }
    }
    return delays;
}

Latencies first_key_downs(const std::vector<int64_t>& sends, const std::vector<Edge>& port,
                          int64_t window_ns, int64_t quiet_ns) {
    Latencies result;
    for (const int64_t sent : sends) {
        const auto next = first_from(port, sent);
        if (next != port.begin()) {
            const Edge& before = *(next - 1);
            if (before.down || sent - before.t_ns < quiet_ns) {
                ++result.busy;
                continue;
            }
        }
        auto edge = next;
        while (edge != port.end() && edge->t_ns < sent + window_ns && !edge->down) {
            ++edge;
        }
        if (edge == port.end() || edge->t_ns >= sent + window_ns) {
            ++result.missing;
            continue;
        }
        result.latency_ms.push_back(ms_between(sent, edge->t_ns));
    }
    return result;
}

std::vector<Element> elements(const std::vector<Edge>& port, int64_t from_ns, int64_t to_ns,
                              double dot_length_ms) {
    const double dot = dot_length_ms;
    std::vector<Element> found;
    for (auto edge = first_from(port, from_ns); edge != port.end(); ++edge) {
        const auto next = edge + 1;
        if (next == port.end() || next->t_ns > to_ns) {
            break;
        }
        if (edge->down == next->down) {
            continue;  // a repeated state is no element
        }
        const double length = ms_between(edge->t_ns, next->t_ns);
        if (!edge->down && length > kLongestSpaceDots * dot) {
            continue;
        }
        Element element{length, 0, edge->t_ns, next->t_ns};
        double best = INFINITY;
        auto consider = [&](double dots) {
            if (std::fabs(length - dots * dot) < best) {
                best = std::fabs(length - dots * dot);
                element.ideal_ms = dots * dot;
            }
        };
        if (edge->down) {
            std::for_each(std::begin(kDownDots), std::end(kDownDots), consider);
        } else {
            std::for_each(std::begin(kUpDots), std::end(kUpDots), consider);
        }
        found.push_back(element);
    }
    return found;
}

std::vector<double> element_errors_ms(const std::vector<Element>& found) {
    std::vector<double> errors;
    for (const Element& element : found) {
        errors.push_back(element.length_ms - element.ideal_ms);
    }
    return errors;
}

std::vector<double> element_errors_ms(const std::vector<Edge>& port, int64_t from_ns, int64_t to_ns,
                                      double dot_length_ms) {
    return element_errors_ms(elements(port, from_ns, to_ns, dot_length_ms));
}

std::vector<double> absolute_errors_ms(const std::vector<Element>& found) {
    std::vector<double> errors = element_errors_ms(found);
    for (double& error : errors) {
        error = std::fabs(error);
    }
    return errors;
}

double mean_element_ratio(const std::vector<Element>& found) {
    double sum = 0;
    for (const Element& element : found) {
        sum += element.length_ms / element.ideal_ms;
    }
    return found.empty() ? 0 : sum / found.size();
}

PlatformLog parse_platform_log(const std::string& text) {
    PlatformLog log;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        char policy[16] = {};
        int threads = 0;
        unsigned long long wakes = 0;
        unsigned long long dropped = 0;
        long long a = 0;
        long long b = 0;
        long long c = 0;
        if (std::sscanf(line.c_str(), "L %lld %lld", &a, &b) == 2) {
            log.late.push_back({a, b});
        } else if (std::sscanf(line.c_str(), "W %llu %lld %lld %lld %llu", &wakes, &a, &b, &c,
                               &dropped) == 5) {
            log.complete = true;
            log.wakes = wakes;
            log.p50_ms = static_cast<double>(a) / kNsPerMs;
            log.p99_ms = static_cast<double>(b) / kNsPerMs;
            log.max_ms = static_cast<double>(c) / kNsPerMs;
            log.dropped = dropped;
        } else if (std::sscanf(line.c_str(), "S %lld", &a) == 1) {
            log.steal_ms = static_cast<double>(a);
        } else if (std::sscanf(line.c_str(), "P %15s %d", policy, &threads) == 2) {
            log.policy = policy;
            log.threads = threads;
        }
    }
    return log;
}

LateElements classify_late(const std::vector<Element>& found, const std::vector<Wake>& late_wakes,
                           double late_ms) {
    int64_t longest_ns = 0;
    for (const Wake& wake : late_wakes) {
        longest_ns = std::max(longest_ns, wake.woke_ns - wake.asked_ns);
    }
    LateElements late;
    for (const Element& element : found) {
        const double error = std::fabs(element.length_ms - element.ideal_ms);
        if (error <= late_ms) {
            continue;
        }
        // A wake-up held at least `least` ms whose wait overlaps from..to:
        // asked before to, made after from.
        auto held_within = [&](int64_t from_ns, int64_t to_ns, double least) {
            auto wake = std::lower_bound(late_wakes.begin(), late_wakes.end(), from_ns - longest_ns,
                                         [](const Wake& w, int64_t t) { return w.asked_ns < t; });
            for (; wake != late_wakes.end() && wake->asked_ns < to_ns; ++wake) {
                if (wake->woke_ns > from_ns && ms_between(wake->asked_ns, wake->woke_ns) >= least) {
                    return true;
                }
            }
            return false;
        };
        bool platform = held_within(element.from_ns, element.to_ns, error / 2);
        if (!platform && error < 2 * kProbeIntervalMs) {
            // A long element's end came late, a short one's start.
            const auto error_ns = static_cast<int64_t>(error * kNsPerMs);
            const int64_t edge_ns =
                element.length_ms > element.ideal_ms ? element.to_ns : element.from_ns;
            platform = held_within(edge_ns - error_ns, edge_ns, error - kProbeIntervalMs);
        }
        ++(platform ? late.platform : late.own);
    }
    return late;
}

std::vector<double> matched_errors_ms(const std::vector<Edge>& port, int64_t from_ns, int64_t to_ns,
                                      double dot_length_ms, const std::string& text) {
    constexpr double kWordSpace = 0;  // not measured
    std::vector<double> ideal_dots;   // marks and spaces, from the first mark
    for (const char c : text) {
        if (c == ' ') {
            if (!ideal_dots.empty()) {
                ideal_dots.back() = kWordSpace;
            }
            continue;
        }
        for (const auto& [code, letter] : morse_decoder::morse_table()) {
            if (letter != c) {
                continue;
            }
            for (const char element : code) {
                ideal_dots.push_back(element == '-' ? 3 : 1);
                ideal_dots.push_back(1);
            }
            ideal_dots.back() = 3;
        }
    }
    if (!ideal_dots.empty()) {
        ideal_dots.pop_back();  // the space after the last mark
    }
    std::vector<Edge> changes;
    for (auto edge = first_from(port, from_ns); edge != port.end() && edge->t_ns <= to_ns; ++edge) {
        if ((changes.empty() && edge->down) ||
            (!changes.empty() && edge->down != changes.back().down)) {
            changes.push_back(*edge);
        }
    }
    if (changes.size() != ideal_dots.size() + 1) {
        return {};
    }
    std::vector<double> errors;
    for (size_t i = 0; i < ideal_dots.size(); ++i) {
        if (ideal_dots[i] != kWordSpace) {
            errors.push_back(ms_between(changes[i].t_ns, changes[i + 1].t_ns) -
                             ideal_dots[i] * dot_length_ms);
        }
    }
    return errors;
}

std::string decode_morse(const std::vector<Edge>& port, int64_t from_ns, int64_t to_ns,
                         double dot_length_ms) {
    std::string text;
    std::string code;
    auto end_character = [&] {
        if (code.empty()) {
            return;
        }
        const auto found = morse_decoder::morse_table().find(code);
        text.push_back(found == morse_decoder::morse_table().end() ? '?' : found->second);
        code.clear();
    };
    bool down = false;
    int64_t since_ns = 0;
    for (auto edge = first_from(port, from_ns); edge != port.end() && edge->t_ns <= to_ns; ++edge) {
        if (edge->down == down) {
            continue;
        }
        const double dots = ms_between(since_ns, edge->t_ns) / dot_length_ms;
        if (down) {
            code.push_back(dots < 2 ? '.' : '-');
        } else if (since_ns != 0 && dots >= 2) {
            end_character();
            if (dots >= kLongestSpaceDots) {
                text.push_back(' ');
            }
        }
        down = edge->down;
        since_ns = edge->t_ns;
    }
    if (down) {
        code.push_back(ms_between(since_ns, to_ns) / dot_length_ms < 2 ? '.' : '-');
    }
    end_character();
    return text;
}

}  // namespace bench
