#include "devices/paddle_lines.h"

#include <sys/ioctl.h>

#include <cstring>

#include "core/logging.h"

namespace varkel {

PaddleLines paddle_lines{};

namespace {

constexpr const char* kPaddleName = "paddle=";
constexpr const char* kKeyerName = "keyer=";

struct InputLine {
    const char* option_name;
    const char* log_name;
    int bit;
};

constexpr InputLine kInputLines[] = {
    {"cts", "CTS", TIOCM_CTS},
    {"dsr", "DSR", TIOCM_DSR},
    {"dcd", "DCD", TIOCM_CAR},
    {"ri", "RI", TIOCM_RNG},
};

bool starts_with(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// The line a name of length characters stands for, or 0.
int line_named(const char* name, size_t length) {
    for (const InputLine& line : kInputLines) {
        if (strlen(line.option_name) == length && strncmp(name, line.option_name, length) == 0) {
            return line.bit;
        }
    }
    return 0;
}

bool read_paddle(const char* value, PaddleLines& lines) {
    const char* comma = strchr(value, ',');
    if (comma == nullptr) {
        return false;
    }
    const int dit = line_named(value, static_cast<size_t>(comma - value));
    const int dah = line_named(comma + 1, strlen(comma + 1));
    if (dit == 0 || dah == 0 || dit == dah) {
        return false;
    }
    lines.dit = dit;
    lines.dah = dah;
    return true;
}

}  // namespace

bool is_paddle_option(const char* text) {
    return starts_with(text, kPaddleName) || starts_with(text, kKeyerName);
}

bool parse_paddle_option(const char* text) {
    if (starts_with(text, kPaddleName)) {
        if (!read_paddle(text + strlen(kPaddleName), paddle_lines)) {
            debug_log(EE,
                      "invalid requested option: \"%s\" (use paddle=<dit>,<dah> with two "
                      "different lines of cts, dsr, dcd, ri)",
                      text);
            return false;
        }
    } else {
        const char* value = text + strlen(kKeyerName);
        if (strcmp(value, "iambic-b") != 0 && strcmp(value, "iambic-a") != 0) {
            debug_log(EE, "invalid requested option: \"%s\" (use keyer=iambic-b|iambic-a)", text);
            return false;
        }
        paddle_lines.iambic_a = strcmp(value, "iambic-a") == 0;
    }
    debug_log(II, "requested option: \"%s\"", text);
    return true;
}

const char* input_line_name(int line) {
    for (const InputLine& input : kInputLines) {
        if (input.bit == line) {
            return input.log_name;
        }
    }
    return "?";
}

void reset_paddle_lines_for_tests() {
    paddle_lines = PaddleLines{};
}

}  // namespace varkel
