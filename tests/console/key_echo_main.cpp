// A stand-in for the player's loop, run by the end-to-end tests in a
// pseudo-terminal: it polls the keys the player polls, in the same order, and
// prints what it sees.
//
//   "ready"                  once GetConsoleWindow has set the terminal up
//   "<n>: <keys>"            the keys seen pressed in iteration n
//   "bye <n>"                Esc was down in iteration n
//
// --fail    returns 1 right after "ready", as a player whose bank fails to load
// --abort   aborts when A is pressed, as a player crashing mid-run
// --hang    after "bye", sleeps forever instead of returning, as a shutdown
//           that hangs
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/console/console.h"

namespace {

struct Key {
    int code;
    const char* name;
};

constexpr Key kPolledKeys[] = {
    {VK_LEFT, "Left"}, {VK_RIGHT, "Right"}, {VK_UP, "Up"}, {VK_DOWN, "Down"}, {'Q', "Q"}, {'W', "W"},
    {'E', "E"},        {'R', "R"},          {'A', "A"},    {'S', "S"},       {'D', "D"}, {'F', "F"},
};

bool hasFlag(int argc, char** argv, const char* flag) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], flag) == 0) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (GetConsoleWindow() == nullptr) return 2;
    std::printf("ready\n");
    std::fflush(stdout);
    if (hasFlag(argc, argv, "--fail")) return 1;
    const bool abortOnA = hasFlag(argc, argv, "--abort");

    for (int iteration = 1;; ++iteration) {
        if (GetAsyncKeyState(VK_ESCAPE) & 0x8000) {
            std::printf("bye %d\n", iteration);
            break;
        }
        bool any = false;
        for (const Key& key : kPolledKeys) {
            if (GetAsyncKeyState(key.code) & 1) {
                if (abortOnA && key.code == 'A') std::abort();
                if (!any) std::printf("%d:", iteration);
                std::printf(" %s", key.name);
                any = true;
            }
        }
        if (any) std::printf("\n");
        std::fflush(stdout);
        Sleep(16);
    }
    std::fflush(stdout);
    if (hasFlag(argc, argv, "--hang")) {
        for (;;) Sleep(1000);
    }
    return 0;
}
