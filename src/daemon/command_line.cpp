#include "daemon/command_line.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "core/logging.h"
#include "core/process_exit.h"
#include "core/settings.h"
#include "core/value_parsers.h"
#include "devices/keying_device.h"
#include "devices/paddle_lines.h"
#include "devices/serial_lines.h"
#include "morse/ptt_hold.h"
#include "morse/sound_device.h"

namespace varkel {

namespace {

// Every entry returns 0 from getopt_long and is known by its index. The
// order decides abbreviations: a prefix shared by entries of the same
// argument kind picks the first of them ("--p" is "--port"). Entries added
// later go at the end and share no first letter with the others, so no
// abbreviation changes its meaning.
constexpr option kLongOptions[] = {
    {"cwdevice", required_argument, nullptr, 0},
    {"nofork", no_argument, nullptr, 0},
    {"port", required_argument, nullptr, 0},
    {"priority", required_argument, nullptr, 0},
    {"wpm", required_argument, nullptr, 0},
    {"pttdelay", required_argument, nullptr, 0},
    {"volume", required_argument, nullptr, 0},
    {"version", no_argument, nullptr, 0},
    {"weighting", required_argument, nullptr, 0},
    {"tone", required_argument, nullptr, 0},
    {"verbosity", required_argument, nullptr, 0},
    {"libcwflags", required_argument, nullptr, 0},
    {"debugfile", required_argument, nullptr, 0},
    {"system", required_argument, nullptr, 0},
    {"help", no_argument, nullptr, 0},
    {"options", required_argument, nullptr, 0},
    {nullptr, 0, nullptr, 0},
};

// The short option each long option acts as, by the same index.
constexpr char kLongOptionShortForms[] = {'d', 'n', 'p', 'P', 's', 't', 'v', 'V',
                                          'w', 'T', 'y', 'I', 'f', 'x', 'h', 'o'};

static_assert(std::size(kLongOptionShortForms) + 1 == std::size(kLongOptions),
              "every long option needs its short form");

// The names -o takes, each with the values it takes and its reader, which
// gets the whole "name=value" and returns false for a value it refuses.
struct NamedOption {
    const char* name;
    const char* values;
    bool (*read)(const char* text);
};

bool read_serial_lines(const char* text) {
    return read_serial_option(text, serial_lines);
}

bool read_ptt_hold(const char* text) {
    return read_ptt_hold_option(text, ptt_hold);
}

constexpr NamedOption kNamedOptions[] = {
    {"key", "dtr|rts", read_serial_lines},
    {"ptt", "rts|dtr|none", read_serial_lines},
    {"invert", "none|key|ptt|key,ptt", read_serial_lines},
    {"ptt-tail", "<ms 0..2550>", read_ptt_hold},
    {"ptt-hang", "<word spaces 0..8>", read_ptt_hold},
};

const NamedOption* named_option(const char* text) {
    const char* equals = strchr(text, '=');
    const size_t length = equals == nullptr ? 0 : static_cast<size_t>(equals - text);
    for (const NamedOption& option : kNamedOptions) {
        if (length != 0 && strlen(option.name) == length &&
            strncmp(text, option.name, length) == 0) {
            return &option;
        }
    }
    return nullptr;
}

// "key=dtr|rts, ptt=rts|dtr|none ... or ptt-hang=<word spaces 0..8>"
std::string named_option_hint() {
    std::string hint;
    for (size_t i = 0; i < std::size(kNamedOptions); ++i) {
        if (i != 0) {
            hint += i + 1 == std::size(kNamedOptions) ? " or " : ", ";
        }
        hint += std::string(kNamedOptions[i].name) + "=" + kNamedOptions[i].values;
    }
    return hint;
}

bool parse_named_option(const char* text) {
    const NamedOption* option = named_option(text);
    if (option == nullptr || !option->read(text)) {
        debug_log(EE, "invalid requested option: \"%s\" (use %s)", text,
                  named_option_hint().c_str());
        return false;
    }
    debug_log(II, "requested option: \"%s\"", text);
    return true;
}

void refuse_unless(bool accepted) {
    if (!accepted) {
        exit_process(1);  // the parser has logged why
    }
}

void set_ptt_delay(const char* text) {
    // Above the range the parser clips silently; here that is an error too.
    if (parse_ptt_delay(settings.defaults.ptt_delay, text) != PTT_DELAY_OK) {
        debug_log(EE,
                  "invalid requested PTT delay [ms]: \"%s\" (should be integer between %d and %d "
                  "inclusive)",
                  text, kPttDelayMin, kPttDelayMax);
        exit_process(1);
    }
}

void increase_verbosity() {
    if (settings.defaults.verbosity < DD) {
        ++settings.defaults.verbosity;
        debug_log(II, "requested verbosity level threshold: \"%s\"",
                  level_label(settings.defaults.verbosity));
    }
}

void mark_foreground() {
    if (!settings.nofork) {
        fprintf(stdout, "%s: Not forking...\n", kProgramName);
        fflush(stdout);
        settings.nofork = true;
    }
}

void act_on_option(int letter, const char* argument) {
    switch (letter) {
        case 'd':
            debug_log(II, "requested cwdevice \"%s\"", argument);
            refuse_unless(select_device(current_device, argument));
            break;
        case 'n':
            mark_foreground();
            break;
        case 'p':
            refuse_unless(parse_port(argument));
            break;
        case 'P':
            refuse_unless(parse_priority(argument));
            break;
        case 's':
            refuse_unless(parse_wpm(settings.defaults.wpm, argument));
            break;
        case 't':
            set_ptt_delay(argument);
            break;
        case 'v':
            refuse_unless(parse_volume(settings.defaults.volume, argument));
            break;
        case 'V':
            print_version();
            exit_process(0);
            break;
        case 'w':
            refuse_unless(parse_weighting(settings.defaults.weighting, argument));
            break;
        case 'T':
            refuse_unless(parse_tone(settings.defaults.tone, argument));
            break;
        case 'y':
            refuse_unless(parse_verbosity(argument));
            break;
        case 'i':
            increase_verbosity();
            break;
        case 'I':
            refuse_unless(parse_libcw_debug_flags(argument));
            break;
        case 'f':
            refuse_unless(parse_debug_file_path(argument));
            break;
        case 'x':
            refuse_unless(parse_sound_system(settings.defaults.sound_system, argument));
            break;
        case 'o':
            // The device name and the paddle have their own checks and
            // their own refusals.
            if (is_sound_device_option(argument)) {
                refuse_unless(parse_sound_device_option(argument));
            } else if (is_paddle_option(argument)) {
                refuse_unless(parse_paddle_option(argument));
            } else {
                refuse_unless(parse_named_option(argument));
            }
            break;
        case 'h':
            print_usage();
            exit_process(0);
            break;
        default:
            // getopt_long has written its diagnostic to standard error:
            // unknown option, missing or unwanted argument, ambiguous
            // abbreviation.
            print_usage();
            exit_process(0);
            break;
    }
}

// A serial port chosen by -d is brought to rest the moment it is opened,
// and on an interface that keys when its line is low the rest depends on
// -o: so the accepted -o values take effect before any option is acted on,
// wherever they stand. Nothing is printed; the pass that follows reads them
// again in order, reporting and refusing as for every option.
void take_serial_lines_first(int argc, char** argv) {
    optind = 0;
    const int saved_opterr = opterr;
    opterr = 0;
    int index = 0;
    int result;
    while ((result = getopt_long(argc, argv, kOptionString, kLongOptions, &index)) != -1) {
        const bool serial_option =
            result == 'o' || (result == 0 && kLongOptionShortForms[index] == 'o');
        if (serial_option) {
            read_serial_option(optarg, serial_lines);
        }
    }
    opterr = saved_opterr;
}

}  // namespace

void read_command_line(int argc, char** argv) {
    take_serial_lines_first(argc, argv);
    // 0 rather than 1 makes glibc's getopt start over completely, so the
    // command line can be read again (tests do).
    optind = 0;
    int index = 0;
    int result;
    while ((result = getopt_long(argc, argv, kOptionString, kLongOptions, &index)) != -1) {
        if (result == 0) {
            const option& entry = kLongOptions[index];
            const bool has_argument = entry.has_arg == required_argument;
            debug_log(DD, "long option \"%s\"%s%s\n", entry.name, has_argument ? "=" : "",
                      has_argument ? optarg : "");
            result = kLongOptionShortForms[index];
        }
        act_on_option(result, optarg);
    }
    // Judged once all are read: "-o key=rts -o ptt=dtr" passes through a
    // moment where both name RTS.
    if (serial_lines.chosen) {
        refuse_unless(check_serial_lines());
    }
}

void print_usage() {
    // The numbers are the initial values, whatever the options said.
    const Settings initial;
    const ParameterSet& defaults = initial.defaults;
    fprintf(stdout,
            "Usage: %s [option]...\n"
            "Long options may not be supported on your system.\n"
            "\n"
            "-h, --help\n"
            "        Print this help and exit.\n"
            "-V, --version\n"
            "        Print version information and exit.\n"
            "-d, --cwdevice <device>\n"
            "        Use a different device.\n"
            "        (e.g. ttyd0,1,2, ppi0,1, etc. default: ppi0)\n"
            "        Use \"null\" for dummy device (no rig keying, no ssb keying, etc.).\n"
            "-n, --nofork\n"
            "        Do not fork. Print debug information to stdout.\n"
            "-p, --port <port>\n"
            "        Use a different UDP port number (> 1023, default: %d).\n"
            "-P, --priority <priority>\n"
            "        Set program's priority (-20 - 20, default: 0).\n"
            "-s, --wpm <speed>\n"
            "        Set Morse speed [wpm] (%d - %d, default: %d).\n"
            "-t, --pttdelay <time>\n"
            "        Set PTT delay [ms] (%d - %d, default: %d).\n"
            "-x, --system <sound system>\n"
            "        Use a specific sound system:\n"
            "        c = console buzzer (default)\n"
            "        o = OSS\n"
            "        a = ALSA\n"
            "        p = PulseAudio\n"
            "        n = null (no audio)\n"
            "        s = soundcard (autoselect from OSS/ALSA/PulseAudio)\n"
            "-v, --volume <volume>\n"
            "        Set volume for soundcard output [%%] (%d - %d, default: %d).\n"
            "-w, --weighting <weight>\n"
            "        Set weighting (%d - %d, default: %d).\n"
            "-T, --tone <tone>\n"
            "        Set initial tone [Hz] (%d - %d, default: %d).\n"
            "-i\n"
            "        Increase verbosity of debug strings printed by varkel.\n"
            "        Repeat for even more verbosity (e.g. -iii).\n"
            "        Alternatively you can use -y/--verbosity option.\n"
            "-y, --verbosity <threshold>\n"
            "        Set verbosity level threshold for debug strings printed by varkel.\n"
            "        Recognized values:\n"
            "        n = none\n"
            "        e = errors\n"
            "        w = warnings (default)\n"
            "        i = information\n"
            "        d = details\n"
            "        Alternatively you can use -i option.\n"
            "-I, --libcwflags <flags>\n"
            "        Numeric value of debug flags to be passed to libcw.\n"
            "-f, --debugfile <output>\n"
            "        Print debug information to <output> instead of stdout.\n"
            "        Value of <output> can be explicitly stated as \"stdout\"\n"
            "        (when not forking).\n"
            "        Value of <output> can be also \"stderr\" (when not forking).\n"
            "        Special value of <output> being \"syslog\" is reserved for\n"
            "        future use. For now it will be rejected as invalid.\n"
            "        Passing path to disc file as value of <output> works in both\n"
            "        situations: when forking and when not forking.\n"
            "-o, --options <name>=<value>\n"
            "        Set how a serial port keys; repeat for each name:\n"
            "        key=dtr|rts        line that keys (default: dtr)\n"
            "        ptt=rts|dtr|none   line that carries PTT (default: rts)\n"
            "        invert=none|key|ptt|key,ptt\n"
            "                           lines that are active low (default: none)\n"
            "        sound-device=NAME  sidetone's device on the -x sound system\n"
            "        Keep automatic PTT up after the last key-up (with -t above 0):\n"
            "        ptt-tail=<ms>      for this long (0 - 2550, default: 0)\n"
            "        ptt-hang=<word spaces>\n"
            "                           for this many word spaces, e.g. 1.5 (0 - 8,\n"
            "                           default: 0); the longer of the two holds\n"
            "        paddle=<dit>,<dah> input lines of a paddle, two of cts, dsr, dcd, ri\n"
            "                           (default: no paddle)\n"
            "        keyer=iambic-b|iambic-a\n"
            "                           the paddle's keyer mode (default: iambic-b)\n"
            "\n",
            kProgramName, initial.port, kWpmMin, kWpmMax, defaults.wpm, kPttDelayMin, kPttDelayMax,
            defaults.ptt_delay, kVolumeMin, kVolumeMax, defaults.volume, kWeightingMin,
            kWeightingMax, defaults.weighting, kToneMin, kToneMax, defaults.tone);
    fflush(stdout);
}

void print_version() {
    fprintf(stdout, "%s version %s\n", kProgramName, kVersion);
    fflush(stdout);
}

}  // namespace varkel
