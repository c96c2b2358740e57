#include "platform/console/key_parser.h"

#include "platform/console/console.h"

namespace bankplay::console {
namespace {

constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kBel = 0x07;
// Parameter values are clamped here: nothing understood is larger, and a
// clamped value cannot overflow however many digits arrive.
constexpr unsigned kParamLimit = 1u << 20;

// Modifier bits of the keyboard protocol; the parameter carries 1 + bits.
constexpr unsigned kCtrlBit = 4;

int letterOrDigitKey(unsigned code) {
    if (code >= 'a' && code <= 'z') return static_cast<int>(code - 'a' + 'A');
    if ((code >= 'A' && code <= 'Z') || (code >= '0' && code <= '9')) return static_cast<int>(code);
    return 0;
}

KeyAction actionOf(unsigned eventType) {
    switch (eventType) {
    case 2: return KeyAction::Repeat;
    case 3: return KeyAction::Release;
    default: return KeyAction::Press;
    }
}

int arrowKey(std::uint8_t final) {
    switch (final) {
    case 'A': return VK_UP;
    case 'B': return VK_DOWN;
    case 'C': return VK_RIGHT;
    case 'D': return VK_LEFT;
    default: return 0;
    }
}

void emitKey(InputSink& sink, int key, KeyAction action) {
    sink.onInput(InputEvent{InputKind::Key, key, action});
}

void emit(InputSink& sink, InputKind kind) { sink.onInput(InputEvent{kind, 0, KeyAction::Press}); }

}  // namespace

void KeyParser::feed(std::span<const std::uint8_t> bytes, std::chrono::milliseconds now, InputSink& sink) {
    if (bytes.empty()) return;
    expire(now, sink);
    for (std::uint8_t byte : bytes) consume(byte, sink);
    lastByte_ = now;
}

void KeyParser::feed(std::string_view bytes, std::chrono::milliseconds now, InputSink& sink) {
    feed(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), now,
         sink);
}

void KeyParser::expire(std::chrono::milliseconds now, InputSink& sink) {
    if (state_ == State::Ground || now - lastByte_ < kSequenceTimeout) return;
    // An unfinished sequence is dropped rather than read as keys: it may be
    // an arrow whose tail is late, and an arrow must never end the run.
    if (state_ == State::Escape) emitKey(sink, VK_ESCAPE, KeyAction::Press);
    state_ = State::Ground;
}

void KeyParser::finish(InputSink& sink) {
    if (state_ == State::Escape) emitKey(sink, VK_ESCAPE, KeyAction::Press);
    state_ = State::Ground;
}

void KeyParser::consume(std::uint8_t byte, InputSink& sink) {
    switch (state_) {
    case State::Ground: ground(byte, sink); return;
    case State::Escape: escape(byte, sink); return;
    case State::Csi: csi(byte, sink); return;
    case State::Ss3:
        // Parameter bytes (some terminals put modifiers here) are ignored up
        // to the final byte; anything else abandons the sequence.
        if (byte >= 0x30 && byte <= 0x3F) return;
        state_ = State::Ground;
        if (byte >= 0x40 && byte <= 0x7E) {
            if (int key = arrowKey(byte)) emitKey(sink, key, KeyAction::Press);
        } else {
            ground(byte, sink);
        }
        return;
    case State::String:
        if (byte == kBel) state_ = State::Ground;
        else if (byte == kEsc) state_ = State::StringEscape;
        return;
    case State::StringEscape:
        if (byte == '\\') {
            state_ = State::Ground;
        } else {
            // An ESC that is not a string terminator abandons the string and
            // starts whatever follows it.
            state_ = State::Escape;
            escape(byte, sink);
        }
        return;
    }
}

void KeyParser::ground(std::uint8_t byte, InputSink& sink) {
    if (byte == kEsc) {
        state_ = State::Escape;
        return;
    }
    if (int key = letterOrDigitKey(byte)) emitKey(sink, key, KeyAction::Press);
}

void KeyParser::escape(std::uint8_t byte, InputSink& sink) {
    switch (byte) {
    case '[': startCsi(); state_ = State::Csi; return;
    case 'O': state_ = State::Ss3; return;
    case ']':
    case 'P':
    case '_':
    case '^':
    case 'X': state_ = State::String; return;
    default: break;
    }
    // The byte cannot continue a sequence, so the pending ESC was the Esc key;
    // a second ESC becomes the new pending one.
    emitKey(sink, VK_ESCAPE, KeyAction::Press);
    state_ = State::Ground;
    ground(byte, sink);
}

void KeyParser::startCsi() {
    privateMarker_ = 0;
    malformed_ = false;
    paramIndex_ = 0;
    subIndex_ = 0;
    for (std::size_t p = 0; p < kMaxParams; ++p) {
        for (std::size_t s = 0; s < kMaxSubParams; ++s) {
            params_[p][s] = 0;
            present_[p][s] = false;
        }
    }
}

void KeyParser::csi(std::uint8_t byte, InputSink& sink) {
    const bool inRange = paramIndex_ < kMaxParams && subIndex_ < kMaxSubParams;
    if (byte >= '0' && byte <= '9') {
        if (inRange) {
            unsigned& value = params_[paramIndex_][subIndex_];
            value = value * 10 + (byte - '0');
            if (value > kParamLimit) value = kParamLimit;
            present_[paramIndex_][subIndex_] = true;
        }
    } else if (byte == ':') {
        ++subIndex_;
    } else if (byte == ';') {
        ++paramIndex_;
        subIndex_ = 0;
    } else if (byte >= 0x3C && byte <= 0x3F) {
        // A private marker is only one when it opens the parameters.
        const bool first = privateMarker_ == 0 && paramIndex_ == 0 && subIndex_ == 0 && !present_[0][0];
        if (first) privateMarker_ = byte;
        else malformed_ = true;
    } else if (byte >= 0x20 && byte <= 0x2F) {
        malformed_ = true;  // intermediate bytes: nothing of ours uses them
    } else if (byte >= 0x40 && byte <= 0x7E) {
        state_ = State::Ground;
        if (!malformed_) dispatchCsi(byte, sink);
    } else if (byte == kEsc) {
        state_ = State::Escape;  // abandoned; the ESC starts anew
    } else if (byte >= 0x7F) {
        state_ = State::Ground;  // not part of any sequence: drop it all
    }
    // Other C0 controls inside a sequence are ignored.
}

unsigned KeyParser::param(std::size_t index, std::size_t sub, unsigned fallback) const {
    if (index >= kMaxParams || sub >= kMaxSubParams || !present_[index][sub]) return fallback;
    return params_[index][sub];
}

void KeyParser::dispatchCsi(std::uint8_t final, InputSink& sink) const {
    if (privateMarker_ == '?') {
        if (final == 'u') emit(sink, InputKind::KeyboardProtocolReply);
        else if (final == 'c') emit(sink, InputKind::DeviceAttributesReply);
        return;
    }
    if (privateMarker_ != 0) return;
    if (int key = arrowKey(final)) {
        emitKey(sink, key, actionOf(param(1, 1, 1)));
    } else if (final == 'u') {
        dispatchKittyKey(sink);
    }
}

void KeyParser::dispatchKittyKey(InputSink& sink) const {
    const unsigned code = param(0, 0, 0);
    const unsigned modifiers = param(1, 0, 1);
    const KeyAction action = actionOf(param(1, 1, 1));
    const bool ctrl = modifiers >= 1 && ((modifiers - 1) & kCtrlBit) != 0;

    if (code == 27) {
        emitKey(sink, VK_ESCAPE, action);  // with or without modifiers
        return;
    }
    if (ctrl) {
        // Under the protocol the terminal sends these instead of raising the
        // signals; only the press acts, so holding the keys acts once.
        InputKind kind;
        switch (code) {
        case 'c': case 'C': kind = InputKind::Interrupt; break;
        case 'z': case 'Z': kind = InputKind::Suspend; break;
        case '\\': kind = InputKind::Quit; break;
        default: return;  // Ctrl with a letter types nothing in a terminal: not a voice key
        }
        if (action == KeyAction::Press) emit(sink, kind);
        return;
    }
    if (int key = letterOrDigitKey(code)) emitKey(sink, key, action);
}

}  // namespace bankplay::console
