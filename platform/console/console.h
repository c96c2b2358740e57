// The console interface the player is written against: the window the audio
// device cooperates with, the asynchronous key state and a millisecond sleep.
// On Linux the keys come from the terminal (or the pipe) on standard input,
// never from a system-wide keyboard capture.
#pragma once

#include "platform/types.h"

inline constexpr int VK_ESCAPE = 0x1B;
inline constexpr int VK_LEFT = 0x25;
inline constexpr int VK_UP = 0x26;
inline constexpr int VK_RIGHT = 0x27;
inline constexpr int VK_DOWN = 0x28;
// Letter keys use their upper-case ASCII code ('A' is 0x41).

// A handle for the console the program runs in. The first call puts the
// terminal into raw, non-echoing key mode; the terminal is restored on every
// way out of the process.
HWND GetConsoleWindow();

// Bit 15 (0x8000) is set while the key is held at the moment of the query;
// bit 0 is set when the key went down since the previous query of that key.
// Several presses between two queries count once.
SHORT GetAsyncKeyState(int virtualKey);

// Waits the given number of milliseconds.
void Sleep(DWORD milliseconds);
