#include "devices/serial_lines.h"

#include <sys/ioctl.h>

#include <cstring>

#include "core/logging.h"
#include "devices/paddle_lines.h"

namespace varkel {

namespace {

constexpr SerialLines kDefaultSerialLines{
    .key_line = TIOCM_DTR,
    .ptt_line = TIOCM_RTS,
    .key_inverted = false,
    .ptt_inverted = false,
    .chosen = false,
};

// The option's value after "name=", or null when the text is not that name.
const char* value_of(const char* text, const char* name) {
    const size_t length = strlen(name);
    return strncmp(text, name, length) == 0 && text[length] == '=' ? text + length + 1 : nullptr;
}

bool is(const char* value, const char* word) {
    return value != nullptr && strcmp(value, word) == 0;
}

const char* line_name(int line) {
    return line == TIOCM_DTR ? "dtr" : "rts";
}

}  // namespace

SerialLines serial_lines = kDefaultSerialLines;

bool read_serial_option(const char* text, SerialLines& lines) {
    const char* value = nullptr;
    if ((value = value_of(text, "key")) != nullptr && (is(value, "dtr") || is(value, "rts"))) {
        lines.key_line = is(value, "dtr") ? TIOCM_DTR : TIOCM_RTS;
    } else if ((value = value_of(text, "ptt")) != nullptr &&
               (is(value, "dtr") || is(value, "rts") || is(value, "none"))) {
        lines.ptt_line = is(value, "dtr") ? TIOCM_DTR : is(value, "rts") ? TIOCM_RTS : 0;
    } else if ((value = value_of(text, "invert")) != nullptr &&
               (is(value, "none") || is(value, "key") || is(value, "ptt") || is(value, "key,ptt") ||
                is(value, "ptt,key"))) {
        lines.key_inverted = !is(value, "none") && !is(value, "ptt");
        lines.ptt_inverted = !is(value, "none") && !is(value, "key");
    } else {
        return false;
    }
    lines.chosen = true;
    return true;
}

bool parse_serial_option(const char* text) {
    if (is_paddle_option(text)) {
        return parse_paddle_option(text);
    }
    if (!read_serial_option(text, serial_lines)) {
        debug_log(EE,
                  "invalid requested option: \"%s\" (use key=dtr|rts, ptt=rts|dtr|none or "
                  "invert=none|key|ptt|key,ptt)",
                  text);
        return false;
    }
    debug_log(II, "requested option: \"%s\"", text);
    return true;
}

bool check_serial_lines() {
    if (serial_lines.key_line == serial_lines.ptt_line) {
        debug_log(EE,
                  "invalid requested options: key and PTT both on \"%s\" (choose another line "
                  "with ptt=dtr|rts|none)",
                  line_name(serial_lines.key_line));
        return false;
    }
    return true;
}

int unused_serial_line() {
    if (serial_lines.ptt_line != 0) {
        return 0;
    }
    return serial_lines.key_line == TIOCM_DTR ? TIOCM_RTS : TIOCM_DTR;
}

void reset_serial_lines_for_tests() {
    serial_lines = kDefaultSerialLines;
}

}  // namespace varkel
