// banktool build over files in the formats people have, and over inputs it
// must refuse without touching the output.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "tests/banktool/support.h"
#include "tests/support/wav_bytes.h"

namespace {

using namespace banktest;

// A WAV as editors write it: an odd-sized LIST chunk, with its pad byte,
// between the format and the data, so the data is not at offset 44.
Bytes wavWithListChunk(const std::vector<int>& values16) {
    Bytes b;
    auto tag = [&](const char* t) { b.insert(b.end(), t, t + 4); };
    auto u32 = [&](std::uint32_t v) { for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i))); };
    auto u16 = [&](std::uint16_t v) { b.push_back(static_cast<std::uint8_t>(v)); b.push_back(static_cast<std::uint8_t>(v >> 8)); };
    const std::string info("INFOISFT\x05\x00\x00\x00test", 16);
    const auto dataBytes = static_cast<std::uint32_t>(values16.size() * 2);
    tag("RIFF");
    u32(4 + 24 + 8 + static_cast<std::uint32_t>(info.size() + 1) + 1 + 8 + dataBytes);
    tag("WAVE");
    tag("fmt ");
    u32(16);
    u16(1), u16(1), u32(44100), u32(88200), u16(2), u16(16);
    tag("LIST");
    u32(static_cast<std::uint32_t>(info.size() + 1));  // "test" and its terminator: odd
    b.insert(b.end(), info.begin(), info.end());
    b.push_back(0);
    b.push_back(0);  // the pad byte after an odd chunk
    tag("data");
    u32(dataBytes);
    for (int v : values16) u16(static_cast<std::uint16_t>(v >> 16));
    return b;
}

struct Expected {
    std::string name;
    std::uint16_t tag, channels;
    std::uint32_t rate;
    std::uint16_t bits;
    std::vector<double> values;  // what each stored value should be, at full scale 1.0
    int toleranceLsb;            // 0 where the source's values must come through exactly
};

std::vector<double> scaled(const std::vector<int>& fullScale) {
    std::vector<double> v;
    for (int x : fullScale) v.push_back(x / 2147483648.0);
    return v;
}

// Six channels of constant levels, mixed down with the weights of each side
// (1 for a channel of that side, 0.7071 for centre, rear and side channels,
// 0 for the LFE) normalised to add up to one.
std::vector<double> mixOfConstants(const std::vector<double>& levels, const std::vector<std::pair<double, double>>& pans,
                                   std::size_t frames) {
    double l = 0, r = 0, lw = 0, rw = 0;
    for (std::size_t c = 0; c < levels.size(); ++c) {
        l += pans[c].first * levels[c], lw += pans[c].first;
        r += pans[c].second * levels[c], rw += pans[c].second;
    }
    std::vector<double> v;
    for (std::size_t f = 0; f < frames; ++f) v.push_back(l / lw), v.push_back(r / rw);
    return v;
}

class BuildMixedBank : public ::testing::Test {
protected:
    static constexpr std::size_t kFrames = 3000;
    static inline TempDir* dir = nullptr;
    static inline std::vector<Expected> inputs;
    static inline testproc::Result run;
    static inline Bytes bank;

    static void SetUpTestSuite() {
        dir = new TempDir;
        inputs.clear();
        std::vector<std::string> args = {"build", *dir / "mixed.bank"};
        auto add = [&](Expected e) {
            args.push_back(*dir / e.name);
            inputs.push_back(std::move(e));
        };

        const auto v16 = rampInts(kFrames, 16, 1);
        writeFile(*dir / "list-chunk.wav", wavWithListChunk(v16));
        add({"list-chunk.wav", 1, 1, 44100, 16, scaled(v16), 0});

        const auto v24 = rampInts(2 * kFrames, 24, 2);
        writeInts(*dir / "extensible-24.wav", {SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 2, 48000, {}}, v24);
        add({"extensible-24.wav", 3, 2, 48000, 32, scaled(v24), 0});

        std::vector<float> f32;
        for (int x : rampInts(2 * kFrames, 24, 3)) f32.push_back(static_cast<float>(x / 2147483648.0));
        f32[10] = 1.5f;  // float sources may go past full scale; nothing clips them
        writeFloats(*dir / "stereo-float.wav", {SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 32000, {}}, f32);
        add({"stereo-float.wav", 3, 2, 32000, 32, std::vector<double>(f32.begin(), f32.end()), 0});

        const auto vFlac = rampInts(kFrames, 16, 4);
        writeInts(*dir / "mono.flac", {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, 22050, {}}, vFlac);
        add({"mono.flac", 1, 1, 22050, 16, scaled(vFlac), 0});

        const auto v8 = rampInts(kFrames, 8, 5);
        writeInts(*dir / "unsigned-8.wav", {SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, 11025, {}}, v8);
        add({"unsigned-8.wav", 1, 1, 11025, 16, scaled(v8), 0});

        const auto vAiff = rampInts(kFrames, 16, 6);
        writeInts(*dir / "big-endian.aiff", {SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1, 8000, {}}, vAiff);
        add({"big-endian.aiff", 1, 1, 8000, 16, scaled(vAiff), 0});

        const std::vector<double> levels = {0.03, 0.06, 0.09, 0.12, 0.15, 0.18};
        auto constants = [&](int bits) {
            std::vector<int> v;
            for (std::size_t f = 0; f < kFrames; ++f)
                for (double level : levels)
                    v.push_back(static_cast<int>(std::lround(level * (1 << (bits - 1)))) * (1 << (32 - bits)));
            return v;
        };
        constexpr double h = 0.70710678;
        // A channel map that differs from the usual 5.1 order: the fourth
        // channel is the rear centre, to be heard on both sides, not an LFE.
        writeInts(*dir / "six-mapped.wav",
                  {SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 6, 44100,
                   {SF_CHANNEL_MAP_LEFT, SF_CHANNEL_MAP_RIGHT, SF_CHANNEL_MAP_CENTER, SF_CHANNEL_MAP_REAR_CENTER,
                    SF_CHANNEL_MAP_SIDE_LEFT, SF_CHANNEL_MAP_SIDE_RIGHT}},
                  constants(16));
        add({"six-mapped.wav", 1, 2, 44100, 16,
             mixOfConstants(levels, {{1, 0}, {0, 1}, {h, h}, {h, h}, {h, 0}, {0, h}}, kFrames), 1});
        // No map: the usual order, front left, right, centre, LFE, rear left, right.
        writeInts(*dir / "six.flac", {SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 6, 96000, {}}, constants(24));
        add({"six.flac", 3, 2, 96000, 32,
             mixOfConstants(levels, {{1, 0}, {0, 1}, {h, h}, {0, 0}, {h, 0}, {0, h}}, kFrames), 1});

        run = banktool(args);
        bank = readFile(*dir / "mixed.bank");
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }
};

TEST_F(BuildMixedBank, EveryInputBecomesOneLoadableCanonicalInstrumentInOrder) {
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(scanOffsets(bank).size(), inputs.size());

    const auto report = inspectBytes(bank);
    ASSERT_EQ(report.samples.size(), inputs.size());
    EXPECT_TRUE(report.allLoad());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const auto& s = report.samples[i];
        const auto& e = inputs[i];
        SCOPED_TRACE(e.name);
        EXPECT_EQ(s.formatTag, e.tag);
        EXPECT_EQ(s.channels, e.channels);
        EXPECT_EQ(s.sampleRate, e.rate);
        EXPECT_EQ(s.bitsPerSample, e.bits);
        EXPECT_EQ(s.dataLength, kFrames * e.channels * e.bits / 8);
        EXPECT_EQ(s.refusal, "");
        EXPECT_TRUE(s.warnings.empty()) << s.warnings.front();
    }

    const auto listed = banktool({"list", *dir / "mixed.bank"});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_NE(listed.out.find("8 instruments, all load"), std::string::npos) << listed.out;
    // Only the downmixes are worth a note.
    EXPECT_EQ(lineCount(run.err), 2u) << run.err;
    EXPECT_NE(run.err.find("six.flac: 6 channels mixed down to stereo"), std::string::npos) << run.err;
}

TEST_F(BuildMixedBank, SamplesHoldTheSourceValues) {
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto offsets = scanOffsets(bank);
    ASSERT_EQ(offsets.size(), inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const auto& e = inputs[i];
        SCOPED_TRACE(e.name);
        const std::size_t data = offsets[i] + 44;
        const std::size_t bytes = u32At(bank, offsets[i] + 40);
        std::vector<double> got;
        double lsb;
        if (e.tag == 1) {
            for (int v : pcm16At(bank, data, bytes)) got.push_back(v / 32768.0);
            lsb = 1.0 / 32768;
        } else {
            for (float v : floatAt(bank, data, bytes)) got.push_back(v);
            lsb = 1.0 / 8388608;  // a 24-bit step
        }
        ASSERT_EQ(got.size(), e.values.size());
        std::size_t off = 0;
        for (std::size_t k = 0; k < got.size(); ++k) off += std::fabs(got[k] - e.values[k]) > e.toleranceLsb * lsb + 1e-12;
        EXPECT_EQ(off, 0u) << "first: got " << got[0] << ", want " << e.values[0];
    }
}

// 16-bit values whose bytes spell "RIFF" as stored (0x4952, 0x4646), and one
// straddling two values at an odd offset ('R' high byte, "IF", 'F' low byte).
std::vector<int> withRiffInTail(std::size_t frames) {
    auto v = rampInts(frames, 16, 9);
    auto set = [&](std::size_t fromEnd, int value) { v[frames - fromEnd] = value * 65536; };
    set(2, 0x4952), set(1, 0x4646);           // bytes L-4..L-1
    set(10, 0x5200), set(9, 0x4649), set(8, 0x0146);  // bytes L-19..L-16
    return v;
}

TEST(BuildGuard, RiffInALastSampleTailIsNudgedByOneStepAndNamed) {
    TempDir dir;
    constexpr std::size_t kFrames = 500;
    const auto source = withRiffInTail(kFrames);
    writeInts(dir / "riff-tail.wav", {}, source);
    writeInts(dir / "plain.wav", {}, rampInts(kFrames, 16, 3));
    // Stored as they are, these values do fool the scanner.
    Bytes data;
    for (int v : source) data.push_back(static_cast<std::uint8_t>(v >> 16)), data.push_back(static_cast<std::uint8_t>(v >> 24));
    ASSERT_NE(scanOffsets(testwav::join({testwav::wav({}, data), testwav::wav({}, testwav::pattern(100))})),
              (std::vector<std::uint32_t>{0, static_cast<std::uint32_t>(44 + data.size())}));

    for (const auto& order : {std::vector<std::string>{"riff-tail.wav", "plain.wav"}, {"plain.wav", "riff-tail.wav"}}) {
        SCOPED_TRACE(order[0]);
        const auto r = banktool({"build", dir / "out.bank", dir / order[0], dir / order[1]});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(lineCount(r.err), 1u) << r.err;
        EXPECT_NE(r.err.find("banktool: " + dir / "riff-tail.wav" + ": changed 2 values"), std::string::npos) << r.err;

        const Bytes bank = readFile(dir / "out.bank");
        const auto offsets = scanOffsets(bank);
        ASSERT_EQ(offsets.size(), 2u);
        const std::size_t at = order[0] == "riff-tail.wav" ? offsets[0] : offsets[1];
        const auto got = pcm16At(bank, at + 44, kFrames * 2);
        int changed = 0;
        for (std::size_t k = 0; k < kFrames; ++k) {
            const int want = source[k] / 65536;
            EXPECT_LE(std::abs(got[k] - want), 1) << k;
            changed += got[k] != want;
        }
        EXPECT_EQ(changed, 2);
    }
}

TEST(BuildFailure, AnyBadInputIsNamedAndLeavesTheOutputAsItWas) {
    TempDir dir;
    writeInts(dir / "good.wav", {}, rampInts(100, 16));
    writeFile(dir / "notes.txt", testwav::text("these are not sounds, just words about them\n"));
    writeInts(dir / "empty.wav", {}, {});
    writeInts(dir / "slow.wav", {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 50, {}}, rampInts(100, 16));
    fs::create_directory(dir / "no-audio");
    writeFile(dir / "no-audio/readme.txt", testwav::text("x"));
    {
        // Declares 0x10000000 bytes of 16-bit data: a sparse file, no disk used.
        Bytes header = testwav::wav({}, {}, 0x10000000);
        writeFile(dir / "huge.wav", header);
        ASSERT_EQ(::truncate((dir / "huge.wav").c_str(), 44 + 0x10000000), 0);
    }
    const Bytes before = testwav::text("an older bank, to be kept");
    writeFile(dir / "out.bank", before);
    const auto namesBefore = dir.names();

    const struct {
        std::string input, reason;
    } cases[] = {
        {"notes.txt", "not a sound file"},
        {"missing.wav", "No such file or directory"},
        {"empty.wav", "0 frames"},
        {"slow.wav", "sample rate 50 Hz is outside the 100-200000 Hz"},
        {"no-audio", "no audio files"},
        {"huge.wav", "exceed the 0x0FFFFFFF bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        for (const std::string out : {"out.bank", "new.bank"}) {
            const auto r = banktool({"build", dir / out, dir / "good.wav", dir / c.input, dir / "good.wav"});
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.rfind("banktool: " + dir / c.input + ": ", 0), 0u) << r.err;
            EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
            EXPECT_EQ(lineCount(r.err), 1u) << r.err;
            EXPECT_EQ(readFile(dir / "out.bank"), before);
            EXPECT_EQ(dir.names().size(), namesBefore.size()) << "a temporary file or new.bank was left";
        }
    }
}

TEST(BuildFailure, EveryBadInputOfARunIsNamed) {
    TempDir dir;
    writeInts(dir / "good.wav", {}, rampInts(100, 16));
    writeFile(dir / "a.txt", testwav::text("no"));
    writeFile(dir / "b.txt", testwav::text("nor this"));
    const auto r = banktool({"build", dir / "out.bank", dir / "a.txt", dir / "good.wav", dir / "b.txt"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(lineCount(r.err), 2u) << r.err;
    EXPECT_NE(r.err.find(dir / "b.txt"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "out.bank"));
}

TEST(BuildLimit, MoreInputsThanThePlayerLoadsNeedForce) {
    TempDir dir;
    writeInts(dir / "tick.wav", {}, rampInts(4, 16));
    std::vector<std::string> args = {"build", dir / "out.bank"};
    for (int i = 0; i < 257; ++i) args.push_back(dir / "tick.wav");

    const auto refused = banktool(args);
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(lineCount(refused.err), 1u);
    EXPECT_NE(refused.err.find("257 inputs"), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(dir / "out.bank"));

    args.insert(args.begin() + 1, "--force");
    const auto forced = banktool(args);
    ASSERT_EQ(forced.exitCode, 0) << forced.err;
    EXPECT_EQ(scanOffsets(readFile(dir / "out.bank")).size(), 257u);
    const auto listed = banktool({"list", dir / "out.bank"});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_NE(listed.out.find("256 instruments, all load; samples after the first 256 are ignored"), std::string::npos)
        << listed.out.substr(listed.out.size() - 200);
}

TEST(BuildInputs, ADirectoryStandsForItsAudioFilesInNameOrder) {
    TempDir dir;
    fs::create_directory(dir / "kit");
    writeInts(dir / "first.aiff", {SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 1, 16000, {}}, rampInts(50, 16));
    writeInts(dir / "kit/b.wav", {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000, {}}, rampInts(50, 16));
    writeInts(dir / "kit/A.WAV", {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 11025, {}}, rampInts(50, 16));
    writeInts(dir / "kit/a.flac", {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1, 22050, {}}, rampInts(50, 16));
    // Neither of these decodes: including one would fail the build.
    writeFile(dir / "kit/._b.wav", testwav::text("resource fork"));
    writeFile(dir / "kit/notes.txt", testwav::text("kit notes"));
    fs::create_directory(dir / "kit/sub.wav");

    const auto r = banktool({"build", dir / "out.bank", dir / "first.aiff", dir / "kit"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto report = inspectBytes(readFile(dir / "out.bank"));
    std::vector<std::uint32_t> rates;
    for (const auto& s : report.samples) rates.push_back(s.sampleRate);
    EXPECT_EQ(rates, (std::vector<std::uint32_t>{16000, 11025, 22050, 8000}));
    EXPECT_NE(r.out.find("instrument 1: " + dir / "kit/A.WAV"), std::string::npos) << r.out;
}

}  // namespace
