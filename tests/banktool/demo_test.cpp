// banktool demo: stable bytes, loadable, click-free and in tune.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/banktool/support.h"
#include "tools/banktool/demo.h"

namespace {

using namespace banktest;
using bankplay::banktool::demoInstruments;

TEST(Demo, InstrumentsAreShortMonoSamplesThatStartAndEndSilent) {
    const auto instruments = demoInstruments();
    ASSERT_EQ(instruments.size(), 7u);
    std::size_t total = 0;
    for (const auto& i : instruments) {
        SCOPED_TRACE(i.name);
        const auto& s = i.sample;
        EXPECT_EQ(s.encoding, bankplay::banktool::Encoding::pcm16);
        EXPECT_EQ(s.channels, 1);
        EXPECT_EQ(s.sampleRate, 44100u);
        const double seconds = static_cast<double>(s.frames()) / 44100;
        EXPECT_GE(seconds, 0.5);
        EXPECT_LE(seconds, 1.5);
        // A first or last value away from zero is a click at the start or end.
        EXPECT_EQ(s.data[0], std::byte{0});
        EXPECT_EQ(s.data[1], std::byte{0});
        EXPECT_EQ(s.data[s.data.size() - 2], std::byte{0});
        EXPECT_EQ(s.data[s.data.size() - 1], std::byte{0});
        total += 44 + s.data.size();
    }
    EXPECT_GT(total, 200'000u);
    EXPECT_LT(total, 1'000'000u);
}

TEST(Demo, SineSoundsA4AtThePlayersDefaultPitch) {
    const auto instruments = demoInstruments();
    const auto& sine = instruments.front().sample;
    // Upward zero crossings over the whole sample count its periods.
    std::vector<int> v;
    for (std::size_t i = 0; i + 1 < sine.data.size(); i += 2)
        v.push_back(static_cast<std::int16_t>(static_cast<int>(sine.data[i]) | static_cast<int>(sine.data[i + 1]) << 8));
    std::size_t first = 0, last = 0, periods = 0;
    for (std::size_t i = 1; i < v.size(); ++i)
        if (v[i - 1] < 0 && v[i] >= 0) {
            if (periods++ == 0) first = i;
            last = i;
        }
    ASSERT_GT(periods, 100u);
    const double sourceHz = static_cast<double>(periods - 1) * 44100 / static_cast<double>(last - first);
    const double heardHz = sourceHz * 400 * std::exp2(64.0 / 12) / 44100;
    EXPECT_NEAR(1200 * std::log2(heardHz / 440), 0.0, 5.0) << heardHz << " Hz";
}

TEST(Demo, CommandWritesTheSameLoadableBankEveryTime) {
    TempDir dir;
    const auto a = banktool({"demo", dir / "a.bank"});
    const auto b = banktool({"demo", dir / "b.bank"});
    ASSERT_EQ(a.exitCode, 0) << a.err;
    ASSERT_EQ(b.exitCode, 0) << b.err;
    const Bytes bytes = readFile(dir / "a.bank");
    EXPECT_EQ(bytes, readFile(dir / "b.bank"));
    EXPECT_EQ(scanOffsets(bytes).size(), 7u);

    const auto report = inspectBytes(bytes);
    EXPECT_TRUE(report.allLoad());
    for (const auto& s : report.samples) EXPECT_TRUE(s.warnings.empty()) << s.instrument;
    EXPECT_NE(a.out.find("7 instruments, " + std::to_string(bytes.size()) + " bytes"), std::string::npos) << a.out;
}

}  // namespace
