// The guard against the scan's early resume, on samples made to order.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>

#include "tests/banktool/support.h"
#include "tools/banktool/sample.h"

namespace {

using namespace banktest;
using bankplay::banktool::Encoding;
using bankplay::banktool::Sample;

Bytes bytesOf(const Sample& s) {
    const auto h = bankplay::banktool::canonicalHeader(s);
    Bytes b;
    for (std::byte x : h) b.push_back(static_cast<std::uint8_t>(x));
    for (std::byte x : s.data) b.push_back(static_cast<std::uint8_t>(x));
    return b;
}

Bytes join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Sample sampleOf(Encoding encoding, std::size_t bytes) {
    Sample s;
    s.encoding = encoding;
    s.data.resize(bytes);
    // Small values: none of their bytes is 'R', 'I' or 'F'.
    for (std::size_t i = 0; i < bytes; ++i) s.data[i] = std::byte{static_cast<std::uint8_t>(i % 0x40)};
    return s;
}

struct Case {
    const char* what;
    Encoding encoding;
    std::size_t bytes;
    std::size_t riffFromEnd;  // the "RIFF" starts this many bytes before the data's end
    std::size_t changes;
};

class ScanGuard : public ::testing::TestWithParam<Case> {};

TEST_P(ScanGuard, LeavesExactlyOneSamplePerSampleWithinOneStep) {
    const Case& c = GetParam();
    Sample s = sampleOf(c.encoding, c.bytes);
    std::memcpy(s.data.data() + (c.bytes - c.riffFromEnd), "RIFF", 4);
    const Sample before = s;
    const Sample next = sampleOf(Encoding::pcm16, 64);
    const std::vector<std::uint32_t> wanted = {0, 44 + static_cast<std::uint32_t>(c.bytes)};
    // Unguarded, a "RIFF" within the last 44 bytes derails the scan.
    if (c.riffFromEnd <= 44) {
        ASSERT_NE(scanOffsets(join(bytesOf(before), bytesOf(next))), wanted);
    }

    EXPECT_EQ(bankplay::banktool::guardScanResume(s), c.changes);
    EXPECT_EQ(scanOffsets(join(bytesOf(s), bytesOf(next))), wanted);

    // Each change flips the lowest bit of one value: its low byte.
    std::size_t changed = 0;
    for (std::size_t i = 0; i < c.bytes; ++i) {
        if (s.data[i] == before.data[i]) continue;
        ++changed;
        EXPECT_EQ(i % s.bytesPerValue(), 0u) << "byte " << i << " is not the low byte of a value";
        EXPECT_EQ(s.data[i] ^ before.data[i], std::byte{1});
    }
    EXPECT_EQ(changed, c.changes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScanGuard,
    ::testing::Values(Case{"16-bit, at the very end", Encoding::pcm16, 1000, 4, 1},
                      Case{"16-bit, odd offset", Encoding::pcm16, 1000, 7, 1},
                      Case{"16-bit, first byte the scan reads", Encoding::pcm16, 1000, 44, 1},
                      Case{"16-bit, one byte before the window", Encoding::pcm16, 1000, 45, 0},
                      Case{"float, at the very end", Encoding::float32, 1000, 4, 1},
                      Case{"float, across two values", Encoding::float32, 1000, 6, 1},
                      Case{"float, first byte the scan reads", Encoding::float32, 1000, 44, 1},
                      Case{"data shorter than the window", Encoding::pcm16, 8, 6, 1}),
    [](const auto& param) {
        std::string name = param.param.what;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

TEST(ScanGuard, RepeatedMagicIsAllRemoved) {
    Sample s = sampleOf(Encoding::pcm16, 200);
    for (std::size_t at = 200 - 44; at + 4 <= 200; at += 4) std::memcpy(s.data.data() + at, "RIFF", 4);
    EXPECT_EQ(bankplay::banktool::guardScanResume(s), 11u);
    EXPECT_EQ(scanOffsets(bytesOf(s)).size(), 1u);
}

}  // namespace
