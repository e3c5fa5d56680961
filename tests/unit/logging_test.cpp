// The debug log's format, thresholds and cut, and the error report.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>

#include "core/log_handoff.h"
#include "core/logging.h"
#include "core/process_exit.h"
#include "core/settings.h"
#include "support/log_capture.h"

namespace varkel {
namespace {

class LoggingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_settings_for_tests();
        note_main_thread();
        reset_log_handoff_for_tests();
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

// A thread other than the main one (libcw's) never writes: its lines wait
// in the ring, and the main thread writes them before its own next line, in
// their order. A full ring drops what does not fit and says how much. The
// main thread's lines while it holds the device lock wait alike.
TEST_F(LoggingTest, OtherThreadsLinesAreWrittenByTheMainThreadFirstAndInOrder) {
    settings.current.verbosity = DD;
    constexpr size_t kDropped = 3;
    std::thread libcw_thread([] {
        for (size_t edge = 0; edge < kHandedOverLines + kDropped; ++edge) {
            debug_log(II, "keying event \"%zu\"", edge % 2);
        }
    });
    libcw_thread.join();
    EXPECT_EQ(written(), "");
    debug_log(II, "request: \"E\"");
    std::string expected;
    for (size_t edge = 0; edge < kHandedOverLines; ++edge) {
        expected += "varkel:II: keying event \"" + std::to_string(edge % 2) + "\"\n";
    }
    expected += "varkel:WW: debug log: 3 lines dropped while the log output could not keep up\n";
    expected += "varkel:II: request: \"E\"\n";
    EXPECT_EQ(written(), expected);

    hold_log_lines();
    debug_log(DD, "keying device used");
    EXPECT_EQ(written(), expected);
    release_log_lines();
    EXPECT_EQ(written(), expected + "varkel:DD: keying device used\n");
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
