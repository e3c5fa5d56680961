// Options acted on as read: what each leaves in the settings, and which end
// the process with what on standard output.
#include "daemon/command_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libcw2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "core/logging.h"
#include "core/settings.h"
#include "devices/keying_device.h"
#include "devices/paddle_lines.h"
#include "devices/serial_lines.h"
#include "morse/ptt_hold.h"
#include "morse/sound_device.h"

namespace varkel {
namespace {

using ::testing::ExitedWithCode;

const std::vector<std::string> kUsageLines = {
    "Usage: varkel [option]...",
    "Long options may not be supported on your system.",
    "",
    "-h, --help",
    "        Print this help and exit.",
    "-V, --version",
    "        Print version information and exit.",
    "-d, --cwdevice <device>",
    "        Use a different device.",
    "        (e.g. ttyd0,1,2, ppi0,1, etc. default: ppi0)",
    "        Use \"null\" for dummy device (no rig keying, no ssb keying, etc.).",
    "-n, --nofork",
    "        Do not fork. Print debug information to stdout.",
    "-p, --port <port>",
    "        Use a different UDP port number (> 1023, default: 6789).",
    "-P, --priority <priority>",
    "        Set program's priority (-20 - 20, default: 0).",
    "-s, --wpm <speed>",
    "        Set Morse speed [wpm] (4 - 60, default: 24).",
    "-t, --pttdelay <time>",
    "        Set PTT delay [ms] (0 - 50, default: 0).",
    "-x, --system <sound system>",
    "        Use a specific sound system:",
    "        c = console buzzer (default)",
    "        o = OSS",
    "        a = ALSA",
    "        p = PulseAudio",
    "        n = null (no audio)",
    "        s = soundcard (autoselect from OSS/ALSA/PulseAudio)",
    "-v, --volume <volume>",
    "        Set volume for soundcard output [%] (0 - 100, default: 70).",
    "-w, --weighting <weight>",
    "        Set weighting (-50 - 50, default: 0).",
    "-T, --tone <tone>",
    "        Set initial tone [Hz] (0 - 4000, default: 800).",
    "-i",
    "        Increase verbosity of debug strings printed by varkel.",
    "        Repeat for even more verbosity (e.g. -iii).",
    "        Alternatively you can use -y/--verbosity option.",
    "-y, --verbosity <threshold>",
    "        Set verbosity level threshold for debug strings printed by varkel.",
    "        Recognized values:",
    "        n = none",
    "        e = errors",
    "        w = warnings (default)",
    "        i = information",
    "        d = details",
    "        Alternatively you can use -i option.",
    "-I, --libcwflags <flags>",
    "        Numeric value of debug flags to be passed to libcw.",
    "-f, --debugfile <output>",
    "        Print debug information to <output> instead of stdout.",
    "        Value of <output> can be explicitly stated as \"stdout\"",
    "        (when not forking).",
    "        Value of <output> can be also \"stderr\" (when not forking).",
    "        Special value of <output> being \"syslog\" is reserved for",
    "        future use. For now it will be rejected as invalid.",
    "        Passing path to disc file as value of <output> works in both",
    "        situations: when forking and when not forking.",
    "",
};

// The serial line options' entry, after the last line but the empty one.
const std::vector<std::string> kOptionsEntry = {
    "-o, --options <name>=<value>",
    "        Set how a serial port keys; repeat for each name:",
    "        key=dtr|rts        line that keys (default: dtr)",
    "        ptt=rts|dtr|none   line that carries PTT (default: rts)",
    "        invert=none|key|ptt|key,ptt",
    "                           lines that are active low (default: none)",
    "        sound-device=NAME  sidetone's device on the -x sound system",
    "        Keep automatic PTT up after the last key-up (with -t above 0):",
    "        ptt-tail=<ms>      for this long (0 - 2550, default: 0)",
    "        ptt-hang=<word spaces>",
    "                           for this many word spaces, e.g. 1.5 (0 - 8,",
    "                           default: 0); the longer of the two holds",
    "        paddle=<dit>,<dah> input lines of a paddle, two of cts, dsr, dcd, ri",
    "                           (default: no paddle)",
    "        keyer=iambic-b|iambic-a",
    "                           the paddle's keyer mode (default: iambic-b)",
};

std::string usage_text() {
    std::string text;
    for (size_t i = 0; i + 1 < kUsageLines.size(); ++i) {
        text += kUsageLines[i] + "\n";
    }
    for (const auto& line : kOptionsEntry) {
        text += line + "\n";
    }
    return text + kUsageLines.back() + "\n";
}

std::string ptt_delay_error(const std::string& text) {
    return "varkel:EE: invalid requested PTT delay [ms]: \"" + text +
           "\" (should be integer between 0 and 50 inclusive)\n";
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

std::string read_all(FILE* stream, long from = 0) {
    fflush(stream);
    fseek(stream, from, SEEK_SET);
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, stream)) > 0) {
        text.append(chunk, got);
    }
    return text;
}

class CommandLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_settings_for_tests();
        reset_serial_lines_for_tests();
        ptt_hold = PttHold{};
        reset_paddle_lines_for_tests();
        current_device.store(&null_device);
        log_ = tmpfile();
        ASSERT_NE(log_, nullptr);
        set_debug_output(log_);
        char path[] = "/tmp/varkel-command-line-XXXXXX";
        const int fd = mkstemp(path);
        ASSERT_NE(fd, -1);
        close(fd);
        out_path_ = path;
        // The death-test child inherits stdio buffers: leave none pending.
        fflush(nullptr);
    }
    void TearDown() override {
        set_debug_output(stdout);
        fclose(log_);
        unlink(out_path_.c_str());
        reset_settings_for_tests();
        reset_serial_lines_for_tests();
        reset_paddle_lines_for_tests();
        reset_sound_device_for_tests();
        ptt_hold = PttHold{};
        current_device.store(&null_device);
    }

    static void read(std::vector<std::string> args) {
        args.insert(args.begin(), "varkel");
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        read_command_line(static_cast<int>(args.size()), argv.data());
    }

    // For death tests: standard output goes to a file and the debug log to
    // standard output, as while the daemon reads its command line.
    void read_to_end(std::vector<std::string> args) {
        const int fd = open(out_path_.c_str(), O_WRONLY | O_TRUNC);
        if (fd == -1 || dup2(fd, STDOUT_FILENO) == -1) {
            _exit(99);
        }
        set_debug_output(stdout);
        read(std::move(args));
    }
    std::string child_stdout() {
        FILE* file = fopen(out_path_.c_str(), "r");
        if (file == nullptr) {
            return "<no output file>";
        }
        std::string text = read_all(file);
        fclose(file);
        return text;
    }
    std::string logged() { return read_all(log_); }

    FILE* log_ = nullptr;
    std::string out_path_;
};

TEST_F(CommandLineTest, NoOptionsChangeNothingAndPrintNothing) {
    testing::internal::CaptureStdout();
    read({});
    read({"operand", "another"});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(logged(), "");
    const Settings initial;
    EXPECT_EQ(settings.defaults.wpm, initial.defaults.wpm);
    EXPECT_EQ(settings.defaults.verbosity, initial.defaults.verbosity);
    EXPECT_EQ(settings.port, initial.port);
    EXPECT_FALSE(settings.nofork);
    EXPECT_FALSE(settings.debug_file_path.has_value());
    EXPECT_EQ(current_device.load(), &null_device);
}

TEST_F(CommandLineTest, EveryOptionStoresItsDefault) {
    read({"-s", "20", "-T", "600",  "-v", "30", "-x", "n", "-t", "40",         "-w", "-10",
          "-y", "e",  "-p", "7000", "-P", "5",  "-I", "3", "-f", "/tmp/x.log", "-s", "30"});
    EXPECT_EQ(settings.defaults.wpm, 30);  // the later occurrence wins
    EXPECT_EQ(settings.defaults.tone, 600);
    EXPECT_EQ(settings.defaults.volume, 30);
    EXPECT_EQ(settings.defaults.sound_system, 1);
    EXPECT_EQ(settings.defaults.ptt_delay, 40);
    EXPECT_EQ(settings.defaults.weighting, -10);
    EXPECT_EQ(settings.defaults.verbosity, 1);
    EXPECT_EQ(settings.port, 7000);
    EXPECT_EQ(settings.priority, 5);
    EXPECT_EQ(settings.libcw_debug_flags, 3);
    EXPECT_EQ(settings.debug_file_path, "/tmp/x.log");
    // Nothing reaches the current values or the threshold in force.
    EXPECT_EQ(settings.current.wpm, 24);
    EXPECT_EQ(settings.current.verbosity, 2);
}

TEST_F(CommandLineTest, LongOptionsAndAbbreviations) {
    read({"--p", "7000", "--w", "30", "--pr", "7", "--verb", "i", "--pttdelay=50"});
    EXPECT_EQ(settings.port, 7000);
    EXPECT_EQ(settings.defaults.wpm, 30);
    EXPECT_EQ(settings.priority, 7);
    EXPECT_EQ(settings.defaults.verbosity, 3);
    EXPECT_EQ(settings.defaults.ptt_delay, 50);
    read({"--port=7001", "-p7002"});
    EXPECT_EQ(settings.port, 7002);
    read({"--weighting", "5", "--tone", "900", "--volume", "10", "--system", "a", "--libcwflags",
          "8", "--debugfile", "stderr", "--wpm", "12", "--cwdevice", "null"});
    EXPECT_EQ(settings.defaults.weighting, 5);
    EXPECT_EQ(settings.defaults.tone, 900);
    EXPECT_EQ(settings.defaults.volume, 10);
    EXPECT_EQ(settings.defaults.sound_system, 4);
    EXPECT_EQ(settings.libcw_debug_flags, 8);
    EXPECT_EQ(settings.debug_file_path, "stderr");
    EXPECT_EQ(settings.defaults.wpm, 12);
}

TEST_F(CommandLineTest, LongOptionLineNamesTheFullEntry) {
    settings.current.verbosity = DD;
    testing::internal::CaptureStdout();
    read({"--p", "7000", "--nofork"});
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(logged(),
              "varkel:DD: long option \"port\"=7000\n\n"
              "varkel:II: requested port number: \"7000\"\n"
              "varkel:DD: long option \"nofork\"\n\n");
}

TEST_F(CommandLineTest, LinesOfAcceptedValuesStayBelowTheStartThreshold) {
    read({"-y", "d", "-s", "30", "-i", "--port", "7000", "-d", "null"});
    EXPECT_EQ(logged(), "");
}

TEST_F(CommandLineTest, NoforkIsAnnouncedOnceDirectlyOnStandardOutput) {
    testing::internal::CaptureStdout();
    read({"-n", "-n", "--nofork"});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "varkel: Not forking...\n");
    EXPECT_TRUE(settings.nofork);
    EXPECT_EQ(logged(), "");
}

TEST_F(CommandLineTest, GroupedShortOptions) {
    testing::internal::CaptureStdout();
    read({"-ni"});
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(settings.nofork);
    EXPECT_EQ(settings.defaults.verbosity, 3);
}

TEST_F(CommandLineTest, IncreaseVerbosityStopsAtDetails) {
    read({"-i"});
    EXPECT_EQ(settings.defaults.verbosity, 3);
    read({"-i"});
    EXPECT_EQ(settings.defaults.verbosity, 4);
    read({"-iii"});
    EXPECT_EQ(settings.defaults.verbosity, 4);
    read({"-y", "n", "-i"});
    EXPECT_EQ(settings.defaults.verbosity, 1);
    read({"-i", "-y", "e"});
    EXPECT_EQ(settings.defaults.verbosity, 1);

    settings.current.verbosity = DD;
    read({"-y", "w", "-ii", "-i"});
    EXPECT_EQ(logged(),
              "varkel:II: requested verbosity level threshold: \"WW\"\n"
              "varkel:II: requested verbosity level threshold: \"II\"\n"
              "varkel:II: requested verbosity level threshold: \"DD\"\n");
}

TEST_F(CommandLineTest, DeviceRequestIsLoggedBeforeSelection) {
    settings.current.verbosity = II;
    read({"-d", "null"});
    EXPECT_EQ(logged().rfind("varkel:II: requested cwdevice \"null\"\n", 0), 0u);
    EXPECT_EQ(current_device.load(), &null_device);
}

TEST_F(CommandLineTest, DeviceThatCannotBeSelectedEndsWithOne) {
    EXPECT_EXIT(read_to_end({"-d", "", "-h"}), ExitedWithCode(1), "");
    EXPECT_EQ(child_stdout(), "varkel:EE: invalid device description \"\"\n");
}

TEST_F(CommandLineTest, HelpPrintsTheUsageTextAndEndsWithZero) {
    EXPECT_EXIT(read_to_end({"-h"}), ExitedWithCode(0), "");
    EXPECT_EQ(child_stdout(), usage_text());
    EXPECT_EQ(kUsageLines.size(), 60u);
    EXPECT_EXIT(read_to_end({"--help"}), ExitedWithCode(0), "");
    EXPECT_EQ(child_stdout(), usage_text());
}

TEST_F(CommandLineTest, UsageShowsInitialNumbersNotEarlierOptions) {
    EXPECT_EXIT(read_to_end({"-p", "6000", "-s", "30", "-h"}), ExitedWithCode(0), "");
    EXPECT_EQ(child_stdout(), usage_text());
}

TEST_F(CommandLineTest, VersionEndsWithZero) {
    EXPECT_EXIT(read_to_end({"-s", "30", "-V"}), ExitedWithCode(0), "");
    EXPECT_EQ(child_stdout(), "varkel version 0.10.2\n");
    EXPECT_EXIT(read_to_end({"--version"}), ExitedWithCode(0), "");
    EXPECT_EQ(child_stdout(), "varkel version 0.10.2\n");
}

TEST_F(CommandLineTest, RefusedValueEndsWithOneBeforeLaterOptions) {
    const std::string speed_error =
        "varkel:EE: invalid requested morse speed [wpm]: \"100\" (should be integer between 4 and "
        "60 inclusive)\n";
    EXPECT_EXIT(read_to_end({"-s", "100", "-h"}), ExitedWithCode(1), "");
    EXPECT_EQ(child_stdout(), speed_error);
    EXPECT_EXIT(read_to_end({"-h", "-s", "100"}), ExitedWithCode(0), "");
    EXPECT_EQ(child_stdout(), usage_text());
    EXPECT_EXIT(read_to_end({"--wpm=100"}), ExitedWithCode(1), "");
    EXPECT_EQ(child_stdout(), speed_error);
}

TEST_F(CommandLineTest, EveryParserRefusalEndsWithOne) {
    for (const char* option : {"-p", "-P", "-s", "-v", "-w", "-T", "-y", "-I", "-x"}) {
        EXPECT_EXIT(read_to_end({option, "zz"}), ExitedWithCode(1), "") << option;
        EXPECT_EQ(count_of(child_stdout(), "varkel:EE: "), 1u) << option;
    }
    EXPECT_EXIT(read_to_end({"-f", "syslog"}), ExitedWithCode(1), "");
}

TEST_F(CommandLineTest, PttDelayOutsideTheRangeIsAnErrorHere) {
    EXPECT_EXIT(read_to_end({"-t", "60"}), ExitedWithCode(1), "");
    EXPECT_EQ(child_stdout(), ptt_delay_error("60"));
    EXPECT_EXIT(read_to_end({"-t", "-5"}), ExitedWithCode(1), "");
    EXPECT_EQ(child_stdout(), ptt_delay_error("-5"));
    // The parser reports the text it cannot read, then the command line.
    EXPECT_EXIT(read_to_end({"-t", "abc"}), ExitedWithCode(1), "");
    EXPECT_EQ(child_stdout(), ptt_delay_error("abc") + ptt_delay_error("abc"));
}

TEST_F(CommandLineTest, OptionsGetoptCannotUseShowTheUsageAndEndWithZero) {
    struct Case {
        std::vector<std::string> args;
        const char* diagnostic;
    };
    const Case cases[] = {
        {{"-q"}, "invalid option -- 'q'"},
        {{"-s"}, "option requires an argument -- 's'"},
        {{"--nofork=1"}, "option '--nofork' doesn't allow an argument"},
        {{"--v", "3"}, "option '--v' is ambiguous"},
        {{"--ver"}, "option '--ver' is ambiguous"},
        {{"--bogus"}, "unrecognized option '--bogus'"},
    };
    for (const Case& c : cases) {
        EXPECT_EXIT(read_to_end(c.args), ExitedWithCode(0), c.diagnostic) << c.args[0];
        EXPECT_EQ(child_stdout(), usage_text()) << c.args[0];
    }
}

TEST_F(CommandLineTest, NamedOptionsAreReadInOrderAndSerialLinesJudgedOnceAllAreRead) {
    read({"-o", "ptt-tail=2550", "-o", "ptt-hang=8", "--options=ptt-hang=1.5"});
    EXPECT_EQ(ptt_hold.tail_ms, 2550);
    EXPECT_DOUBLE_EQ(ptt_hold.hang_word_spaces, 1.5);
    EXPECT_EQ(serial_lines.chosen, false);  // PTT hold is no serial line setting
    read({"-o", "ptt-tail=0", "-o", "ptt-hang=0"});
    EXPECT_EQ(ptt_hold.tail_ms, 0);
    EXPECT_EQ(ptt_hold.hang_word_spaces, 0.0);

    read({"-o", "key=rts", "--options=ptt=dtr", "--o", "invert=ptt,key"});
    EXPECT_EQ(serial_lines.key_line, TIOCM_RTS);
    EXPECT_EQ(serial_lines.ptt_line, TIOCM_DTR);
    EXPECT_TRUE(serial_lines.key_inverted);
    EXPECT_TRUE(serial_lines.ptt_inverted);
    read({"-o", "ptt=none", "-o", "invert=ptt", "-o", "invert=key"});  // the later wins
    EXPECT_EQ(serial_lines.ptt_line, 0);
    EXPECT_TRUE(serial_lines.key_inverted);
    EXPECT_FALSE(serial_lines.ptt_inverted);

    const std::string hint =
        " (use key=dtr|rts, ptt=rts|dtr|none, invert=none|key|ptt|key,ptt, ptt-tail=<ms "
        "0..2550> or ptt-hang=<word spaces 0..8>)\n";
    for (const char* refused :
         {"key=none", "ptt=DTR", "invert=key,", "key", "dtr=key", "", "ptt-tail=2551",
          "ptt-tail=-1", "ptt-tail=1.5", "ptt-hang=8.01", "ptt-hang=-1", "ptt-hang=1e0",
          "ptt-hang=", "ptt-hang=nan", "ptt-hang=1..5", "ptt-t=5"}) {
        EXPECT_EXIT(read_to_end({"-o", refused, "-h"}), ExitedWithCode(1), "") << refused;
        EXPECT_EQ(child_stdout(),
                  std::string("varkel:EE: invalid requested option: \"") + refused + "\"" + hint)
            << refused;
    }
    // PTT stays on RTS unless told otherwise: RTS cannot key as well.
    reset_serial_lines_for_tests();
    EXPECT_EXIT(read_to_end({"-o", "key=rts"}), ExitedWithCode(1), "");
    EXPECT_EQ(child_stdout(),
              "varkel:EE: invalid requested options: key and PTT both on \"rts\" (choose another "
              "line with ptt=dtr|rts|none)\n");
}

// The sidetone's device goes to libcw's fixed field and into the log: the
// longest name that fits, with its NUL, is taken, one byte more or a
// control byte ends the process, and the serial lines stay as they were.
TEST_F(CommandLineTest, SoundDeviceIsCheckedBeforeItReachesLibcw) {
    const std::string longest(LIBCW_SOUND_DEVICE_NAME_SIZE - 1, 'x');
    read({"-o", "sound-device=plughw:CARD=Device,DEV=0", "--options=sound-device=" + longest});
    EXPECT_EQ(chosen_sound_device(), longest);
    EXPECT_FALSE(serial_lines.chosen);
    read({"-o", "sound-device=alsa_output.usb-Burr-Brown_USB_Audio_CODEC-00.analog-stereo"});
    EXPECT_EQ(chosen_sound_device(), "alsa_output.usb-Burr-Brown_USB_Audio_CODEC-00.analog-stereo");

    const std::string hint = " (use sound-device=NAME, at most 127 printable characters)\n";
    for (const std::string& refused : {longest + "x", std::string("sink\tone"),
                                       std::string("sink\x1b[2J"), std::string("caf\xc3\xa9")}) {
        EXPECT_EXIT(read_to_end({"-o", "sound-device=" + refused, "-h"}), ExitedWithCode(1), "");
        EXPECT_EQ(child_stdout(), "varkel:EE: invalid requested sound device: " +
                                      std::to_string(refused.size()) + " bytes" + hint);
    }
}

TEST_F(CommandLineTest, PaddleOptionsNameTwoDifferentInputLinesAndAMode) {
    read({"-o", "paddle=dsr,cts", "-o", "keyer=iambic-a"});
    EXPECT_EQ(paddle_lines.dit, TIOCM_DSR);
    EXPECT_EQ(paddle_lines.dah, TIOCM_CTS);
    EXPECT_TRUE(paddle_lines.iambic_a);
    read({"--options=paddle=ri,dcd", "-o", "keyer=iambic-b"});  // swapped for a left hand
    EXPECT_EQ(paddle_lines.dit, TIOCM_RNG);
    EXPECT_EQ(paddle_lines.dah, TIOCM_CAR);
    EXPECT_FALSE(paddle_lines.iambic_a);

    const std::string paddle_hint =
        " (use paddle=<dit>,<dah> with two different lines of cts, dsr, dcd, ri)\n";
    for (const char* refused : {"paddle=dsr,dsr", "paddle=dsr", "paddle=dsr,cts,ri",
                                "paddle=DSR,cts", "paddle=,cts", "paddle=dtr,cts", "paddle="}) {
        EXPECT_EXIT(read_to_end({"-o", refused, "-h"}), ExitedWithCode(1), "") << refused;
        EXPECT_EQ(child_stdout(), std::string("varkel:EE: invalid requested option: \"") + refused +
                                      "\"" + paddle_hint)
            << refused;
    }
    for (const char* refused : {"keyer=iambic", "keyer=", "keyer=IAMBIC-A"}) {
        EXPECT_EXIT(read_to_end({"-o", refused}), ExitedWithCode(1), "") << refused;
        EXPECT_EQ(child_stdout(), std::string("varkel:EE: invalid requested option: \"") + refused +
                                      "\" (use keyer=iambic-b|iambic-a)\n")
            << refused;
    }
}

TEST_F(CommandLineTest, ForegroundLineComesBeforeALaterExit) {
    EXPECT_EXIT(read_to_end({"-n", "-n", "-s", "0"}), ExitedWithCode(1), "");
    EXPECT_EQ(child_stdout(),
              "varkel: Not forking...\n"
              "varkel:EE: invalid requested morse speed [wpm]: \"0\" (should be integer between 4 "
              "and 60 inclusive)\n");
}

}  // namespace
}  // namespace varkel
