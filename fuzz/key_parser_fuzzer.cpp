// The terminal key layer over arbitrary bytes, cut into reads at places and
// times the input itself chooses, with queries between the pumps.
#include <chrono>
#include <cstdint>
#include <span>

#include "platform/console/console.h"
#include "platform/console/key_state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using bankplay::console::KeyState;
    constexpr int kKeys[] = {VK_ESCAPE, VK_LEFT, VK_RIGHT, VK_UP, VK_DOWN, 'Q', 'W', 'E', 'R', 'A', 'S', 'D', 'F'};
    KeyState keys;
    std::chrono::milliseconds now{0};
    std::size_t at = 0;
    // Each read: one byte says how long it is and how much time went by.
    while (at < size) {
        const std::uint8_t control = data[at++];
        const std::size_t length = std::min<std::size_t>(control & 0x1F, size - at);
        now += std::chrono::milliseconds{(control >> 5) * 40};
        keys.beginPump();
        const unsigned requests = keys.feed(std::span(data + at, length), now);
        if (requests & bankplay::console::kRequestPushProtocol) keys.setProtocolActive(true);
        at += length;
        if (at == size && (control & 0x80)) keys.endOfInput();
        keys.endPump(now);
        for (int key : kKeys) (void)keys.query(key);
    }
    return 0;
}
