// Reads Morse back from a recorded key line: the on and off intervals
// from the first key-down, decoded at a known speed, with every element
// checked against libcw's nominal length.
#pragma once

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "blackbox/simport_log.h"

namespace morse_decoder {

using simport::Edge;

// Elements may be this much off libcw's nominal length (or 2 ms, whichever
// is more); a busy machine can stall the generator thread and stretch an
// element now and then, so a few may be longer still.
constexpr double kTolerance = 0.15;
constexpr double kToleranceFloorMs = 2.0;

inline const std::map<std::string, char>& morse_table() {
    static const std::map<std::string, char> table = {
        {".-", 'A'},    {"-...", 'B'},  {"-.-.", 'C'},  {"-..", 'D'},   {".", 'E'},
        {"..-.", 'F'},  {"--.", 'G'},   {"....", 'H'},  {"..", 'I'},    {".---", 'J'},
        {"-.-", 'K'},   {".-..", 'L'},  {"--", 'M'},    {"-.", 'N'},    {"---", 'O'},
        {".--.", 'P'},  {"--.-", 'Q'},  {".-.", 'R'},   {"...", 'S'},   {"-", 'T'},
        {"..-", 'U'},   {"...-", 'V'},  {".--", 'W'},   {"-..-", 'X'},  {"-.--", 'Y'},
        {"--..", 'Z'},  {"-----", '0'}, {".----", '1'}, {"..---", '2'}, {"...--", '3'},
        {"....-", '4'}, {".....", '5'}, {"-....", '6'}, {"--...", '7'}, {"---..", '8'},
        {"----.", '9'}};
    return table;
}

inline size_t marks_of(const std::string& text) {
    size_t marks = 0;
    for (const char c : text) {
        for (const auto& [code, letter] : morse_table()) {
            if (letter == c) {
                marks += code.size();
            }
        }
    }
    return marks;
}

struct Interval {
    bool on = false;
    double ms = 0;
};

// The line from the moment the driver brought it to rest on (opening a port
// raises its lines until init clears them).
inline std::vector<Edge> line_after_rest(const std::vector<Edge>& edges) {
    size_t first = 0;
    while (first < edges.size() && edges[first].on) {
        ++first;
    }
    return std::vector<Edge>(edges.begin() + static_cast<long>(first), edges.end());
}

// The key line's on and off intervals from its first key-down to its last
// edge.
inline std::vector<Interval> key_intervals(const std::vector<Edge>& edges) {
    const std::vector<Edge> line = line_after_rest(edges);
    std::vector<Interval> intervals;
    for (size_t i = 1; i + 1 < line.size(); ++i) {
        intervals.push_back(
            {line[i].on, static_cast<double>(line[i + 1].time_ns - line[i].time_ns) / 1e6});
    }
    return intervals;
}

struct Decoded {
    std::string text;
    std::vector<std::string> mistimed;   // elements shorter than allowed
    std::vector<std::string> stretched;  // elements longer than allowed
};

// Reads Morse from the key line at the speed: marks of 1 or 3 units, gaps
// of 1 unit inside a character, 3 between characters, more between words.
inline Decoded decode(const std::vector<Interval>& intervals, int wpm) {
    const double unit = 1200.0 / wpm;
    Decoded decoded;
    std::string code;
    auto check = [&](const char* what, double ms, double units) {
        const double expected = units * unit;
        const double allowed = std::max(expected * kTolerance, kToleranceFloorMs);
        char note[96];
        snprintf(note, sizeof note, "%s %.2f ms (expected %.2f)", what, ms, expected);
        if (ms < expected - allowed) {
            decoded.mistimed.push_back(note);
        } else if (ms > expected + allowed) {
            decoded.stretched.push_back(note);
        }
    };
    auto end_character = [&] {
        if (code.empty()) {
            return;
        }
        const auto found = morse_table().find(code);
        decoded.text.push_back(found == morse_table().end() ? '?' : found->second);
        code.clear();
    };
    for (const Interval& interval : intervals) {
        const double units = interval.ms / unit;
        if (interval.on) {
            const bool dash = units >= 2.0;
            code.push_back(dash ? '-' : '.');
            check(dash ? "dash" : "dot", interval.ms, dash ? 3 : 1);
        } else if (units < 2.0) {
            check("element gap", interval.ms, 1);
        } else if (units < 5.0) {
            end_character();
            check("character gap", interval.ms, 3);
        } else {
            end_character();
            decoded.text.push_back(' ');
        }
    }
    end_character();
    return decoded;
}

// Checks the key line against the text it was to carry. A stall of the
// generator thread (a late wake-up on a busy machine) makes an element
// longer than nominal, at times long enough to read as the next longer kind:
// a gap inside a character as one between characters, a dot as a dash. It
// never makes one shorter, and it adds or drops no element. So the elements
// are matched one to one with those the text needs, and only their count,
// order and shortness are keying faults: text is the text itself when one
// element was keyed for each it needs (else what the lengths read), mistimed
// lists every element shorter than its own kind allows, stretched every one
// longer (a stall). A word space must be longer than 5 units, and is not
// checked above that.
inline Decoded check_keyed(const std::vector<Interval>& intervals, const std::string& text,
                           int wpm) {
    std::map<char, std::string> codes;
    for (const auto& [code, letter] : morse_table()) {
        codes[letter] = code;
    }
    constexpr double kWordSpace = 0;  // in units: "at least 5", unchecked above
    std::vector<Interval> expected;   // in units
    for (const char c : text) {
        if (c == ' ') {
            if (!expected.empty()) {
                expected.back().ms = kWordSpace;
            }
            continue;
        }
        const auto found = codes.find(c);
        for (const char element : found == codes.end() ? std::string() : found->second) {
            expected.push_back({true, element == '-' ? 3.0 : 1.0});
            expected.push_back({false, 1});
        }
        if (!expected.empty()) {
            expected.back().ms = 3;
        }
    }
    if (!expected.empty()) {
        expected.pop_back();  // the space after the last mark is not on the line
    }
    Decoded checked = decode(intervals, wpm);
    checked.mistimed.clear();
    checked.stretched.clear();
    bool same = intervals.size() == expected.size();
    const double unit = 1200.0 / wpm;
    for (size_t i = 0; same && i < intervals.size(); ++i) {
        const Interval& keyed = intervals[i];
        same = keyed.on == expected[i].on;
        const bool word_space = !keyed.on && expected[i].ms == kWordSpace;
        const double nominal = (word_space ? 5 : expected[i].ms) * unit;
        const double allowed = word_space ? 0 : std::max(nominal * kTolerance, kToleranceFloorMs);
        char note[96];
        snprintf(note, sizeof note, "%s %zu: %.2f ms (expected %.2f)", keyed.on ? "mark" : "space",
                 i, keyed.ms, nominal);
        if (keyed.ms < nominal - allowed) {
            checked.mistimed.push_back(note);
        } else if (!word_space && keyed.ms > nominal + allowed) {
            checked.stretched.push_back(note);
        }
    }
    if (same) {
        checked.text = text;
    }
    return checked;
}

inline std::string joined(const std::vector<std::string>& notes) {
    std::string text;
    for (const auto& note : notes) {
        text += note + "\n";
    }
    return text;
}

}  // namespace morse_decoder
