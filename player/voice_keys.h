// The voice keys: Q W E R stop voices 0 to 3 of the current instrument, A S D F
// fire them once from the start at the pitch plus 0, 4, 7 and 11 semitones.
#pragma once

#include <cstdint>

#include "bank/sound_bank.h"

namespace bankplay {

// 400 Hz times 2^(semitones / 12), truncated toward zero to 64 bits, of which
// the low 32 bits are the rate. Products of 2^63 and more give 0.
std::uint32_t pitchToFrequency(std::int32_t semitones);

// Handles the eight voice keys once, all stops before all fires, for the
// given row of voices and pitch. Results of the voice calls are ignored.
void runVoiceKeys(const SoundBank::Row& row, std::int32_t pitch);

// Two's-complement addition: the pitch is stepped without bound and wraps.
constexpr std::int32_t addSemitones(std::int32_t pitch, std::int32_t offset) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(pitch) + static_cast<std::uint32_t>(offset));
}

}  // namespace bankplay
