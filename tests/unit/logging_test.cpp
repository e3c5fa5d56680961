// The debug log's format, thresholds and cut, and the error report.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "core/logging.h"
#include "core/settings.h"
#include "support/log_capture.h"

namespace varkel {
namespace {

class LoggingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_settings_for_tests();
        stream_ = tmpfile();
        set_debug_output(stream_);
    }
    void TearDown() override {
        set_debug_output(stdout);
        fclose(stream_);
        reset_settings_for_tests();
    }
    std::string written() { return test_support::read_whole_stream(stream_); }
    FILE* stream_ = nullptr;
};

TEST_F(LoggingTest, LinesAtOrBelowThresholdAreWrittenWithTheirLabel) {
    settings.current.verbosity = 2;
    debug_log(EE, "error %d", 1);
    debug_log(WW, "warning");
    debug_log(II, "information");
    debug_log(DD, "details");
    EXPECT_EQ(written(), "varkel:EE: error 1\nvarkel:WW: warning\n");
}

TEST_F(LoggingTest, ThresholdZeroOrNoStreamSilencesEverything) {
    settings.current.verbosity = 0;
    debug_log(EE, "not shown");
    settings.current.verbosity = 4;
    set_debug_output(nullptr);
    debug_log(EE, "not shown either");
    set_debug_output(stream_);
    EXPECT_EQ(written(), "");
}

TEST_F(LoggingTest, LongMessagesAreCutTo1023Characters) {
    settings.current.verbosity = 4;
    const std::string long_text(5000, 'x');
    debug_log(DD, "%s", long_text.c_str());
    EXPECT_EQ(written(), "varkel:DD: " + std::string(1023, 'x') + "\n");
}

TEST_F(LoggingTest, LabelsOfEveryLevel) {
    EXPECT_STREQ(level_label(NN), "NN");
    EXPECT_STREQ(level_label(EE), "EE");
    EXPECT_STREQ(level_label(WW), "WW");
    EXPECT_STREQ(level_label(II), "II");
    EXPECT_STREQ(level_label(DD), "DD");
}

TEST_F(LoggingTest, ErrorReportInForegroundQuotesStrerror) {
    settings.nofork = true;
    testing::internal::CaptureStdout();
    errno = EADDRINUSE;
    error_report("Bind");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "varkel: Bind failed: \"Address already in use\"\n");
    EXPECT_EQ(errno, EADDRINUSE);
}

}  // namespace
}  // namespace varkel
