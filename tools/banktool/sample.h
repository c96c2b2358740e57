// A sample as banktool writes it into a bank: 16-bit PCM or 32-bit float,
// mono or stereo, behind the plain 44-byte RIFF/WAVE header the player reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace bankplay::banktool {

enum class Encoding {
    pcm16,    // 16-bit signed little-endian integers, format tag 1
    float32,  // 32-bit IEEE little-endian floats, format tag 3
};

struct Sample {
    Encoding encoding = Encoding::pcm16;
    std::uint16_t channels = 1;
    std::uint32_t sampleRate = 44100;
    // Interleaved frames, little-endian, exactly as they go into the bank.
    std::vector<std::byte> data;

    std::uint16_t formatTag() const { return encoding == Encoding::pcm16 ? 1 : 3; }
    std::uint16_t bitsPerSample() const { return encoding == Encoding::pcm16 ? 16 : 32; }
    std::uint16_t bytesPerValue() const { return encoding == Encoding::pcm16 ? 2 : 4; }
    std::uint16_t blockAlign() const { return static_cast<std::uint16_t>(channels * bytesPerValue()); }
    std::size_t frames() const { return blockAlign() == 0 ? 0 : data.size() / blockAlign(); }
};

// Appends values to a sample's data in its encoding.
void appendPcm16(Sample& sample, std::int16_t value);
void appendFloat32(Sample& sample, float value);

// The 44-byte header: "RIFF", size, "WAVE", a 16-byte "fmt " chunk and the
// "data" tag with the data length. The data length must fit in 32 bits less
// the header; callers keep it within the audio layer's buffer limit anyway.
std::array<std::byte, 44> canonicalHeader(const Sample& sample);

// The player's scan resumes at a sample's magic offset plus its data length,
// 44 bytes before the sample's end, and takes the first "RIFF" from there as
// the next sample. This removes every "RIFF" the scan would meet before the
// sample's end by flipping the lowest bit of a value it covers (one step of a
// 16-bit value, one unit in the last place of a float: inaudible). Returns
// the number of values changed.
//
// A "RIFF" cannot straddle the sample's end into a following header, since
// no proper prefix of "RIFF" is also a suffix of it, and the header fields
// the window may cover (for data shorter than 44 bytes) cannot hold one when
// the data length is within the audio layer's limit; banktool still verifies
// the finished bank with the player's own scanner.
std::size_t guardScanResume(Sample& sample);

}  // namespace bankplay::banktool
