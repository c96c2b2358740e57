// banktool demo: a small bank of instruments synthesised from code.
#pragma once

#include <string>
#include <vector>

#include "tools/banktool/report.h"
#include "tools/banktool/sample.h"

namespace bankplay::banktool {

struct DemoInstrument {
    std::string name;
    Sample sample;  // 44100 Hz, mono, 16-bit PCM
};

// The player plays a sample at 400 * 2^(pitch / 12) Hz, 16127 Hz at its
// default pitch of 64: a 44100 Hz sample sounds 0.366 times its recorded
// frequency and lasts 2.73 times as long. The instruments are designed for
// what is heard at that pitch; this is how much the player slows them.
inline constexpr double kDemoRate = 44100.0;
double defaultPlaybackRatio();

// The instruments in bank order, the same bytes on every run.
std::vector<DemoInstrument> demoInstruments();

// Writes the demo bank to out atomically; returns an exit status.
int writeDemoBank(const std::string& out, Reporter& reporter);

}  // namespace bankplay::banktool
