// Which modem line of a serial port keys, which one carries PTT and which
// are active low. Set by the command line before any thread exists and read
// only afterwards, also from signal handlers: every serial port the daemon
// drives uses the same lines.
#pragma once

namespace varkel {

struct SerialLines {
    int key_line;       // TIOCM_DTR or TIOCM_RTS
    int ptt_line;       // TIOCM_RTS or TIOCM_DTR; 0 when no line carries PTT
    bool key_inverted;  // the key line is asserted at rest, cleared to key
    bool ptt_inverted;  // the PTT line is asserted at rest, cleared for PTT on
    bool chosen;        // an option changed them from the defaults
};

// Defaults: DTR keys, RTS is PTT, both active high.
extern SerialLines serial_lines;

// One "-o name=value": key=dtr|rts, ptt=rts|dtr|none,
// invert=none|key|ptt|key,ptt, into lines; false (lines unchanged) when
// the text is none of those.
bool read_serial_option(const char* text, SerialLines& lines);

// After the last option: false (EE logged) when key and PTT share a line.
bool check_serial_lines();

// The line that neither keys nor carries PTT (PTT on no line), else 0.
int unused_serial_line();

// Whether a line must be asserted for the state (1 active, 0 at rest).
inline bool key_line_level(int state) {
    return (state == 1) != serial_lines.key_inverted;
}
inline bool ptt_line_level(int state) {
    return (state == 1) != serial_lines.ptt_inverted;
}

void reset_serial_lines_for_tests();

}  // namespace varkel
