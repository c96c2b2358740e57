// Fixtures for banktool's tests: sound files written with libsndfile into a
// temporary directory, bank bytes read back, and banktool run as a program.
#pragma once

#include <sndfile.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "bank/bank_image.h"
#include "tools/banktool/list.h"
#include "tests/support/process.h"

namespace banktest {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A fresh directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "banktool-test-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& path() const { return path_; }
    std::vector<std::string> names() const {
        std::vector<std::string> all;
        for (const auto& e : fs::directory_iterator(path_)) all.push_back(e.path().filename().string());
        return all;
    }

private:
    fs::path path_;
};

inline Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Writes interleaved values with libsndfile. Integer formats take values at
// full 32-bit scale (a 16-bit value v as v << 16); float formats take floats.
struct SoundFormat {
    int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    int channels = 1;
    int rate = 44100;
    std::vector<int> channelMap;  // SF_CHANNEL_MAP_* per channel, or none
};

// Opens path for writing in the given format, channel map included.
inline SNDFILE* openForWriting(const std::string& path, const SoundFormat& sound) {
    SF_INFO info{};
    info.samplerate = sound.rate;
    info.channels = sound.channels;
    info.format = sound.format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr) throw std::runtime_error(path + ": " + sf_strerror(nullptr));
    if (!sound.channelMap.empty())
        sf_command(f, SFC_SET_CHANNEL_MAP_INFO, const_cast<int*>(sound.channelMap.data()),
                   static_cast<int>(sound.channelMap.size() * sizeof(int)));
    return f;
}

inline void writeInts(const std::string& path, const SoundFormat& sound, const std::vector<int>& values) {
    SNDFILE* f = openForWriting(path, sound);
    sf_write_int(f, values.data(), static_cast<sf_count_t>(values.size()));
    sf_close(f);
}

inline void writeFloats(const std::string& path, const SoundFormat& sound, const std::vector<float>& values) {
    SNDFILE* f = openForWriting(path, sound);
    sf_write_float(f, values.data(), static_cast<sf_count_t>(values.size()));
    sf_close(f);
}

// A ramp of n values with the given number of significant bits, placed at
// full 32-bit scale, free of long runs and of repeated patterns.
inline std::vector<int> rampInts(std::size_t n, int bits, int seed = 1) {
    std::vector<int> v(n);
    const long long span = 1LL << (bits - 1);
    for (std::size_t i = 0; i < n; ++i) {
        const long long x = (static_cast<long long>(i) * 7919 + seed * 104729) % (2 * span) - span;
        v[i] = static_cast<int>(x * (1LL << (32 - bits)));
    }
    return v;
}

inline std::uint32_t u32At(const Bytes& b, std::size_t at) {
    return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
           std::uint32_t{b[at + 3]} << 24;
}

// The 16-bit values or floats of a canonical sample's data.
inline std::vector<int> pcm16At(const Bytes& bank, std::size_t dataOffset, std::size_t bytes) {
    std::vector<int> v;
    for (std::size_t i = 0; i + 1 < bytes; i += 2)
        v.push_back(static_cast<std::int16_t>(bank[dataOffset + i] | bank[dataOffset + i + 1] << 8));
    return v;
}
inline std::vector<float> floatAt(const Bytes& bank, std::size_t dataOffset, std::size_t bytes) {
    std::vector<float> v;
    for (std::size_t i = 0; i + 3 < bytes; i += 4) v.push_back(std::bit_cast<float>(u32At(bank, dataOffset + i)));
    return v;
}

// Where the player's scanner finds samples in these bytes, every one of them.
inline std::vector<std::uint32_t> scanOffsets(const Bytes& bytes) {
    auto image = bankplay::BankImage::fromBytes(std::as_bytes(std::span(bytes)));
    std::vector<std::uint32_t> found;
    std::uint32_t start = 0;
    while (found.size() < 10000) {
        const auto s = bankplay::findNextSample(*image, start);
        if (!s) break;
        found.push_back(s->magicOffset);
        start = s->resumeOffset;
    }
    return found;
}

// banktool list's findings on these bytes.
inline bankplay::banktool::BankReport inspectBytes(const Bytes& bytes) {
    auto image = bankplay::BankImage::fromBytes(std::as_bytes(std::span(bytes)));
    return bankplay::banktool::inspectBank(*image);
}

inline testproc::Result banktool(std::vector<std::string> args) {
    args.insert(args.begin(), BANKTOOL_PATH);
    return testproc::run(args);
}

inline std::size_t lineCount(const std::string& text) {
    std::size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

}  // namespace banktest
