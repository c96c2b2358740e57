// Builds sound files with the plain 44-byte RIFF/WAVE header in memory, for
// tests that need banks.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace testwav {

using Bytes = std::vector<std::uint8_t>;

inline void putU16(Bytes& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void putU32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct Format {
    std::uint16_t tag = 1;
    std::uint16_t channels = 1;
    std::uint32_t rate = 44100;
    std::uint16_t bits = 16;
};

// A header followed by data; dataLength defaults to the data's size.
inline Bytes wav(const Format& f, const Bytes& data, std::int64_t dataLength = -1) {
    Bytes b(44 + data.size());
    std::memcpy(b.data(), "RIFF", 4);
    putU32(b, 4, static_cast<std::uint32_t>(36 + data.size()));
    std::memcpy(b.data() + 8, "WAVEfmt ", 8);
    putU32(b, 16, 16);
    putU16(b, 20, f.tag);
    putU16(b, 22, f.channels);
    putU32(b, 24, f.rate);
    const auto block = static_cast<std::uint16_t>(f.channels * (f.bits / 8));
    putU32(b, 28, f.rate * block);
    putU16(b, 32, block);
    putU16(b, 34, f.bits);
    std::memcpy(b.data() + 36, "data", 4);
    putU32(b, 40, dataLength < 0 ? static_cast<std::uint32_t>(data.size()) : static_cast<std::uint32_t>(dataLength));
    if (!data.empty()) std::memcpy(b.data() + 44, data.data(), data.size());
    return b;
}

// n bytes of a pattern that never contains the bytes "RIFF".
inline Bytes pattern(std::size_t n, std::uint8_t seed = 1) {
    Bytes d(n);
    for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<std::uint8_t>((i * 7 + seed) % 251 % 0x50);
    return d;
}

// 16-bit mono samples of a sine.
inline Bytes sine16(double hz, std::uint32_t rate, std::size_t frames, double level = 0.5) {
    Bytes d(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const auto v = static_cast<std::int16_t>(std::lround(level * 32767.0 * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate)));
        putU16(d, 2 * i, static_cast<std::uint16_t>(v));
    }
    return d;
}

inline Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace testwav
