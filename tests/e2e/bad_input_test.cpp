// The real player over a matrix of bad banks and paths: each row loads or
// fails with its exact message and status, prints nothing else, and never
// crashes or hangs. Sound goes to a file through the engine's wave writer.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <regex>

#include "player/player.h"
#include "tests/support/process.h"
#include "tests/support/wav_bytes.h"

namespace {

using testwav::Bytes;

// One directory per test process: ctest runs the cases side by side.
const std::string kDir = ::testing::TempDir() + "/bad_input." + std::to_string(getpid());

std::string writeFile(const std::string& name, const Bytes& bytes) {
    const std::string path = kDir + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::string waveConfig() {
    const std::string path = kDir + "/alsoft.conf";
    std::ofstream(path) << "[general]\ndrivers = wave\n[wave]\nfile = " << kDir << "/out.wav\n";
    return path;
}

testproc::Result play(const std::string& bank) {
    testproc::Options options;
    options.env = {"ALSOFT_CONF=" + waveConfig()};
    return testproc::run({BANKPLAY_PATH, bank}, options);
}

Bytes validSample(std::uint8_t seed = 1) { return testwav::wav({}, testwav::pattern(200, seed)); }

Bytes withFormat(const std::function<void(testwav::Format&)>& change, std::int64_t length = -1) {
    testwav::Format f;
    change(f);
    return testwav::wav(f, testwav::pattern(200), length);
}

Bytes repeated(std::size_t n, const Bytes& tail = {}) {
    Bytes all;
    for (std::size_t i = 0; i < n; ++i) {
        const Bytes s = validSample(static_cast<std::uint8_t>(i));
        all.insert(all.end(), s.begin(), s.end());
    }
    all.insert(all.end(), tail.begin(), tail.end());
    return all;
}

constexpr const char* kLoads = "";  // help text, then status lines
const std::string kSize = "Failed DirectSound CreateSoundBuffer:80070057";
const std::string kFormat = "Failed DirectSound CreateSoundBuffer:88780064";

struct Row {
    std::string name;
    std::string path;  // the bank to play
    int status;
    std::string out;   // exact, or kLoads
};

std::vector<Row> rows() {
    mkdir(kDir.c_str(), 0755);
    std::vector<Row> r;
    auto file = [&](const std::string& name, const Bytes& bytes, int status, const std::string& out) {
        const std::string path = writeFile(name, bytes);
        r.push_back({name, path, status, out == kLoads ? out : out == "none" ? "No samples in file " + path + "\n" : out});
    };
    const std::string missing = kDir + "/missing.bank";
    r.push_back({"missing", missing, 1, "Can't open file " + missing + "\n"});
    r.push_back({"directory", kDir, 1, "Can't open file " + kDir + "\n"});
    {
        const std::string locked = writeFile("unreadable", validSample());
        chmod(locked.c_str(), 0);
        // Permissions do not stop root, who reads the file like any other.
        if (geteuid() == 0) r.push_back({"unreadable (as root)", locked, 0, kLoads});
        else r.push_back({"unreadable", locked, 1, "Can't open file " + locked + "\n"});
    }
    file("empty", {}, 1, "none");
    for (int n = 1; n <= 3; ++n) file("bytes" + std::to_string(n), testwav::text(std::string("RIF").substr(0, static_cast<std::size_t>(n))), 1, "none");
    file("riff_last", testwav::join({testwav::pattern(30), testwav::text("RIFF")}), 1, kSize);
    file("riff_only", testwav::text("RIFF"), 1, kSize);
    for (std::size_t cut = 4; cut <= 43; ++cut) {
        Bytes header = validSample();
        header.resize(cut);
        // Cut before the data length is whole, the length reads as zero from
        // the image's tail; from byte 41 on its low byte (200) is there.
        file("header_cut_" + std::to_string(cut), header, cut <= 40 ? 1 : 0, cut <= 40 ? kSize : kLoads);
    }
    file("data_length_0", testwav::wav({}, testwav::pattern(20), 0), 1, kSize);
    file("data_length_max", testwav::wav({}, testwav::pattern(20), 0xFFFFFFFFu), 1, kSize);
    file("channels_0", withFormat([](auto& f) { f.channels = 0; }), 1, kFormat);
    file("channels_9", withFormat([](auto& f) { f.channels = 9; }), 1, kFormat);
    for (std::uint16_t bits : {std::uint16_t{0}, std::uint16_t{7}, std::uint16_t{12}}) file("bits_" + std::to_string(bits), withFormat([&](auto& f) { f.bits = bits; }), 1, kFormat);
    file("rate_0", withFormat([](auto& f) { f.rate = 0; }), 1, kFormat);
    file("rate_4000000", withFormat([](auto& f) { f.rate = 4000000; }), 1, kFormat);
    {
        Bytes b = validSample();
        testwav::putU16(b, 32, 3);
        file("block_align", b, 1, kFormat);
    }
    file("tag_2", withFormat([](auto& f) { f.tag = 2; }), 1, kFormat);
    file("tag_fffe", withFormat([](auto& f) { f.tag = 0xFFFE; }), 1, kFormat);
    file("second_refused", testwav::join({validSample(), withFormat([](auto& f) { f.tag = 2; })}), 1, kFormat);
    file("256_then_garbage", repeated(256, testwav::text("RIFF garbage after the bank")), 0, kLoads);
    file("300_samples", repeated(300), 0, kLoads);
    file("zero_length_loop", testwav::wav({}, {}, 0), 1, kSize);
    return r;
}

TEST(BadInput, EveryRowLoadsOrFailsAsTheRulesSay) {
    const std::regex statusLines("(Inst:[0-9]+, Pitch:64   \r)*");
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.name);
        const auto result = play(row.path);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.signal, 0);
        EXPECT_EQ(result.exitCode, row.status);
        EXPECT_EQ(result.err, "");
        if (row.out == kLoads) {
            ASSERT_EQ(result.out.rfind(bankplay::kHelpText, 0), 0u) << result.out;
            EXPECT_TRUE(std::regex_match(result.out.substr(std::strlen(bankplay::kHelpText)), statusLines)) << result.out;
        } else {
            EXPECT_EQ(result.out, row.out);
        }
    }
}

TEST(BadInput, NoSoundDeviceIsReportedWithItsReason) {
    // An ALSA configuration whose default device names a card that is not there.
    mkdir(kDir.c_str(), 0755);
    const std::string asound = kDir + "/asound.conf";
    std::ofstream(asound) << "pcm.!default { type hw card 99 }\n";
    const std::string conf = kDir + "/alsa-only.conf";
    std::ofstream(conf) << "[general]\ndrivers = alsa\n";
    testproc::Options options;
    options.env = {"ALSOFT_CONF=" + conf, "ALSA_CONFIG_PATH=" + asound};
    const auto result = testproc::run({BANKPLAY_PATH, writeFile("for_no_device", validSample())}, options);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "Failed DirectSoundCreate8:88780078\n");
    // One line of the sound system's reason, and none of its chatter.
    EXPECT_TRUE(std::regex_match(result.err, std::regex("bankplay: no audio output: [^\n]+\n"))) << result.err;
}

}  // namespace
