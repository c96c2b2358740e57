#include "tools/banktool/sample.h"

#include <bit>
#include <cstring>

namespace bankplay::banktool {

namespace {

void putU16(std::byte* p, std::uint16_t v) {
    p[0] = static_cast<std::byte>(v & 0xFF);
    p[1] = static_cast<std::byte>(v >> 8);
}

void putU32(std::byte* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::byte>((v >> (8 * i)) & 0xFF);
}

void putTag(std::byte* p, const char (&tag)[5]) { std::memcpy(p, tag, 4); }

constexpr std::byte kMagic[4] = {std::byte{'R'}, std::byte{'I'}, std::byte{'F'}, std::byte{'F'}};

}  // namespace

void appendPcm16(Sample& sample, std::int16_t value) {
    const auto u = static_cast<std::uint16_t>(value);
    sample.data.push_back(static_cast<std::byte>(u & 0xFF));
    sample.data.push_back(static_cast<std::byte>(u >> 8));
}

void appendFloat32(Sample& sample, float value) {
    const auto u = std::bit_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) sample.data.push_back(static_cast<std::byte>((u >> (8 * i)) & 0xFF));
}

std::array<std::byte, 44> canonicalHeader(const Sample& sample) {
    std::array<std::byte, 44> h{};
    const auto dataLength = static_cast<std::uint32_t>(sample.data.size());
    putTag(&h[0], "RIFF");
    putU32(&h[4], 36 + dataLength);
    putTag(&h[8], "WAVE");
    putTag(&h[12], "fmt ");
    putU32(&h[16], 16);
    putU16(&h[20], sample.formatTag());
    putU16(&h[22], sample.channels);
    putU32(&h[24], sample.sampleRate);
    putU32(&h[28], sample.sampleRate * sample.blockAlign());
    putU16(&h[32], sample.blockAlign());
    putU16(&h[34], sample.bitsPerSample());
    putTag(&h[36], "data");
    putU32(&h[40], dataLength);
    return h;
}

std::size_t guardScanResume(Sample& sample) {
    const auto header = canonicalHeader(sample);
    const std::size_t length = sample.data.size();
    const std::size_t total = header.size() + length;
    const std::size_t valueBytes = sample.bytesPerValue();
    // Positions are counted from the magic: the header, then the data.
    auto at = [&](std::size_t pos) { return pos < header.size() ? header[pos] : sample.data[pos - header.size()]; };

    std::size_t changed = 0;
    // The scan looks at every start from magic + length on; a match must lie
    // wholly within this sample to be met before the next sample's magic.
    for (std::size_t pos = length; pos + 4 <= total; ++pos) {
        bool match = true;
        for (std::size_t i = 0; i < 4 && match; ++i) match = at(pos + i) == kMagic[i];
        if (!match) continue;
        // The low byte of some value lies among the four: a 16-bit value has
        // one in every two bytes, a float one in every four.
        for (std::size_t i = 0; i < 4; ++i) {
            const std::size_t p = pos + i;
            if (p < header.size() || (p - header.size()) % valueBytes != 0) continue;
            // 'R', 'I', 'F' become 'S', 'H', 'G': not letters of the magic, so
            // the change cannot make a new match elsewhere.
            sample.data[p - header.size()] ^= std::byte{1};
            ++changed;
            break;
        }
    }
    return changed;
}

}  // namespace bankplay::banktool
