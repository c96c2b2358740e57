#include "platform/console/key_state.h"

#include "platform/console/console.h"

namespace bankplay::console {
namespace {

bool isTextKey(int key) { return (key >= 'A' && key <= 'Z') || (key >= '0' && key <= '9'); }

bool inTable(int key) { return key >= 0 && key < 256; }

}  // namespace

void KeyState::beginPump() {
    if (ended_) endedSeen_ = true;
}

unsigned KeyState::feed(std::span<const std::uint8_t> bytes, std::chrono::milliseconds now) {
    requests_ = kRequestNone;
    parser_.feed(bytes, now, *this);
    return requests_;
}

unsigned KeyState::feed(std::string_view bytes, std::chrono::milliseconds now) {
    return feed(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
                now);
}

void KeyState::endOfInput() {
    parser_.finish(*this);
    ended_ = true;
}

void KeyState::endPump(std::chrono::milliseconds now) { parser_.expire(now, *this); }

void KeyState::setProtocolActive(bool active) {
    if (!active) releaseAll();
    protocolActive_ = active;
}

void KeyState::releaseAll() { held_.fill(false); }

SHORT KeyState::query(int key) {
    if (!inTable(key)) return 0;
    const auto index = static_cast<std::size_t>(key);
    const bool pressed = pressed_[index];
    pressed_[index] = false;
    bool down = held_[index] || (pressed && !tracksRelease(key));
    if (key == VK_ESCAPE) down = down || escapeLatched_ || endedSeen_;
    return static_cast<SHORT>((down ? kDown : 0) | (pressed ? kPressed : 0));
}

void KeyState::onInput(const InputEvent& event) {
    switch (event.kind) {
    case InputKind::Key: onKey(event.key, event.action); break;
    case InputKind::KeyboardProtocolReply:
        // Asked for once; a second answer changes nothing.
        if (!protocolOffered_) requests_ |= kRequestPushProtocol;
        protocolOffered_ = true;
        break;
    case InputKind::DeviceAttributesReply: deviceAttributesAnswered_ = true; break;
    case InputKind::Interrupt: requests_ |= kRequestInterrupt; break;
    case InputKind::Suspend: requests_ |= kRequestSuspend; break;
    case InputKind::Quit: requests_ |= kRequestQuit; break;
    }
}

void KeyState::onKey(int key, KeyAction action) {
    if (!inTable(key)) return;
    const auto index = static_cast<std::size_t>(key);
    if (action == KeyAction::Release) {
        held_[index] = false;
        return;
    }
    // A repeat counts as a press, as auto-repeated characters do without the
    // protocol.
    pressed_[index] = true;
    if (tracksRelease(key)) held_[index] = true;
    else if (key == VK_ESCAPE) escapeLatched_ = true;
}

bool KeyState::tracksRelease(int key) const { return protocolActive_ && !isTextKey(key); }

}  // namespace bankplay::console
