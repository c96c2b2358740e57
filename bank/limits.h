// The fixed dimensions of the player, in one place.
#pragma once

#include <cstdint>

namespace bankplay {

// Instruments a bank holds at most; samples after the 256th are not loaded.
inline constexpr std::uint32_t kMaxInstruments = 256;
// Voices per instrument: slot 0 holds the sample, slots 1 to 7 duplicate it.
inline constexpr std::uint32_t kVoicesPerInstrument = 8;
// The largest bank file: offsets into the image (twice the file) are 32-bit.
inline constexpr std::uint64_t kMaxBankFileBytes = 0x7FFFFFFFu;

// The plain RIFF/WAVE header that every sample of a bank starts with.
inline constexpr std::uint32_t kHeaderBytes = 44;
inline constexpr std::uint32_t kFormatOffset = 20;
inline constexpr std::uint32_t kFormatBytes = 16;
inline constexpr std::uint32_t kDataLengthOffset = 40;

}  // namespace bankplay
