// Reads the request log of the simulated ports (tests/simport/simport.c
// describes its lines) into events, and turns one output line of a port
// into a timeline of level changes, for example DTR into key edges.
#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace simport {

// Serial modem bits (TIOCM_DTR, TIOCM_RTS) and parallel control bits.
inline constexpr unsigned kDtr = 0x002;
inline constexpr unsigned kRts = 0x004;
inline constexpr unsigned kControlInUse = 0x01;
inline constexpr unsigned kControlSsb = 0x02;
inline constexpr unsigned kControlPtt = 0x04;
inline constexpr unsigned kControlKey = 0x08;  // clear = key down
inline constexpr unsigned kStatusFootSwitch = 0x08;

struct Event {
    int64_t time_ns = 0;  // CLOCK_MONOTONIC, as std::chrono::steady_clock
    long pid = 0;
    std::string port;  // "serial" or "parallel"
    int fd = -1;
    std::string request;  // OPEN, CLOSE, TIOCMBIS, PPWCONTROL, ...
    unsigned long value = 0;
    bool ok = false;
    int error = 0;
    unsigned state = 0;  // after the event: modem bits or control register
    unsigned data = 0;
    unsigned status = 0;
    bool claimed = false;
};

// One level change of a line: on is the line's active level.
struct Edge {
    int64_t time_ns = 0;
    bool on = false;
};

namespace detail {

inline bool field(std::istringstream& in, const char* name, std::string& value) {
    std::string token;
    if (!(in >> token)) {
        return false;
    }
    const std::string prefix = std::string(name) + "=";
    if (token.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    value = token.substr(prefix.size());
    return true;
}

inline unsigned long number(const std::string& text) {
    return std::stoul(text, nullptr, 0);
}

}  // namespace detail

// False for a line that is not an event (a torn last line, say).
inline bool parse_line(const std::string& line, Event& event) {
    std::istringstream in(line);
    std::string t, pid, port, fd, req, val, ok, err, state, data, status, claimed;
    using detail::field;
    if (!field(in, "t", t) || !field(in, "pid", pid) || !field(in, "port", port) ||
        !field(in, "fd", fd) || !field(in, "req", req) || !field(in, "val", val) ||
        !field(in, "ok", ok) || !field(in, "err", err) || !field(in, "state", state) ||
        !field(in, "data", data) || !field(in, "status", status) ||
        !field(in, "claimed", claimed)) {
        return false;
    }
    event.time_ns = std::stoll(t);
    event.pid = std::stol(pid);
    event.port = port;
    event.fd = std::stoi(fd);
    event.request = req;
    event.value = detail::number(val);
    event.ok = ok == "1";
    event.error = std::stoi(err);
    event.state = static_cast<unsigned>(detail::number(state));
    event.data = static_cast<unsigned>(detail::number(data));
    event.status = static_cast<unsigned>(detail::number(status));
    event.claimed = claimed == "1";
    return true;
}

inline std::vector<Event> parse_log(const std::string& text) {
    std::vector<Event> events;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        Event event;
        if (parse_line(line, event)) {
            events.push_back(event);
        }
    }
    return events;
}

inline std::vector<Event> read_log(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return parse_log(text.str());
}

// The events of one port, optionally of one process only (pid 0: all).
inline std::vector<Event> of_port(const std::vector<Event>& events, const std::string& port,
                                  long pid = 0) {
    std::vector<Event> kept;
    for (const Event& event : events) {
        if (event.port == port && (pid == 0 || event.pid == pid)) {
            kept.push_back(event);
        }
    }
    return kept;
}

// The requests of the events, in order ("TIOCMBIC", "PPWCONTROL", ...).
inline std::vector<std::string> request_names(const std::vector<Event>& events) {
    std::vector<std::string> names;
    for (const Event& event : events) {
        names.push_back(event.request);
    }
    return names;
}

// The level of a line of the port's state after its first event, then
// every change. A line that is active when clear (the parallel key) is
// given with active_low.
inline std::vector<Edge> line_timeline(const std::vector<Event>& events, const std::string& port,
                                       unsigned mask, bool active_low = false) {
    std::vector<Edge> edges;
    for (const Event& event : events) {
        if (event.port != port) {
            continue;
        }
        const bool on = ((event.state & mask) != 0) != active_low;
        if (edges.empty() || edges.back().on != on) {
            edges.push_back({event.time_ns, on});
        }
    }
    return edges;
}

}  // namespace simport
