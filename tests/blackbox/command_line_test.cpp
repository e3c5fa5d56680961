// The real binary's command line: what it prints and how it ends, before
// anything is opened.
#include <gtest/gtest.h>

#include "blackbox/daemon_harness.h"

using harness::run_to_exit;
using harness::split_lines;

// The sixty lines of the usage text and the sixteen of the -o names (serial
// lines, sound device, PTT tail and hang, paddle), which stand before its
// final empty line.
constexpr size_t kUsageLines = 76;

TEST(CommandLine, HelpPrintsTheUsageAndEndsWithZero) {
    const auto result = run_to_exit({"--help"});
    EXPECT_EQ(result.status, 0);
    const auto lines = split_lines(result.out);
    ASSERT_EQ(lines.size(), kUsageLines);
    EXPECT_EQ(lines.front(), "Usage: varkel [option]...");
    EXPECT_EQ(lines[14], "        Use a different UDP port number (> 1023, default: 6789).");
    EXPECT_EQ(lines[30], "        Set volume for soundcard output [%] (0 - 100, default: 70).");
    EXPECT_EQ(lines[58], "        situations: when forking and when not forking.");
    EXPECT_EQ(lines[59], "-o, --options <name>=<value>");
    EXPECT_EQ(lines.back(), "");
    EXPECT_EQ(result.err, "");
}

TEST(CommandLine, VersionLine) {
    const auto result = run_to_exit({"-V"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "varkel version 0.10.2\n");
}

TEST(CommandLine, RefusedValueIsLoggedOnStandardOutputAndEndsWithOne) {
    const auto result = run_to_exit({"-s", "100", "-h"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out,
              "varkel:EE: invalid requested morse speed [wpm]: \"100\" (should be integer "
              "between 4 and 60 inclusive)\n");
}

TEST(CommandLine, TextThatIsNoPttDelayIsReportedTwice) {
    const auto result = run_to_exit({"--pttdelay", "abc"});
    EXPECT_EQ(result.status, 1);
    const std::string line =
        "varkel:EE: invalid requested PTT delay [ms]: \"abc\" (should be integer between 0 and "
        "50 inclusive)\n";
    EXPECT_EQ(result.out, line + line);
}

TEST(CommandLine, UnknownOptionGetsDiagnosticAndUsageAndEndsWithZero) {
    const auto result = run_to_exit({"-n", "-q"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("invalid option -- 'q'"), std::string::npos) << result.err;
    const auto lines = split_lines(result.out);
    ASSERT_EQ(lines.size(), kUsageLines + 1);
    EXPECT_EQ(lines[0], "varkel: Not forking...");
    EXPECT_EQ(lines[1], "Usage: varkel [option]...");
}

TEST(CommandLine, AmbiguousAbbreviationShowsUsage) {
    const auto result = run_to_exit({"--ver"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("option '--ver' is ambiguous"), std::string::npos) << result.err;
    EXPECT_EQ(split_lines(result.out).size(), kUsageLines);
}
