// Which two input lines of the serial port carry the paddle's contacts, and
// which iambic mode keys them. Set by the command line before any thread
// exists and read only afterwards.
#pragma once

namespace varkel {

struct PaddleLines {
    int dit;        // TIOCM_CTS, TIOCM_DSR, TIOCM_CAR or TIOCM_RNG; 0: no paddle
    int dah;        // another of them
    bool iambic_a;  // mode A rather than B
};

extern PaddleLines paddle_lines;

// Whether "-o text" names one of the paddle's settings (paddle=, keyer=).
bool is_paddle_option(const char* text);

// One "-o paddle=<dit>,<dah>" or "-o keyer=iambic-b|iambic-a", with its II
// line, or its EE line when refused (settings unchanged).
bool parse_paddle_option(const char* text);

// "CTS", "DSR", "DCD", "RI" for an input line's bit.
const char* input_line_name(int line);

void reset_paddle_lines_for_tests();

}  // namespace varkel
