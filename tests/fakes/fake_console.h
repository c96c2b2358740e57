// A scripted test double of the console interface. Each frame of the script
// holds the keys pressed and held for one iteration of the control loop: the
// n-th Sleep moves to frame n. Past the end of the script, Esc is held.
#pragma once

#include <vector>

#include "platform/console/console.h"

namespace fake_console {

struct Frame {
    std::vector<int> pressed;
    std::vector<int> held;
};

void script(std::vector<Frame> frames);
// Frames of one key pressed, once each.
std::vector<Frame> presses(int key, int times);

struct Record {
    std::vector<DWORD> sleeps;
    int windowCalls = 0;
};
const Record& record();

}  // namespace fake_console
