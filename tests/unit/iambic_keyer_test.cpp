// The keyer alone: scripted paddle changes in, the elements and their start
// times out, at 20 wpm (dot 60 ms, dash 180 ms, element space 60 ms).
#include "morse/iambic_keyer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace varkel {
namespace {

constexpr int64_t kMs = 1000;
constexpr KeyerTiming k20Wpm{.dot = 60 * kMs, .dash = 180 * kMs, .space = 60 * kMs};

struct Change {
    int64_t at_ms;
    bool dit;
    bool dah;
};

struct Sent {
    std::string elements;            // ".-"
    std::vector<int64_t> starts_ms;  // when each began
};

// Plays the changes against the keyer, choosing at each due time that
// comes before the next change, until the keyer is idle after the last.
Sent play(KeyerMode mode, const std::vector<Change>& changes) {
    IambicKeyer keyer;
    keyer_reset(keyer, mode);
    Sent sent;
    const auto note = [&sent](KeyerElement element, int64_t start) {
        if (element != KeyerElement::none) {
            sent.elements += element == KeyerElement::dot ? '.' : '-';
            sent.starts_ms.push_back(start / kMs);
        }
    };
    size_t next = 0;
    for (int guard = 0; guard < 1000; ++guard) {
        const bool change_waiting = next < changes.size();
        if (keyer.sending && (!change_waiting || keyer.due <= changes[next].at_ms * kMs)) {
            const int64_t due = keyer.due;
            note(keyer_at_due(keyer, k20Wpm), due);
            continue;
        }
        if (!change_waiting) {
            break;
        }
        const Change& change = changes[next++];
        note(keyer_paddles(keyer, change.dit, change.dah, change.at_ms * kMs, k20Wpm),
             change.at_ms * kMs);
    }
    return sent;
}

TEST(IambicKeyer, SqueezeReleasedInTheSecondDashSendsOneMoreDotOnlyInModeB) {
    // Dit at 0, dah at 5 ms, both released at 570 ms, inside the dash of
    // 480-660 ms.
    const std::vector<Change> squeeze{{0, true, false}, {5, true, true}, {570, false, false}};
    const Sent b = play(KeyerMode::iambic_b, squeeze);
    EXPECT_EQ(b.elements, ".-.-.");
    EXPECT_EQ(b.starts_ms, (std::vector<int64_t>{0, 120, 360, 480, 720}));
    const Sent a = play(KeyerMode::iambic_a, squeeze);
    EXPECT_EQ(a.elements, ".-.-");
    EXPECT_EQ(a.starts_ms, (std::vector<int64_t>{0, 120, 360, 480}));
}

TEST(IambicKeyer, SqueezeReleasedInASpace) {
    // Released at 440 ms, in the space after the dot of 360-420 ms: mode B
    // still owes the dash that the squeeze asked for during the dot; mode A
    // ends with the dot.
    const std::vector<Change> squeeze{{0, true, false}, {5, true, true}, {440, false, false}};
    EXPECT_EQ(play(KeyerMode::iambic_b, squeeze).elements, ".-.-");
    EXPECT_EQ(play(KeyerMode::iambic_a, squeeze).elements, ".-.");
}

TEST(IambicKeyer, HeldPaddlesRepeatTheirElementOnTheElementGrid) {
    const Sent dits = play(KeyerMode::iambic_b, {{0, true, false}, {350, false, false}});
    EXPECT_EQ(dits.elements, "...");  // chosen at 0, 120, 240; open at 360
    EXPECT_EQ(dits.starts_ms, (std::vector<int64_t>{0, 120, 240}));
    const Sent dahs = play(KeyerMode::iambic_a, {{10, false, true}, {480, false, false}});
    EXPECT_EQ(dahs.elements, "--");
    EXPECT_EQ(dahs.starts_ms, (std::vector<int64_t>{10, 250}));
}

TEST(IambicKeyer, MemoryKeepsATapOfTheOppositePaddleInBothModes) {
    // A dah tapped for 10 ms inside a dot, released long before the dot
    // ends: no squeeze was ever open-ended, so both modes send it.
    for (const KeyerMode mode : {KeyerMode::iambic_b, KeyerMode::iambic_a}) {
        const Sent sent = play(
            mode, {{0, true, false}, {20, false, false}, {30, false, true}, {40, false, false}});
        EXPECT_EQ(sent.elements, ".-") << static_cast<int>(mode);
        EXPECT_EQ(sent.starts_ms, (std::vector<int64_t>{0, 120}));
    }
    // The same tap of the dot's own paddle inside the dot asks for nothing;
    // a tap in the space after it asks for one more.
    EXPECT_EQ(play(KeyerMode::iambic_b,
                   {{0, true, false}, {20, false, false}, {30, true, false}, {40, false, false}})
                  .elements,
              ".");
    EXPECT_EQ(play(KeyerMode::iambic_b,
                   {{0, true, false}, {20, false, false}, {80, true, false}, {90, false, false}})
                  .elements,
              "..");
}

TEST(IambicKeyer, ModeAForgetsTheMemoryOnlyWhenBothOpenAfterASqueeze) {
    // Dah held, dit squeezed in and released first, then the dah: both are
    // open after the squeeze, so mode A drops the dot that mode B sends.
    const std::vector<Change> tap{
        {0, false, true}, {50, true, true}, {70, false, true}, {100, false, false}};
    EXPECT_EQ(play(KeyerMode::iambic_b, tap).elements, "-.");
    EXPECT_EQ(play(KeyerMode::iambic_a, tap).elements, "-");
    // After the memory is cleared a new closure before the due time counts.
    EXPECT_EQ(play(KeyerMode::iambic_a, {{0, false, true},
                                         {50, true, true},
                                         {100, false, false},
                                         {150, true, false},
                                         {170, false, false}})
                  .elements,
              "-.");
}

TEST(IambicKeyer, AnIdleKeyerStartsAtTheClosure) {
    const Sent sent = play(KeyerMode::iambic_b, {{0, true, false},
                                                 {10, false, false},
                                                 {1000, false, true},
                                                 {1010, false, false},
                                                 {2000, true, true},
                                                 {2010, false, false}});
    // Both closed at once count as a dot first, with the dah remembered.
    EXPECT_EQ(sent.elements, ".-.-");
    EXPECT_EQ(sent.starts_ms, (std::vector<int64_t>{0, 1000, 2000, 2120}));
}

}  // namespace
}  // namespace varkel
