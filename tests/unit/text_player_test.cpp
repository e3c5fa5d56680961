// Playing a text request: plain characters, the speed, gap and plus
// characters, and the echo marker.
#include "net/text_player.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/morse_test_support.h"

namespace varkel {
namespace {

using fake_libcw::Call;
using morse_test::queued_characters;
using Calls = std::vector<Call>;

class TextPlayerTest : public ::testing::Test, public morse_test::MorseTest {
  protected:
    // Puts the text into the message buffer as the endpoint does and plays it.
    void play(const char* text) {
        char* buffer = message_buffer();
        memcpy(buffer + 1, text + 1, strlen(text));
        store_message_byte(0, text[0]);
        if (text[0] == '\0') {
            empty_message_buffer();
        }
        play_message(buffer);
    }
    std::string reply() {
        char text[kReplyBufferSize];
        copy_reply_text(text, sizeof text);
        return text;
    }
    // The calls that change libcw's speed and gap or queue characters.
    Calls player_calls() {
        Calls kept;
        for (const auto& call : fake_libcw::calls()) {
            if (call.name != "cw_get_gap") {
                kept.push_back(call);
            }
        }
        return kept;
    }
};

TEST_F(TextPlayerTest, PlainTextIsQueuedWithItsLogLinesAndTheBufferEmptied) {
    play("CQ");
    EXPECT_EQ(player_calls(), (Calls{{"cw_send_character", {'C'}}, {"cw_send_character", {'Q'}}}));
    EXPECT_EQ(log(),
              "varkel:II: Morse character \"C\" to be queued in libcw\n"
              "varkel:DD: Morse character \"C\" has been queued in libcw\n"
              "varkel:II: Morse character \"Q\" to be queued in libcw\n"
              "varkel:DD: Morse character \"Q\" has been queued in libcw\n");
    EXPECT_FALSE(message_waiting());
    EXPECT_EQ(settings.current.wpm, 24);
}

TEST_F(TextPlayerTest, SpeedRunIsSummedAndClampedOnce) {
    struct Case {
        int wpm;
        const char* text;
        int expected;
    };
    const Case cases[] = {{24, "++A", 28}, {4, "-", 4},    {60, "+-", 60}, {58, "++++", 60},
                          {6, "---+", 4},  {60, "-+", 60}, {10, "+-+", 12}};
    for (const auto& c : cases) {
        fake_libcw::reset();
        settings.current.wpm = c.wpm;
        play(c.text);
        EXPECT_EQ(settings.current.wpm, c.expected) << c.text << " at " << c.wpm;
        const Calls calls = player_calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.front(), (Call{"cw_set_send_speed", {c.expected}})) << c.text;
        EXPECT_EQ(fake_libcw::count("cw_set_send_speed"), 1u) << c.text;
    }
}

TEST_F(TextPlayerTest, SpeedChangeTakesEffectBeforeTheNextCharacter) {
    play("A+B");
    EXPECT_EQ(player_calls(), (Calls{{"cw_send_character", {'A'}},
                                     {"cw_set_send_speed", {26}},
                                     {"cw_send_character", {'B'}}}));
}

TEST_F(TextPlayerTest, LonePlusChangesSpeedOnlyAndRaisesNoPtt) {
    settings.current.ptt_delay = 10;
    play("+");
    EXPECT_EQ(player_calls(), (Calls{{"cw_set_send_speed", {26}}}));
    EXPECT_TRUE(morse_test::device_events().empty());
    EXPECT_EQ(ptt_flags(), 0);
}

TEST_F(TextPlayerTest, EchoMarkerEndsTheTextAndPreparesTheReply) {
    play("AB^CD");
    EXPECT_EQ(queued_characters(), "AB");
    EXPECT_EQ(reply(), "AB");
    EXPECT_EQ(ptt_flags(), PTT_ACTIVE_ECHO);
    EXPECT_FALSE(message_waiting());
    EXPECT_NE(log().find("varkel:DD: PTT flag +PTT_ACTIVE_ECHO (0x04/amE)\n"
                         "varkel:II: text of request: \"AB\", text of reply: \"AB\"\n"
                         "varkel:II: now waiting for end of transmission before echoing back to "
                         "client\n"),
              std::string::npos);
}

TEST_F(TextPlayerTest, StarIsSentAsPlusAndRewrittenInTheReply) {
    play("A*B^");
    EXPECT_EQ(queued_characters(), "A+B");
    EXPECT_EQ(reply(), "A+B");
    EXPECT_EQ(fake_libcw::count("cw_set_send_speed"), 0u);
    EXPECT_EQ(settings.current.wpm, 24);
}

TEST_F(TextPlayerTest, CaretAloneQueuesNothingAndPreparesAnEmptyReply) {
    settings.current.ptt_delay = 10;
    store_message_byte(0, 'x');  // stands for an earlier reply
    play("^");
    EXPECT_EQ(queued_characters(), "");
    EXPECT_EQ(reply(), "");
    EXPECT_EQ(ptt_flags(), PTT_ACTIVE_ECHO);
    EXPECT_TRUE(morse_test::device_events().empty());
}

TEST_F(TextPlayerTest, GapAppliesToTheNextCharacterOnly) {
    play("~AB");
    EXPECT_EQ(player_calls(), (Calls{{"cw_set_gap", {2}},
                                     {"cw_send_character", {'A'}},
                                     {"cw_set_gap", {0}},
                                     {"cw_send_character", {'B'}}}));
}

TEST_F(TextPlayerTest, CaretAfterAGappedCharacterCarriesTheGapOnAndIsNoEchoMarker) {
    play("~A^B");
    EXPECT_EQ(player_calls(), (Calls{{"cw_set_gap", {2}},
                                     {"cw_send_character", {'A'}},
                                     {"cw_send_character", {'B'}},
                                     {"cw_set_gap", {0}}}));
    EXPECT_EQ(ptt_flags(), 0);
}

TEST_F(TextPlayerTest, GapAtTheEndOfATextCarriesOverToTheNextRequest) {
    play("A~");
    EXPECT_EQ(player_calls(), (Calls{{"cw_send_character", {'A'}}, {"cw_set_gap", {2}}}));
    const size_t before = player_calls().size();
    play("K");
    const Calls calls = player_calls();
    EXPECT_EQ(Calls(calls.begin() + static_cast<long>(before), calls.end()),
              (Calls{{"cw_send_character", {'K'}}, {"cw_set_gap", {0}}}));
}

TEST_F(TextPlayerTest, GapThenCaretIsAnEchoMarker) {
    play("~^");
    EXPECT_EQ(player_calls(), (Calls{{"cw_set_gap", {2}}}));
    EXPECT_EQ(ptt_flags(), PTT_ACTIVE_ECHO);
    EXPECT_EQ(reply(), "~");
}

TEST_F(TextPlayerTest, PttIsRaisedOnceBeforeTheFirstCharacter) {
    settings.current.ptt_delay = 5;
    play("AB");
    EXPECT_EQ(morse_test::device_events(), std::vector<std::string>{"ptt 1"});
    EXPECT_EQ(ptt_flags(), PTT_ACTIVE_AUTO);
    const auto lines = log_lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "varkel:II: PTT (auto) on");
    EXPECT_EQ(lines[1], "varkel:DD: PTT flag +PTT_ACTIVE_AUTO (0x01/Ame)");
    EXPECT_EQ(lines[2], "varkel:II: Morse character \"A\" to be queued in libcw");
}

TEST_F(TextPlayerTest, TextStaysWaitingUntilEveryCharacterIsQueued) {
    // libcw's thread reads the first byte while the walk goes on.
    static std::string seen;
    seen.clear();
    fake_libcw::set_send_hook([](char) { seen.push_back(message_waiting() ? 'w' : '-'); });
    play("*A~B+C^D");
    EXPECT_EQ(seen, "wwww");
    EXPECT_FALSE(message_waiting());
    EXPECT_EQ(queued_characters(), "+ABC");
}

TEST_F(TextPlayerTest, OtherBytesArePassedToLibcwAsTheyAre) {
    play(" 7?\x01\xe9\x80\xfe");
    EXPECT_EQ(queued_characters(), " 7?\x01\xe9\x80\xfe");
}

TEST_F(TextPlayerTest, BackspaceTakesBackTheLastCharacterAndIsNeverHandedToLibcw) {
    play("AB\bC\b");
    EXPECT_EQ(player_calls(), (Calls{{"cw_send_character", {'A'}},
                                     {"cw_send_character", {'B'}},
                                     {"cw_generator_remove_last_character", {}},
                                     {"cw_send_character", {'C'}},
                                     {"cw_generator_remove_last_character", {}}}));
    auto lines = log_lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "varkel:II: backspace: last Morse character removed from libcw"),
              2);
    // Nothing left that has not begun: nothing happens but the line.
    fake_libcw::set_remove_last_character_result(0);
    play("\b");
    lines = log_lines();
    EXPECT_EQ(lines.back(), "varkel:II: backspace: no Morse character left to remove");
    EXPECT_TRUE(morse_test::device_events().empty());
}

TEST_F(TextPlayerTest, BackspaceThatLeavesTheQueueAtOneToneBringsBackTheLowQueueCall) {
    // PTT and an echo wait for the queue's fall to one tone, which the
    // character taken back may have been the only way to.
    settings.current.ptt_delay = 5;
    play("A");
    fake_libcw::set_tone_queue_length(1);
    play("\b");
    const Calls calls = player_calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(Calls(calls.end() - 2, calls.end()),
              (Calls{{"cw_queue_tone", {1, 0}}, {"cw_queue_tone", {1, 0}}}));
}

TEST_F(TextPlayerTest, ByteThatCrashesLibcwIsLoggedButNeverHandedToIt) {
    play(
        "A\xff"
        "B");
    EXPECT_EQ(queued_characters(), "AB");
    EXPECT_NE(log().find("varkel:II: Morse character \"\xff\" to be queued in libcw\n"
                         "varkel:DD: Morse character \"\xff\" has been queued in libcw\n"),
              std::string::npos);
    EXPECT_FALSE(message_waiting());
}

}  // namespace
}  // namespace varkel

namespace varkel {
namespace {

TEST_F(TextPlayerTest, WithoutAGeneratorTextIsDroppedAndLibcwLeftAlone) {
    // libcw 3.6 crashes on every call while it has no generator.
    generator_ready.store(false);
    play("AB^");
    EXPECT_TRUE(fake_libcw::calls().empty());
    EXPECT_FALSE(message_waiting());
    EXPECT_EQ(ptt_flags(), 0);
    EXPECT_NE(log().find("varkel:EE: no working sound system, text dropped\n"), std::string::npos);
    generator_ready.store(true);
}

}  // namespace
}  // namespace varkel
