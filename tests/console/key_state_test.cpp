#include "platform/console/key_state.h"

#include <gtest/gtest.h>

#include "platform/console/console.h"

namespace bankplay::console {
namespace {

using std::chrono::milliseconds;

constexpr SHORT kDown = KeyState::kDown;
constexpr SHORT kPressed = KeyState::kPressed;
constexpr SHORT kDownPressed = static_cast<SHORT>(kDown | kPressed);

// One pump of input as the console layer runs it: begin, bytes, (end of
// input,) end.
void pump(KeyState& keys, std::string_view bytes, int atMs, bool ended = false) {
    keys.beginPump();
    keys.feed(bytes, milliseconds{atMs});
    if (ended) keys.endOfInput();
    keys.endPump(milliseconds{atMs});
}

TEST(KeyStatePressed, SeveralPressesBetweenQueriesCountOnceAndPerKey) {
    KeyState keys;
    pump(keys, "aaAs", 0);
    EXPECT_EQ(keys.query('A'), kDownPressed);
    EXPECT_EQ(keys.query('A'), 0) << "the press was reported by the previous query";
    EXPECT_EQ(keys.query('S'), kDownPressed) << "querying A leaves S alone";
    EXPECT_EQ(keys.query('D'), 0);
    EXPECT_EQ(keys.query(-1), 0);
    EXPECT_EQ(keys.query(0x1234), 0);
}

TEST(KeyStatePressed, PressesOfConsecutivePumpsAreSeenByTheNextQuery) {
    KeyState keys;
    pump(keys, "\x1b[A", 0);
    pump(keys, "\x1b[A", 16);
    EXPECT_EQ(keys.query(VK_UP) & kPressed, kPressed);
    pump(keys, "\x1b[A", 32);
    EXPECT_EQ(keys.query(VK_UP) & kPressed, kPressed) << "auto-repeat counts as new presses";
}

TEST(KeyStateLegacy, EscIsDownFromItsPressOn) {
    KeyState keys;
    pump(keys, "\x1b", 0);
    EXPECT_EQ(keys.query(VK_ESCAPE), 0) << "a lone ESC is pending until the timeout";
    pump(keys, "", 100);
    EXPECT_EQ(keys.query(VK_ESCAPE), kDownPressed);
    EXPECT_EQ(keys.query(VK_ESCAPE), kDown) << "latched: no release will ever come";
    EXPECT_EQ(keys.query(VK_UP), 0);
}

TEST(KeyStateLegacy, ArrowIsNeverTakenForEsc) {
    KeyState keys;
    pump(keys, "\x1b", 0);
    pump(keys, "[B", 16);
    pump(keys, "", 400);
    EXPECT_EQ(keys.query(VK_ESCAPE), 0);
    EXPECT_EQ(keys.query(VK_DOWN), kDownPressed);
}

TEST(KeyStateProtocol, EscTapBetweenQueriesIsPressedButNotDown) {
    KeyState keys;
    keys.setProtocolActive(true);
    pump(keys, "\x1b[27u\x1b[27;1:3u", 0);
    EXPECT_EQ(keys.query(VK_ESCAPE), kPressed) << "a tap must not end the run";

    pump(keys, "\x1b[27u", 16);
    EXPECT_EQ(keys.query(VK_ESCAPE), kDownPressed);
    pump(keys, "", 200);
    EXPECT_EQ(keys.query(VK_ESCAPE), kDown) << "held until its release arrives";
    pump(keys, "\x1b[27;1:3u", 216);
    EXPECT_EQ(keys.query(VK_ESCAPE), 0);
}

TEST(KeyStateProtocol, RepeatCountsAsPressAndReleaseClearsDown) {
    KeyState keys;
    keys.setProtocolActive(true);
    pump(keys, "\x1b[C", 0);
    EXPECT_EQ(keys.query(VK_RIGHT), kDownPressed);
    pump(keys, "\x1b[1;1:2C", 16);
    EXPECT_EQ(keys.query(VK_RIGHT), kDownPressed);
    pump(keys, "", 32);
    EXPECT_EQ(keys.query(VK_RIGHT), kDown);
    pump(keys, "\x1b[1;1:3C", 48);
    EXPECT_EQ(keys.query(VK_RIGHT), 0);
}

TEST(KeyStateProtocol, LettersStillArriveAsTextWithoutRelease) {
    KeyState keys;
    keys.setProtocolActive(true);
    pump(keys, "q", 0);
    EXPECT_EQ(keys.query('Q'), kDownPressed);
    EXPECT_EQ(keys.query('Q'), 0) << "no release will come, so it must not stay down";
}

TEST(KeyStateProtocol, HeldKeysAreForgottenWhenTheirReleasesCannotCome) {
    KeyState keys;
    keys.setProtocolActive(true);
    pump(keys, "\x1b[A\x1b[27u", 0);
    EXPECT_EQ(keys.query(VK_UP), kDownPressed);
    EXPECT_EQ(keys.query(VK_ESCAPE), kDownPressed);
    keys.releaseAll();
    EXPECT_EQ(keys.query(VK_UP), 0) << "after a stop";
    pump(keys, "\x1b[27u", 16);
    EXPECT_EQ(keys.query(VK_ESCAPE), kDownPressed);
    keys.setProtocolActive(false);
    EXPECT_EQ(keys.query(VK_ESCAPE), 0) << "after the protocol was popped";
}

TEST(KeyStateRequests, RepliesAndControlKeysBecomeRequests) {
    KeyState keys;
    EXPECT_EQ(keys.feed("\x1b[?1u", milliseconds{0}), kRequestPushProtocol);
    EXPECT_EQ(keys.feed("\x1b[?1u", milliseconds{1}), kRequestNone) << "the protocol is pushed once";
    EXPECT_FALSE(keys.deviceAttributesAnswered());
    EXPECT_EQ(keys.feed("\x1b[?62;22c", milliseconds{2}), kRequestNone);
    EXPECT_TRUE(keys.deviceAttributesAnswered());
    EXPECT_EQ(keys.feed("\x1b[99;5u\x1b[122;5u", milliseconds{3}), kRequestInterrupt | kRequestSuspend);
    EXPECT_EQ(keys.feed("\x1b[92;5ua", milliseconds{4}), kRequestQuit);
    EXPECT_EQ(keys.query('A'), kDownPressed);
}

TEST(KeyStateEndOfInput, KeysBeforeTheEndAreSeenByOneRoundFirst) {
    KeyState keys;
    pump(keys, "asdf", 0, /*ended=*/true);
    EXPECT_EQ(keys.query(VK_ESCAPE), 0);
    for (int key : {'A', 'S', 'D', 'F'}) EXPECT_EQ(keys.query(key) & kPressed, kPressed) << char(key);
    pump(keys, "", 16);
    EXPECT_EQ(keys.query(VK_ESCAPE) & kDown, kDown);
    EXPECT_TRUE(keys.inputEnded());
}

TEST(KeyStateEndOfInput, ResolvesAPendingEscAsEsc) {
    KeyState keys;
    pump(keys, "w\x1b", 0, /*ended=*/true);
    EXPECT_EQ(keys.query(VK_ESCAPE), kDownPressed);
    EXPECT_EQ(keys.query('W') & kPressed, kPressed);
}

}  // namespace
}  // namespace bankplay::console
