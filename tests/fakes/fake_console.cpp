#include "tests/fakes/fake_console.h"

#include <algorithm>

namespace fake_console {
namespace {

struct State {
    std::vector<Frame> frames;
    std::vector<int> consumed;  // pressed keys already reported in this frame
    Record record;
};

State& state() {
    static State s;
    return s;
}

bool has(const std::vector<int>& keys, int key) { return std::find(keys.begin(), keys.end(), key) != keys.end(); }

}  // namespace

void script(std::vector<Frame> frames) {
    state() = State{};
    state().frames = std::move(frames);
}

std::vector<Frame> presses(int key, int times) { return std::vector<Frame>(static_cast<std::size_t>(times), Frame{{key}, {}}); }

const Record& record() { return state().record; }

}  // namespace fake_console

HWND GetConsoleWindow() {
    ++fake_console::state().record.windowCalls;
    return reinterpret_cast<HWND>(0x1234);
}

SHORT GetAsyncKeyState(int key) {
    auto& s = fake_console::state();
    const std::size_t frame = s.record.sleeps.size();
    if (frame >= s.frames.size()) return key == VK_ESCAPE ? static_cast<SHORT>(0x8000) : 0;
    const auto& f = s.frames[frame];
    int result = fake_console::has(f.held, key) ? 0x8000 : 0;
    if (fake_console::has(f.pressed, key) && !fake_console::has(s.consumed, key)) {
        s.consumed.push_back(key);
        result |= 1;
    }
    return static_cast<SHORT>(result);
}

void Sleep(DWORD milliseconds) {
    auto& s = fake_console::state();
    s.record.sleeps.push_back(milliseconds);
    s.consumed.clear();
}
