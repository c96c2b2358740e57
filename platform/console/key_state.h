// The state behind GetAsyncKeyState, kept from parsed input with no system
// call: which keys went down since their last query, which are held, and when
// the end of input starts to count as Esc held.
//
// The console layer pumps input at the end of each Sleep (and at the first
// query): beginPump(), any number of feed() calls with what was read,
// endOfInput() if the input ended, endPump().
//
// Held ("down") keys:
// - under the keyboard protocol, Esc and the arrows report their releases, so
//   down is the real held state: an Esc tap that starts and ends between two
//   queries is seen as pressed, but not as down;
// - without it, Esc reports down from its first press on (latched), and any
//   other key reports down at the query that sees its press;
// - letters and digits arrive as text under the protocol too, with no
//   release, so they are treated as without it.
// End of input counts as Esc held from the pump after the one that saw it, so
// the keys read before it are seen by one round of queries first.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/console/key_parser.h"
#include "platform/types.h"

namespace bankplay::console {

// What input asks the console layer to do, as bits.
enum KeyRequest : unsigned {
    kRequestNone = 0,
    kRequestPushProtocol = 1u << 0,  // the terminal offered the keyboard protocol: switch it on
    kRequestInterrupt = 1u << 1,     // Ctrl+C arrived as a key
    kRequestSuspend = 1u << 2,       // Ctrl+Z arrived as a key
    kRequestQuit = 1u << 3,          // Ctrl+\ arrived as a key
};

class KeyState : private InputSink {
public:
    static constexpr SHORT kDown = static_cast<SHORT>(0x8000);
    static constexpr SHORT kPressed = 0x0001;

    void beginPump();
    // Bytes read at time now; returns the KeyRequest bits they raise.
    unsigned feed(std::span<const std::uint8_t> bytes, std::chrono::milliseconds now);
    unsigned feed(std::string_view bytes, std::chrono::milliseconds now);
    // The input has ended (end of file, or the terminal is gone).
    void endOfInput();
    void endPump(std::chrono::milliseconds now);

    // Whether the keyboard protocol is on in the terminal, as the console
    // layer switches it. Switching it off forgets held keys, whose releases
    // will no longer come.
    void setProtocolActive(bool active);
    bool protocolActive() const { return protocolActive_; }
    // Forgets held keys: their releases were lost (the program was stopped).
    void releaseAll();

    bool deviceAttributesAnswered() const { return deviceAttributesAnswered_; }
    bool inputEnded() const { return endedSeen_; }

    // The GetAsyncKeyState bits for a key; clears its pressed bit.
    SHORT query(int key);

private:
    void onInput(const InputEvent& event) override;
    void onKey(int key, KeyAction action);
    bool tracksRelease(int key) const;

    KeyParser parser_;
    std::array<bool, 256> pressed_{};
    std::array<bool, 256> held_{};
    bool escapeLatched_ = false;
    bool protocolActive_ = false;
    bool protocolOffered_ = false;
    bool deviceAttributesAnswered_ = false;
    bool ended_ = false;      // the input ended during this or an earlier pump
    bool endedSeen_ = false;  // ... and a pump has begun since: Esc counts as held
    unsigned requests_ = kRequestNone;
};

}  // namespace bankplay::console
