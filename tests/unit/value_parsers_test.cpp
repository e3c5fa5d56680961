// Text to checked values: the decimal conversion, the ranges, the letter
// tables, and the exact II and EE lines each parser writes.
#include "core/value_parsers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/logging.h"
#include "core/settings.h"

namespace varkel {
namespace {

class ValueParsersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_settings_for_tests();
        settings.current.verbosity = DD;  // see II lines as well as EE lines
        stream_ = tmpfile();
        ASSERT_NE(stream_, nullptr);
        set_debug_output(stream_);
    }
    void TearDown() override {
        set_debug_output(stdout);
        fclose(stream_);
        reset_settings_for_tests();
    }
    // What the debug log wrote since the last call.
    std::string logged() {
        fflush(stream_);
        fseek(stream_, seen_, SEEK_SET);
        std::string text;
        char chunk[4096];
        size_t got;
        while ((got = fread(chunk, 1, sizeof chunk, stream_)) > 0) {
            text.append(chunk, got);
        }
        seen_ = ftell(stream_);
        return text;
    }
    FILE* stream_ = nullptr;
    long seen_ = 0;
};

std::string wpm_error(const std::string& text) {
    return "varkel:EE: invalid requested morse speed [wpm]: \"" + text +
           "\" (should be integer between 4 and 60 inclusive)\n";
}

constexpr const char* kTooBigFor64Bits = "9223372036854775808";

TEST_F(ValueParsersTest, ParseLongIsStrictDecimalAndLogsNothing) {
    int64_t out = 0;
    EXPECT_TRUE(parse_long(" 30", out));
    EXPECT_EQ(out, 30);
    EXPECT_TRUE(parse_long("+30", out));
    EXPECT_EQ(out, 30);
    EXPECT_TRUE(parse_long("030", out));  // not octal
    EXPECT_EQ(out, 30);
    EXPECT_TRUE(parse_long("-9223372036854775808", out));
    EXPECT_EQ(out, INT64_MIN);
    EXPECT_TRUE(parse_long("9223372036854775807", out));
    EXPECT_EQ(out, INT64_MAX);

    out = 77;
    for (const char* bad :
         {"", "30 ", "30a", "3.5", "0x1e", "-", " ", kTooBigFor64Bits, "-9223372036854775809"}) {
        EXPECT_FALSE(parse_long(bad, out)) << '"' << bad << '"';
    }
    EXPECT_EQ(out, 77);
    EXPECT_EQ(logged(), "");
}

TEST_F(ValueParsersTest, WpmAcceptsLeadingSpacePlusAndZero) {
    for (const char* text : {" 30", "+30", "030"}) {
        settings.defaults.wpm = 24;
        EXPECT_TRUE(parse_wpm(settings.defaults.wpm, text)) << text;
        EXPECT_EQ(settings.defaults.wpm, 30);
        EXPECT_EQ(logged(), "varkel:II: requested morse speed [wpm]: \"30\"\n");
    }
}

TEST_F(ValueParsersTest, WpmRefusesMalformedTextQuotingItAndKeepsTarget) {
    for (const char* text : {"30 ", "30a", "30.5", "0x1e", "-", ""}) {
        EXPECT_FALSE(parse_wpm(settings.current.wpm, text)) << text;
        EXPECT_EQ(settings.current.wpm, 24);
        EXPECT_EQ(logged(), wpm_error(text));
    }
}

TEST_F(ValueParsersTest, NumberThatWouldWrapIntoRangeIsRefused) {
    // 2^32 + 4 cut to 32 bits would be a valid speed of 4.
    EXPECT_FALSE(parse_wpm(settings.defaults.wpm, "4294967300"));
    EXPECT_EQ(settings.defaults.wpm, 24);
    EXPECT_FALSE(parse_port("4294968320"));  // 2^32 + 1024
    EXPECT_EQ(settings.port, 6789);
}

TEST_F(ValueParsersTest, PairedRangesAreInclusiveAtBothEnds) {
    struct Case {
        bool (*parse)(int32_t&, const char*);
        int32_t low, high;
    };
    for (const Case& c : {Case{parse_wpm, 4, 60}, Case{parse_tone, 0, 4000},
                          Case{parse_weighting, -50, 50}, Case{parse_volume, 0, 100}}) {
        int32_t target = 1234;
        EXPECT_FALSE(c.parse(target, std::to_string(c.low - 1).c_str()));
        EXPECT_FALSE(c.parse(target, std::to_string(c.high + 1).c_str()));
        EXPECT_FALSE(c.parse(target, kTooBigFor64Bits));
        EXPECT_EQ(target, 1234);
        EXPECT_TRUE(c.parse(target, std::to_string(c.low).c_str()));
        EXPECT_EQ(target, c.low);
        EXPECT_TRUE(c.parse(target, std::to_string(c.high).c_str()));
        EXPECT_EQ(target, c.high);
    }
}

TEST_F(ValueParsersTest, PortAndPriorityRangesAreInclusiveAtBothEnds) {
    EXPECT_FALSE(parse_port("1023"));
    EXPECT_FALSE(parse_port("65536"));
    EXPECT_FALSE(parse_port(kTooBigFor64Bits));
    EXPECT_EQ(settings.port, 6789);
    EXPECT_TRUE(parse_port("1024"));
    EXPECT_EQ(settings.port, 1024);
    EXPECT_TRUE(parse_port("65535"));
    EXPECT_EQ(settings.port, 65535);

    EXPECT_FALSE(parse_priority("-21"));
    EXPECT_FALSE(parse_priority("21"));
    EXPECT_FALSE(parse_priority(kTooBigFor64Bits));
    EXPECT_EQ(settings.priority, 0);
    EXPECT_TRUE(parse_priority("-20"));
    EXPECT_EQ(settings.priority, -20);
    EXPECT_TRUE(parse_priority("20"));
    EXPECT_EQ(settings.priority, 20);
}

TEST_F(ValueParsersTest, EachParserLogsItsOwnLines) {
    ParameterSet& p = settings.current;
    parse_tone(p.tone, "440");
    parse_tone(p.tone, "x");
    parse_weighting(p.weighting, "-5");
    parse_weighting(p.weighting, "51");
    parse_volume(p.volume, "50");
    parse_volume(p.volume, "101");
    parse_port("7000");
    parse_port("80");
    parse_priority("-3");
    parse_priority("a");
    EXPECT_EQ(logged(),
              "varkel:II: requested tone [Hz]: \"440\"\n"
              "varkel:EE: invalid requested tone [Hz]: \"x\" (should be integer between 0 and "
              "4000 inclusive)\n"
              "varkel:II: requested weighting: \"-5\"\n"
              "varkel:EE: invalid requested weighting: \"51\" (should be integer between -50 and "
              "50 inclusive)\n"
              "varkel:II: requested volume [%]: \"50\"\n"
              "varkel:EE: invalid requested volume [%]: \"101\" (should be integer between 0 and "
              "100 inclusive)\n"
              "varkel:II: requested port number: \"7000\"\n"
              "varkel:EE: invalid requested port number: \"80\"\n"
              "varkel:II: requested process priority: \"-3\"\n"
              "varkel:EE: invalid requested process priority: \"a\" (should be integer between "
              "-20 and 20 inclusive)\n");
}

TEST_F(ValueParsersTest, PttDelayHasThreeResults) {
    int32_t& delay = settings.current.ptt_delay;
    EXPECT_EQ(parse_ptt_delay(delay, "0"), PTT_DELAY_OK);
    EXPECT_EQ(parse_ptt_delay(delay, "50"), PTT_DELAY_OK);
    EXPECT_EQ(delay, 50);
    EXPECT_EQ(logged(),
              "varkel:II: requested PTT delay [ms]: \"0\"\n"
              "varkel:II: requested PTT delay [ms]: \"50\"\n");

    delay = 10;
    EXPECT_EQ(parse_ptt_delay(delay, "51"), PTT_DELAY_CLIPPED);
    EXPECT_EQ(delay, 50);
    delay = 10;
    EXPECT_EQ(parse_ptt_delay(delay, "1000"), PTT_DELAY_CLIPPED);
    EXPECT_EQ(delay, 50);
    delay = 10;
    EXPECT_EQ(parse_ptt_delay(delay, "-1"), PTT_DELAY_INVALID);
    EXPECT_EQ(delay, 10);
    EXPECT_EQ(logged(), "");  // the caller reports those two

    EXPECT_EQ(parse_ptt_delay(delay, "abc"), PTT_DELAY_INVALID);
    EXPECT_EQ(delay, 10);
    EXPECT_EQ(logged(),
              "varkel:EE: invalid requested PTT delay [ms]: \"abc\" (should be integer between 0 "
              "and 50 inclusive)\n");
}

TEST_F(ValueParsersTest, SoundSystemIsChosenByFirstLowerCaseLetter) {
    int32_t& system = settings.defaults.sound_system;
    EXPECT_TRUE(parse_sound_system(system, "p"));
    EXPECT_EQ(system, 5);
    EXPECT_EQ(logged(), "varkel:II: requested sound system: \"p\" (\"PulseAudio\")\n");
    const std::pair<const char*, int32_t> words[] = {
        {"soundcard", 6}, {"null", 1}, {"console", 2}, {"alsa", 4}, {"oss", 3}};
    for (const auto& [word, expected] : words) {
        EXPECT_TRUE(parse_sound_system(system, word)) << word;
        EXPECT_EQ(system, expected) << word;
    }
    logged();
    for (const char* bad : {"A", "x", ""}) {
        EXPECT_FALSE(parse_sound_system(system, bad)) << bad;
        EXPECT_EQ(system, 3);
        EXPECT_EQ(logged(), std::string("varkel:EE: invalid requested sound system: \"") + bad +
                                "\" (use c(onsole), o(ss), a(lsa), p(ulseaudio), n(ull - no "
                                "audio), or s(oundcard - autoselect from OSS/ALSA/PulseAudio))\n");
    }
}

TEST_F(ValueParsersTest, VerbosityTakesOneLetterOfEitherCaseAndLogsTheLabel) {
    const std::pair<const char*, int32_t> letters[] = {{"n", 0}, {"N", 0}, {"e", 1}, {"E", 1},
                                                       {"w", 2}, {"W", 2}, {"i", 3}, {"I", 3},
                                                       {"d", 4}, {"D", 4}};
    for (const auto& [letter, threshold] : letters) {
        EXPECT_TRUE(parse_verbosity(letter)) << letter;
        EXPECT_EQ(settings.defaults.verbosity, threshold) << letter;
    }
    EXPECT_EQ(settings.current.verbosity, DD);  // only the default changes
    logged();
    parse_verbosity("d");
    EXPECT_EQ(logged(), "varkel:II: requested verbosity level threshold: \"DD\"\n");

    for (const char* bad : {"dd", "3", "", "x"}) {
        EXPECT_FALSE(parse_verbosity(bad)) << bad;
        EXPECT_EQ(settings.defaults.verbosity, 4);
        EXPECT_EQ(logged(),
                  std::string("varkel:EE: invalid requested verbosity level: \"") + bad + "\"\n");
    }
}

TEST_F(ValueParsersTest, DebugFilePathRefusesOnlyExactSyslog) {
    EXPECT_TRUE(parse_debug_file_path("/tmp/first.log"));
    EXPECT_FALSE(parse_debug_file_path("syslog"));
    EXPECT_EQ(settings.debug_file_path, "/tmp/first.log");
    EXPECT_EQ(logged(),
              "varkel:II: requested debug file path: \"/tmp/first.log\"\n"
              "varkel:EE: debug output file \"syslog\" not implemented yet, try it in later "
              "versions of varkel\n");
    for (const char* path : {"SYSLOG", "syslog2", "stdout"}) {
        EXPECT_TRUE(parse_debug_file_path(path)) << path;
        EXPECT_EQ(settings.debug_file_path, path);
    }
}

TEST_F(ValueParsersTest, LibcwFlagsTakeAnyNumberAndFallToZeroOnRefusal) {
    EXPECT_TRUE(parse_libcw_debug_flags("-1"));
    EXPECT_EQ(settings.libcw_debug_flags, -1);
    EXPECT_TRUE(parse_libcw_debug_flags("0"));
    EXPECT_EQ(settings.libcw_debug_flags, 0);
    EXPECT_TRUE(parse_libcw_debug_flags("9223372036854775807"));
    EXPECT_EQ(settings.libcw_debug_flags, INT64_MAX);
    logged();
    EXPECT_FALSE(parse_libcw_debug_flags(kTooBigFor64Bits));
    EXPECT_EQ(settings.libcw_debug_flags, 0);
    EXPECT_EQ(logged(), std::string("varkel:EE: invalid requested debug flags: \"") +
                            kTooBigFor64Bits + "\" (should be numeric value)\n");
    parse_libcw_debug_flags("4095");
    EXPECT_EQ(logged(), "varkel:II: requested libcw debug flags: \"4095\"\n");
}

}  // namespace
}  // namespace varkel
