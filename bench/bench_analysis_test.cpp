// The numbers the benchmark prints come from these functions; a wrong match
// or window would print plausible but false figures, so they are checked
// on timelines made up here.
#include "bench_analysis.h"

#include <gtest/gtest.h>

namespace {

using bench::Edge;

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kUs = 1'000;

// Keys Morse written as dots and dashes, ' ' between characters and " / "
// between words, from start_ms on with an exact dot; every element is
// stretched by stretch_ms. A word space is 7 dots.
std::vector<Edge> keyed(const std::string& morse, double dot_ms, double start_ms = 1000,
                        double stretch_ms = 0) {
    std::vector<Edge> port = {{0, false}};
    double t = start_ms;
    auto at = [](double ms) { return static_cast<int64_t>(ms * kMs); };
    for (size_t i = 0; i < morse.size(); ++i) {
        const char c = morse[i];
        if (c == '.' || c == '-') {
            port.push_back({at(t), true});
            t += (c == '.' ? 1 : 3) * dot_ms + stretch_ms;
            port.push_back({at(t), false});
            const bool more = i + 1 < morse.size() && morse[i + 1] != ' ';
            t += more ? dot_ms + stretch_ms : 0;
        } else if (morse.compare(i, 3, " / ") == 0) {
            t += 7 * dot_ms;
            i += 2;
        } else if (c == ' ') {
            t += 3 * dot_ms + stretch_ms;
        }
    }
    return port;
}

constexpr char kParisParis[] = ".--. .- .-. .. ... / .--. .- .-. .. ...";

TEST(BenchSummary, NearestRankPercentilesAndMean) {
    std::vector<double> values;
    for (int i = 100; i >= 1; --i) {
        values.push_back(i);
    }
    const auto summary = bench::summarize(values);
    EXPECT_EQ(summary.count, 100u);
    EXPECT_EQ(summary.p50, 50);
    EXPECT_EQ(summary.p99, 99);
    EXPECT_EQ(summary.max, 100);
    EXPECT_DOUBLE_EQ(summary.mean, 50.5);

    const auto one = bench::summarize({7.0});
    EXPECT_EQ(one.p50, 7);
    EXPECT_EQ(one.p99, 7);
    EXPECT_EQ(bench::summarize({}).count, 0u);
}

TEST(BenchProbeLog, ReadsRegistrationAndCallbacksAndSkipsTornLines) {
    const auto log = bench::parse_probe_log("R 100\nK 200 1\nK 300 0\nR 400\nK 500 2\nK 60");
    EXPECT_EQ(log.registered_ns, 100);
    ASSERT_EQ(log.callbacks.size(), 3u);
    EXPECT_TRUE(log.callbacks[0].down);
    EXPECT_FALSE(log.callbacks[1].down);
    EXPECT_FALSE(log.callbacks[2].down);  // any state but 1 is key up
    EXPECT_EQ(log.callbacks[2].t_ns, 500);
    EXPECT_EQ(bench::parse_probe_log("").registered_ns, 0);
}

TEST(BenchEdges, EachCallbackMatchesItsOwnMirroredEdge) {
    // Port edges: the init's clear before any callback, two mirrored
    // edges, then the release's clear at exit.
    const std::vector<Edge> port = {{5, false}, {110, true}, {230, false}, {900, false}};
    const std::vector<Edge> calls = {{100, true}, {200, false}};
    const auto delays = bench::match_edges(calls, port);
    EXPECT_EQ(delays.callbacks, 2u);
    EXPECT_EQ(delays.matched, 2u);
    ASSERT_EQ(delays.added_ms.size(), 2u);
    EXPECT_DOUBLE_EQ(delays.added_ms[0], 10e-6);
    EXPECT_DOUBLE_EQ(delays.added_ms[1], 30e-6);
}

TEST(BenchEdges, AnEdgeNotMirroredBeforeTheNextCallbackIsNotMatched) {
    // The first key-down was never mirrored; its callback must not borrow
    // the second key-down.
    const std::vector<Edge> port = {{250, false}, {320, true}};
    const std::vector<Edge> calls = {{100, true}, {200, false}, {300, true}};
    const auto delays = bench::match_edges(calls, port);
    EXPECT_EQ(delays.matched, 2u);
    ASSERT_EQ(delays.added_ms.size(), 2u);
    EXPECT_DOUBLE_EQ(delays.added_ms[0], 50e-6);
    EXPECT_DOUBLE_EQ(delays.added_ms[1], 20e-6);
}

TEST(BenchLatency, FirstKeyDownAfterEachSendWithinItsWindow) {
    const std::vector<Edge> port = {
        {0, false}, {100 * kMs, true}, {120 * kMs, false}, {400 * kMs, true}, {420 * kMs, false}};
    const std::vector<int64_t> sends = {99 * kMs, 398 * kMs};
    const auto result = bench::first_key_downs(sends, port, 150 * kMs, 60 * kMs);
    ASSERT_EQ(result.latency_ms.size(), 2u);
    EXPECT_DOUBLE_EQ(result.latency_ms[0], 1.0);
    EXPECT_DOUBLE_EQ(result.latency_ms[1], 2.0);
    EXPECT_EQ(result.busy, 0u);
    EXPECT_EQ(result.missing, 0u);
}

TEST(BenchLatency, SendsWhileKeyedOrJustAfterAreBusyAndSilenceIsMissing) {
    const std::vector<Edge> port = {{100 * kMs, true}, {120 * kMs, false}};
    const std::vector<int64_t> sends = {110 * kMs, 150 * kMs, 500 * kMs};
    const auto result = bench::first_key_downs(sends, port, 150 * kMs, 60 * kMs);
    EXPECT_TRUE(result.latency_ms.empty());
    EXPECT_EQ(result.busy, 2u);     // key down at 110; 30 ms after key-up at 150
    EXPECT_EQ(result.missing, 1u);  // nothing keyed after 500
}

TEST(BenchElements, ErrorsAgainstNearestIdealInsideTheWindow) {
    // "A" at 20 wpm (dot 60 ms): dot 61, gap 59, dash 182, then a 181 ms
    // character space and a 400 ms dot far outside the window.
    const std::vector<Edge> port = {{0, false},          {1000 * kMs, true},  {1061 * kMs, false},
                                    {1120 * kMs, true},  {1302 * kMs, false}, {1483 * kMs, true},
                                    {1543 * kMs, false}, {9000 * kMs, true}};
    const auto errors = bench::element_errors_ms(port, 900 * kMs, 2000 * kMs, bench::dot_ms(20));
    ASSERT_EQ(errors.size(), 5u);
    EXPECT_NEAR(errors[0], 1.0, 1e-9);   // dot
    EXPECT_NEAR(errors[1], -1.0, 1e-9);  // gap inside the character
    EXPECT_NEAR(errors[2], 2.0, 1e-9);   // dash
    EXPECT_NEAR(errors[3], 1.0, 1e-9);   // character space
    EXPECT_NEAR(errors[4], 0.0, 1e-9);   // dot
}

TEST(BenchElements, WordSpacesAndRepeatedStatesAreLeftOutButLongKeyDownsCount) {
    const std::vector<Edge> port = {
        {0, true}, {20 * kMs, false}, {500 * kMs, true}, {510 * kMs, true}, {530 * kMs, false}};
    const auto errors = bench::element_errors_ms(port, 0, 1000 * kMs, bench::dot_ms(60));
    // 20 ms dot; the 480 ms pause is a space between words or texts; the
    // repeated key-down is skipped; the last key-down runs 20 ms from 510.
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NEAR(errors[0], 0.0, 1e-9);
    EXPECT_NEAR(errors[1], 0.0, 1e-9);

    // A key held down 300 ms at 60 wpm is a fault to show, not to skip.
    const std::vector<Edge> stuck = {{0, true}, {300 * kMs, false}};
    const auto held = bench::element_errors_ms(stuck, 0, 1000 * kMs, bench::dot_ms(60));
    ASSERT_EQ(held.size(), 1u);
    EXPECT_NEAR(held[0], 240.0, 1e-9);
}

TEST(BenchDecode, ReadsTextsBackAndShowsWhatATimingFaultDoes) {
    const double dot = bench::dot_ms(60);
    EXPECT_EQ(bench::decode_morse(keyed(kParisParis, dot), 0, 5000 * kMs, dot), "PARIS PARIS");
    // Elements 0.9 dot too long still read right; a unit more turns dots
    // into dashes and joins characters.
    EXPECT_EQ(bench::decode_morse(keyed(kParisParis, dot, 1000, 0.9 * dot), 0, 9000 * kMs, dot),
              "PARIS PARIS");
    EXPECT_NE(bench::decode_morse(keyed(kParisParis, dot, 1000, 1.1 * dot), 0, 9000 * kMs, dot),
              "PARIS PARIS");

    // The first element held 1.5 s, as a sound server did after a new
    // generator: P reads .--. no more.
    auto held = keyed(kParisParis, dot);
    for (size_t i = 2; i < held.size(); ++i) {
        held[i].t_ns += 1500 * kMs;
    }
    EXPECT_EQ(bench::decode_morse(held, 0, 9000 * kMs, dot), "?ARIS PARIS");

    // Only the window counts; a key still down at its end ends there; a
    // text that never came decodes empty.
    const auto port = keyed(".- / -", dot);  // A 1000-1100 ms, T 1240-1300 ms
    EXPECT_EQ(bench::decode_morse(port, 0, 9000 * kMs, dot), "A T");
    EXPECT_EQ(bench::decode_morse(port, 0, 1200 * kMs, dot), "A");
    EXPECT_EQ(bench::decode_morse(port, 1200 * kMs, 9000 * kMs, dot), "T");
    EXPECT_EQ(bench::decode_morse(port, 0, 1250 * kMs, dot), "A E");  // 10 ms into T
    EXPECT_EQ(bench::decode_morse(port, 9000 * kMs, 9500 * kMs, dot), "");
    EXPECT_EQ(bench::decode_morse(keyed("...---...", dot), 0, 9000 * kMs, dot), "?");
}

// A stall that stretches a dot by more than a dot makes it read as a dash
// shortened by the rest: matched to the text, it is the dot stretched.
TEST(BenchElements, ErrorsMatchedToTheTextTellAStretchedDotFromAShortDash) {
    const double dot = bench::dot_ms(60);
    auto port = keyed(kParisParis, dot);
    const auto exact = bench::matched_errors_ms(port, 0, 9000 * kMs, dot, "PARIS PARIS");
    ASSERT_EQ(exact.size(), 2 * 2 * 14 - 2u);  // 14 marks a word, the word space left out
    for (const double error : exact) {
        EXPECT_NEAR(error, 0, 1e-6);
    }
    // P's first dot held 28 ms more: nearest-ideal reads a dash 12 ms short.
    for (size_t i = 2; i < port.size(); ++i) {
        port[i].t_ns += 28 * kMs;
    }
    EXPECT_NEAR(bench::element_errors_ms(port, 0, 9000 * kMs, dot).front(), -12, 1e-6);
    const auto stretched = bench::matched_errors_ms(port, 0, 9000 * kMs, dot, "PARIS PARIS");
    ASSERT_EQ(stretched.size(), exact.size());
    EXPECT_NEAR(stretched.front(), 28, 1e-6);
    // A dropped element, or another text, matches nothing.
    EXPECT_TRUE(bench::matched_errors_ms(keyed(".--. .- .-. .. .. / .--. .- .-. .. ...", dot), 0,
                                         9000 * kMs, dot, "PARIS PARIS")
                    .empty());
    EXPECT_TRUE(bench::matched_errors_ms(port, 0, 9000 * kMs, dot, "PARIS").empty());
}

TEST(BenchElements, MeanRatioAndAbsoluteErrorsOfFoundElements) {
    // Every element 1 ms long at 60 wpm: dots 21/20, dashes 61/60.
    const double dot = bench::dot_ms(60);
    const auto found = bench::elements(keyed(".-", dot, 1000, 1.0), 0, 9000 * kMs, dot);
    ASSERT_EQ(found.size(), 3u);  // dot, gap, dash
    EXPECT_NEAR(bench::mean_element_ratio(found), (21.0 / 20 + 21.0 / 20 + 61.0 / 60) / 3, 1e-9);
    EXPECT_EQ(bench::mean_element_ratio({}), 0);

    const std::vector<bench::Element> mixed = {{19, 20}, {62, 60}};
    const auto errors = bench::absolute_errors_ms(mixed);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NEAR(errors[0], 1.0, 1e-9);
    EXPECT_NEAR(errors[1], 2.0, 1e-9);
}

TEST(BenchPlatform, ReadsTheProbeReportAndKnowsATornOne) {
    const auto log = bench::parse_platform_log(
        "P fifo 2\nW 120000 18000 95000 6250000 3\nS 40\nL 1000000 1300000\nL 2000000 8250000\n"
        "L 3000");
    EXPECT_TRUE(log.complete);
    EXPECT_EQ(log.policy, "fifo");
    EXPECT_EQ(log.threads, 2);
    EXPECT_EQ(log.wakes, 120000u);
    EXPECT_DOUBLE_EQ(log.p50_ms, 0.018);
    EXPECT_DOUBLE_EQ(log.p99_ms, 0.095);
    EXPECT_DOUBLE_EQ(log.max_ms, 6.25);
    EXPECT_EQ(log.dropped, 3u);
    EXPECT_DOUBLE_EQ(log.steal_ms, 40);
    ASSERT_EQ(log.late.size(), 2u);
    EXPECT_EQ(log.late[1].woke_ns, 8'250'000);

    // A probe that was killed printed nothing: no figures, no steal.
    const auto killed = bench::parse_platform_log("");
    EXPECT_FALSE(killed.complete);
    EXPECT_EQ(killed.steal_ms, -1);
}

TEST(BenchPlatform, ALateElementIsThePlatformsOnlyWhenAProbeThreadWasHeldHalfAsLongInItsSpan) {
    // "A" at 60 wpm: a dot 1000-1020 ms, a gap to 1040, then a dash that
    // should end at 1100 but ends at 1104, 4 ms late, while a probe thread
    // asked to wake at 1090; then "E", its dot 1 ms long: on time.
    const std::vector<Edge> port = {{0, false},          {1000 * kMs, true},  {1020 * kMs, false},
                                    {1040 * kMs, true},  {1104 * kMs, false}, {1164 * kMs, true},
                                    {1185 * kMs, false}, {1500 * kMs, true}};
    const auto found = bench::elements(port, 0, 1400 * kMs, bench::dot_ms(60));
    ASSERT_EQ(found.size(), 5u);
    EXPECT_EQ(found[2].from_ns, 1040 * kMs);
    EXPECT_EQ(found[2].to_ns, 1104 * kMs);
    auto classed = [&](std::vector<bench::Wake> wakes) {
        const auto late = bench::classify_late(found, wakes);
        return std::to_string(late.own) + " own, " + std::to_string(late.platform) + " platform";
    };
    const int64_t asked = 1090 * kMs;
    // No probe wake-up late at all: the program's own.
    EXPECT_EQ(classed({}), "1 own, 0 platform");
    // Held 2 ms, half the error, inside the span: the platform's.
    EXPECT_EQ(classed({{asked, asked + 2 * kMs}}), "0 own, 1 platform");
    // Held a little less than half: not enough to explain it.
    EXPECT_EQ(classed({{asked, asked + 1900 * kUs}}), "1 own, 0 platform");
    // A long stall that ended before the dash began, or began after it
    // ended, explains nothing in it.
    EXPECT_EQ(classed({{1000 * kMs, 1039 * kMs}, {1105 * kMs, 1130 * kMs}}), "1 own, 0 platform");
    // A stall that began before the dash and ended inside it overlaps it,
    // though the probe asked for its wake-up outside the span.
    EXPECT_EQ(classed({{1010 * kMs, 1045 * kMs}}), "0 own, 1 platform");

    // The probe asks every millisecond, so it sees a stall up to 1 ms
    // short. A dot 1.3 ms late: a probe thread held 0.5 ms across the time
    // its end was due saw the same stall; held as long earlier in the dot,
    // it explains nothing.
    const std::vector<bench::Element> dot = {{21.3, 20, 1000 * kMs, 1021300 * kUs}};
    EXPECT_EQ(bench::classify_late(dot, {{1020800 * kUs, 1021300 * kUs}}).platform, 1u);
    EXPECT_EQ(bench::classify_late(dot, {{1010 * kMs, 1010500 * kUs}}).own, 1u);

    // Too short counts as late too; 1 ms off is not late.
    const std::vector<bench::Element> short_and_near = {{17, 20, 0, 17 * kMs},
                                                        {61, 60, 0, 61 * kMs}};
    const auto late = bench::classify_late(short_and_near, {});
    EXPECT_EQ(late.own, 1u);
    EXPECT_EQ(late.platform, 0u);
}

}  // namespace
