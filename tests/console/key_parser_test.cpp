#include "platform/console/key_parser.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "platform/console/console.h"

namespace bankplay::console {

std::ostream& operator<<(std::ostream& out, const InputEvent& e) {
    static const char* const kinds[] = {"Key", "ProtocolReply", "DeviceAttributes", "Interrupt", "Suspend", "Quit"};
    static const char* const actions[] = {"press", "repeat", "release"};
    out << kinds[static_cast<int>(e.kind)];
    if (e.kind == InputKind::Key) {
        out << "(0x" << std::hex << e.key << std::dec << ' ' << actions[static_cast<int>(e.action)] << ')';
    }
    return out;
}

namespace {

using std::chrono::milliseconds;

struct Recorder : InputSink {
    std::vector<InputEvent> events;
    void onInput(const InputEvent& event) override { events.push_back(event); }
};

InputEvent press(int key) { return {InputKind::Key, key, KeyAction::Press}; }
InputEvent repeat(int key) { return {InputKind::Key, key, KeyAction::Repeat}; }
InputEvent release(int key) { return {InputKind::Key, key, KeyAction::Release}; }
InputEvent event(InputKind kind) { return {kind, 0, KeyAction::Press}; }

// What happens to the parser, in order: bytes read at a time, a timeout check
// at a time, or the end of input.
struct Feed {
    std::string bytes;
    int atMs = 0;
};
struct Expire {
    int atMs;
};
struct Finish {};
using Step = std::variant<Feed, Expire, Finish>;

struct ParseCase {
    const char* name;
    std::vector<Step> steps;
    std::vector<InputEvent> expected;
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

class KeyParserTest : public testing::TestWithParam<ParseCase> {};

TEST_P(KeyParserTest, Parses) {
    KeyParser parser;
    Recorder sink;
    for (const Step& step : GetParam().steps) {
        if (const auto* feed = std::get_if<Feed>(&step)) parser.feed(feed->bytes, milliseconds{feed->atMs}, sink);
        else if (const auto* expire = std::get_if<Expire>(&step)) parser.expire(milliseconds{expire->atMs}, sink);
        else parser.finish(sink);
    }
    EXPECT_EQ(sink.events, GetParam().expected);
}

const ParseCase kParseCases[] = {
    // Plain keys.
    {"letters_name_the_key_whatever_the_case", {Feed{"aAqQ wz"}},
     {press('A'), press('A'), press('Q'), press('Q'), press('W'), press('Z')}},
    {"digits", {Feed{"07"}}, {press('0'), press('7')}},
    {"control_and_high_bytes_are_not_keys", {Feed{"\x01\r\n\x7f\x80\xc3\xa9\xff" "d"}}, {press('D')}},

    // A lone ESC against the start of a sequence.
    {"lone_esc_waits_for_the_timeout", {Feed{"\x1b"}, Expire{99}}, {}},
    {"lone_esc_is_esc_after_the_timeout", {Feed{"\x1b"}, Expire{100}}, {press(VK_ESCAPE)}},
    {"lone_esc_is_esc_at_end_of_input", {Feed{"\x1b"}, Finish{}}, {press(VK_ESCAPE)}},
    {"arrow_split_after_esc_is_an_arrow", {Feed{"\x1b", 0}, Expire{60}, Feed{"[A", 90}}, {press(VK_UP)}},
    {"arrow_split_inside_parameters", {Feed{"\x1b[1;", 0}, Feed{"5", 40}, Feed{"D", 80}, Expire{500}},
     {press(VK_LEFT)}},
    {"ss3_arrow_split_after_o", {Feed{"\x1bO", 0}, Feed{"B", 50}}, {press(VK_DOWN)}},
    {"late_bytes_after_the_timeout_are_keys_of_their_own", {Feed{"\x1b", 0}, Feed{"[a", 150}},
     {press(VK_ESCAPE), press('A')}},
    {"esc_esc_is_esc_then_a_pending_esc", {Feed{"\x1b\x1b"}}, {press(VK_ESCAPE)}},
    {"esc_esc_at_end_of_input_is_two_esc", {Feed{"\x1b\x1b"}, Finish{}}, {press(VK_ESCAPE), press(VK_ESCAPE)}},
    {"esc_before_a_letter_is_esc_at_once", {Feed{"\x1b", 0}, Feed{"q", 10}}, {press(VK_ESCAPE), press('Q')}},
    {"unfinished_sequence_times_out_without_esc", {Feed{"\x1b[1;5", 0}, Feed{"A", 200}}, {press('A')}},
    {"unfinished_sequence_at_end_of_input_is_dropped", {Feed{"\x1b[1"}, Finish{}}, {}},
    {"esc_inside_a_sequence_starts_a_new_one", {Feed{"\x1b[1;\x1b[B"}}, {press(VK_DOWN)}},

    // Arrows.
    {"plain_arrows", {Feed{"\x1b[A\x1b[B\x1b[C\x1b[D"}},
     {press(VK_UP), press(VK_DOWN), press(VK_RIGHT), press(VK_LEFT)}},
    {"ss3_arrows", {Feed{"\x1bOA\x1bOB\x1bOC\x1bOD"}},
     {press(VK_UP), press(VK_DOWN), press(VK_RIGHT), press(VK_LEFT)}},
    {"modified_arrows", {Feed{"\x1b[1;5A\x1b[1;2B\x1b[1;3C\x1b[1;9D\x1bO5A"}},
     {press(VK_UP), press(VK_DOWN), press(VK_RIGHT), press(VK_LEFT), press(VK_UP)}},

    // The keyboard enhancement protocol.
    {"protocol_esc_press_repeat_release", {Feed{"\x1b[27u\x1b[27;1:2u\x1b[27;1:3u\x1b[27;5u"}},
     {press(VK_ESCAPE), repeat(VK_ESCAPE), release(VK_ESCAPE), press(VK_ESCAPE)}},
    {"protocol_arrow_press_repeat_release", {Feed{"\x1b[A\x1b[1;1:2A\x1b[1;1:3A\x1b[1;5:3C"}},
     {press(VK_UP), repeat(VK_UP), release(VK_UP), release(VK_RIGHT)}},
    {"protocol_letters", {Feed{"\x1b[97;3u\x1b[100;1:3u\x1b[49u"}}, {press('A'), release('D'), press('1')}},
    {"protocol_reply_and_device_attributes_are_swallowed", {Feed{"\x1b[?0u\x1b[?15u\x1b[?62;22ca"}},
     {event(InputKind::KeyboardProtocolReply), event(InputKind::KeyboardProtocolReply),
      event(InputKind::DeviceAttributesReply), press('A')}},
    {"ctrl_c_z_backslash_as_keys", {Feed{"\x1b[99;5u\x1b[122;5u\x1b[92;5u\x1b[99;6u"}},
     {event(InputKind::Interrupt), event(InputKind::Suspend), event(InputKind::Quit), event(InputKind::Interrupt)}},
    {"ctrl_c_repeat_and_release_do_nothing", {Feed{"\x1b[99;5:2u\x1b[99;5:3u"}}, {}},
    {"ctrl_with_other_letters_is_no_key", {Feed{"\x1b[97;5u\x1b[115;5u"}}, {}},

    // Everything else is skipped whole, even when its bytes look like keys.
    {"unknown_csi_sequences", {Feed{"\x1b[15~\x1b[200~a\x1b[201~\x1b[12;34H\x1b[57441u\x1b[5S" "f"}},
     {press('A'), press('F')}},
    {"private_and_intermediate_sequences", {Feed{"\x1b[<0;10;20M\x1b[>1;2c\x1b[?1049h\x1b[2 q\x1b[1?A" "e"}},
     {press('E')}},
    {"other_ss3_finals", {Feed{"\x1bOP\x1bOQ\x1bOM" "r"}}, {press('R')}},
    {"strings_end_at_bel_or_st", {Feed{"\x1b]0;asdf\x07q\x1bP1$r0m\x1b\\w\x1b_qq\x1b\\e"}},
     {press('Q'), press('W'), press('E')}},
    {"string_cut_by_another_escape", {Feed{"\x1b]11;rgb\x1b[A"}}, {press(VK_UP)}},
    {"huge_parameters_do_not_overflow", {Feed{"\x1b[99999999999999999999;1;2;3;4;5;6:7:8:9A\x1b[4294967323u"}},
     {press(VK_UP)}},
    {"high_byte_abandons_a_sequence", {Feed{"\x1b[1\xff" "a"}}, {press('A')}},
};

INSTANTIATE_TEST_SUITE_P(ByteStreams, KeyParserTest, testing::ValuesIn(kParseCases),
                         [](const testing::TestParamInfo<ParseCase>& p) { return std::string(p.param.name); });

TEST(KeyParserWaiting, ReportsAPendingEscOrSequence) {
    KeyParser parser;
    Recorder sink;
    parser.feed("\x1b", milliseconds{0}, sink);
    EXPECT_TRUE(parser.waiting());
    parser.feed("[1;", milliseconds{10}, sink);
    EXPECT_TRUE(parser.waiting());
    parser.feed("5A", milliseconds{20}, sink);
    EXPECT_FALSE(parser.waiting());
}

}  // namespace
}  // namespace bankplay::console
