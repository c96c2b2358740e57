// The player's entry: reads the bank named on the command line, loads it into
// the sound bank, and runs the control loop until Esc is held.
#pragma once

namespace bankplay {

inline constexpr const char* kDefaultBankPath = "samples";
inline constexpr const char* kHelpText =
    "KEY -> [A,S,D,F]Oneshot, [Q,W,E,R]stop\n[DOWN]PitchDown, [UP]PitchUp, [LEFT]decrInst, [RIGHT]IncInst\n";

// With exactly one argument it names the bank; otherwise the bank is
// "samples" in the current directory. Returns the exit status: 0 after Esc,
// 1 when the file cannot be read or the load fails.
int runPlayer(int argc, char** argv);

}  // namespace bankplay
