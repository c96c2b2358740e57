// Turns the bytes a terminal sends into key events, with no system call, so
// that every rule can be driven from a test.
//
// Understood input:
// - letters (either case; the event names the key, so 'a' and 'A' are 0x41)
//   and digits, as plain bytes;
// - a lone ESC byte as the Esc key;
// - arrows as CSI A-D or SS3 A-D, CSI ones with or without modifier and
//   event-type parameters (ESC [ 1 ; 5 A, ESC [ 1 ; 1 : 3 A);
// - the keyboard enhancement protocol's CSI <code> ; <mods>[:<event>] u for
//   Esc, letters and digits, with Ctrl+C, Ctrl+Z and Ctrl+\ reported as
//   requests rather than keys, since under that protocol the terminal no
//   longer turns them into signals;
// - the terminal's answers to the protocol query (CSI ? <flags> u) and to the
//   primary device attributes query (CSI ? ... c).
// Every other CSI or SS3 sequence is skipped whole, as are OSC, DCS, APC, PM
// and SOS strings.
//
// An ESC byte may start a sequence or be the Esc key. It is held pending and
// becomes the Esc key only when the next byte cannot continue a sequence, when
// no byte follows within kSequenceTimeout, or at the end of input; so an
// arrow whose bytes arrive in separate reads is never taken for Esc.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace bankplay::console {

enum class KeyAction : std::uint8_t { Press, Repeat, Release };

enum class InputKind : std::uint8_t {
    Key,                    // key and action are set
    KeyboardProtocolReply,  // the terminal speaks the keyboard enhancement protocol
    DeviceAttributesReply,  // the terminal answered the primary device attributes query
    Interrupt,              // Ctrl+C reported as a key: act as on SIGINT
    Suspend,                // Ctrl+Z reported as a key: act as on SIGTSTP
    Quit,                   // Ctrl+\ reported as a key: act as on SIGQUIT
};

struct InputEvent {
    InputKind kind = InputKind::Key;
    int key = 0;  // virtual-key code (VK_ESCAPE, VK_UP, 'A' ...)
    KeyAction action = KeyAction::Press;

    friend bool operator==(const InputEvent&, const InputEvent&) = default;
};

// Receives the parser's events as they are recognised.
class InputSink {
public:
    virtual void onInput(const InputEvent& event) = 0;

protected:
    ~InputSink() = default;
};

class KeyParser {
public:
    // How long a pending ESC or an unfinished sequence waits for its next byte.
    static constexpr std::chrono::milliseconds kSequenceTimeout{100};

    // Parses bytes that were read at time now (any monotonic clock). A pending
    // ESC or unfinished sequence older than the timeout is settled first.
    void feed(std::span<const std::uint8_t> bytes, std::chrono::milliseconds now, InputSink& sink);
    void feed(std::string_view bytes, std::chrono::milliseconds now, InputSink& sink);

    // Settles what has waited kSequenceTimeout or longer without a next byte:
    // a pending ESC becomes the Esc key, an unfinished sequence is dropped.
    void expire(std::chrono::milliseconds now, InputSink& sink);

    // No more bytes will come: a pending ESC becomes the Esc key, an
    // unfinished sequence is dropped.
    void finish(InputSink& sink);

    // True while an ESC or an unfinished sequence waits for more bytes.
    bool waiting() const { return state_ != State::Ground; }

private:
    enum class State : std::uint8_t {
        Ground,
        Escape,        // after ESC
        Csi,           // after ESC [
        Ss3,           // after ESC O
        String,        // inside OSC/DCS/APC/PM/SOS, until BEL or ESC backslash
        StringEscape,  // ESC seen inside a string
    };

    static constexpr std::size_t kMaxParams = 4;
    static constexpr std::size_t kMaxSubParams = 3;

    void consume(std::uint8_t byte, InputSink& sink);
    void ground(std::uint8_t byte, InputSink& sink);
    void escape(std::uint8_t byte, InputSink& sink);
    void csi(std::uint8_t byte, InputSink& sink);
    void dispatchCsi(std::uint8_t final, InputSink& sink) const;
    void dispatchKittyKey(InputSink& sink) const;
    void startCsi();
    unsigned param(std::size_t index, std::size_t sub, unsigned fallback) const;

    State state_ = State::Ground;
    std::chrono::milliseconds lastByte_{0};

    // The CSI being collected.
    std::uint8_t privateMarker_ = 0;  // '<' '=' '>' '?' as the first parameter byte, else 0
    bool malformed_ = false;          // intermediates or misplaced bytes: skip it at its final byte
    std::size_t paramIndex_ = 0;
    std::size_t subIndex_ = 0;
    unsigned params_[kMaxParams][kMaxSubParams] = {};
    bool present_[kMaxParams][kMaxSubParams] = {};
};

}  // namespace bankplay::console
