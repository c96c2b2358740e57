#include "player/player.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "player/voice_keys.h"
#include "tests/fakes/fake_audio.h"
#include "tests/fakes/fake_console.h"
#include "tests/support/wav_bytes.h"

using namespace bankplay;

namespace {

std::string writeBank(std::size_t instruments, const std::string& name = "player_test.bank") {
    // Named per process: ctest runs the cases side by side.
    const std::string path = ::testing::TempDir() + "/" + std::to_string(getpid()) + "." + name;
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < instruments; ++i) {
        const auto w = testwav::wav({}, testwav::pattern(100, static_cast<std::uint8_t>(i)));
        out.write(reinterpret_cast<const char*>(w.data()), static_cast<std::streamsize>(w.size()));
    }
    return path;
}

struct Run {
    int status;
    std::string out;
};

Run play(std::vector<std::string> args, std::vector<fake_console::Frame> frames, fake_audio::Config audio = {}) {
    fake_audio::reset(audio);
    fake_console::script(std::move(frames));
    args.insert(args.begin(), "bankplay");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    ::testing::internal::CaptureStdout();
    const int status = runPlayer(static_cast<int>(argv.size()), argv.data());
    return {status, ::testing::internal::GetCapturedStdout()};
}

// The last status line printed.
std::string lastStatus(const std::string& out) {
    const auto end = out.rfind('\r');
    if (end == std::string::npos) return "";
    const auto start = out.rfind('\r', end - 1);
    const auto help = out.rfind('\n', end);
    const auto from = std::max(start == std::string::npos ? 0 : start + 1, help == std::string::npos ? 0 : help + 1);
    return out.substr(from, end - from + 1);
}

// The voice calls of the log, after the load.
std::vector<std::string> voiceCalls() {
    std::vector<std::string> calls;
    for (const auto& line : fake_audio::recorder().log)
        for (const char* op : {"Stop ", "SetCurrentPosition ", "SetFrequency ", "Play "})
            if (line.rfind(op, 0) == 0) calls.push_back(line);
    return calls;
}

TEST(PitchToFrequency, FollowsFourHundredHertzTimesTwoToTheSemitonesOverTwelve) {
    const std::pair<std::int32_t, std::uint32_t> cases[] = {
        {64, 16126}, {68, 20318}, {71, 24163}, {75, 30443}, {60, 12800},       {72, 25600},
        {76, 32253}, {0, 400},    {-1, 377},   {-100, 1},   {-200, 0},         {281, 184012015},
        {652, 3020692480u},       {653, 0},    {5000, 0},   {INT32_MIN, 0},
    };
    for (auto [semitones, rate] : cases) EXPECT_EQ(pitchToFrequency(semitones), rate) << semitones;
}

TEST(Player, StartsAtInstrumentZeroPitch64AndPacesAt16Ms) {
    const auto run = play({writeBank(3)}, {{}, {}});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, std::string(kHelpText) + "Inst:0, Pitch:64   \rInst:0, Pitch:64   \r");
    EXPECT_EQ(fake_console::record().sleeps, (std::vector<DWORD>{16, 16}));
    EXPECT_EQ(fake_audio::recorder().liveHandles, 0);  // released at the end
}

TEST(Player, LeftOnceWrapsTheCounterModuloTheCount) {
    for (auto [count, expected] : {std::pair{3, 0}, {7, 3}, {256, 255}, {1, 0}}) {
        const auto run = play({writeBank(static_cast<std::size_t>(count))}, {{{VK_LEFT}, {}}});
        EXPECT_EQ(lastStatus(run.out), "Inst:" + std::to_string(expected) + ", Pitch:64   \r") << count;
    }
}

TEST(Player, ArrowsStepInstrumentAndPitch) {
    auto run = play({writeBank(5)}, fake_console::presses(VK_RIGHT, 5));
    EXPECT_EQ(lastStatus(run.out), "Inst:0, Pitch:64   \r");
    run = play({writeBank(5)}, fake_console::presses(VK_RIGHT, 7));
    EXPECT_EQ(lastStatus(run.out), "Inst:2, Pitch:64   \r");
    run = play({writeBank(2)}, fake_console::presses(VK_UP, 12));
    EXPECT_EQ(lastStatus(run.out), "Inst:0, Pitch:76   \r");
    run = play({writeBank(2)}, fake_console::presses(VK_DOWN, 65));
    EXPECT_EQ(lastStatus(run.out), "Inst:0, Pitch:-1   \r");
    // Left and Right in one iteration cancel; the counter keeps its full value.
    run = play({writeBank(3)}, {{{VK_LEFT}, {}}, {{VK_LEFT, VK_RIGHT}, {}}, {{VK_RIGHT}, {}}});
    EXPECT_EQ(lastStatus(run.out), "Inst:0, Pitch:64   \r");
}

TEST(Player, EscHeldAtStartPrintsTheHelpAndNoStatusLine) {
    const auto run = play({writeBank(2)}, {{{VK_ESCAPE}, {VK_ESCAPE}}});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kHelpText);
    EXPECT_TRUE(fake_console::record().sleeps.empty());
    EXPECT_EQ(fake_audio::recorder().liveHandles, 0);
}

TEST(Player, EscPressedButNotHeldDoesNotEndTheRun) {
    const auto run = play({writeBank(2)}, {{{VK_ESCAPE}, {}}, {}});
    EXPECT_EQ(fake_console::record().sleeps.size(), 2u);
    EXPECT_EQ(run.status, 0);
}

TEST(VoiceKeys, FireTheFirstFourVoicesAtTheChordOffsets) {
    // Instrument 1 holds voices 8 to 15.
    play({writeBank(3)}, {{{VK_RIGHT}, {}}, {{'A', 'S', 'D', 'F'}, {}}});
    EXPECT_EQ(voiceCalls(), (std::vector<std::string>{
                                "Stop 8", "SetCurrentPosition 8 0", "SetFrequency 8 16126", "Play 8 0 0 0",
                                "Stop 9", "SetCurrentPosition 9 0", "SetFrequency 9 20318", "Play 9 0 0 0",
                                "Stop 10", "SetCurrentPosition 10 0", "SetFrequency 10 24163", "Play 10 0 0 0",
                                "Stop 11", "SetCurrentPosition 11 0", "SetFrequency 11 30443", "Play 11 0 0 0"}));
}

TEST(VoiceKeys, StopsComeBeforeFiresAndPitchAppliesAtTheNextFire) {
    play({writeBank(1)}, {{{'A', 'Q', 'R'}, {}}, {{VK_UP}, {}}, {{'A'}, {}}});
    EXPECT_EQ(voiceCalls(), (std::vector<std::string>{
                                "Stop 0", "SetCurrentPosition 0 0", "Stop 3", "SetCurrentPosition 3 0",
                                "Stop 0", "SetCurrentPosition 0 0", "SetFrequency 0 16126", "Play 0 0 0 0",
                                "Stop 0", "SetCurrentPosition 0 0", "SetFrequency 0 17085", "Play 0 0 0 0"}));
}

TEST(VoiceKeys, EmptySlotsAreSkipped) {
    fake_audio::Config noDuplicates;
    noDuplicates.refuseDuplicates = true;
    play({writeBank(1)}, {{{'W', 'S', 'A'}, {}}}, noDuplicates);
    EXPECT_EQ(voiceCalls(), (std::vector<std::string>{"Stop 0", "SetCurrentPosition 0 0", "SetFrequency 0 16126",
                                                      "Play 0 0 0 0"}));
}

TEST(Player, FailuresEndWithStatusOneAndTheirMessage) {
    fake_audio::Config refused;
    refused.refuseBuffer = 2;
    auto run = play({writeBank(3)}, {}, refused);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Failed DirectSound CreateSoundBuffer:88780064");
    EXPECT_EQ(fake_audio::recorder().liveHandles, 0);

    const std::string missing = ::testing::TempDir() + "/no such bank";
    run = play({missing}, {});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Can't open file " + missing + "\n");
    EXPECT_TRUE(fake_audio::recorder().log.empty());  // the device is never opened

    run = play({::testing::TempDir()}, {});
    EXPECT_EQ(run.out, "Can't open file " + ::testing::TempDir() + "\n");

    // A bank without a sample has nothing to play.
    const std::string empty = writeBank(0, "empty.bank");
    run = play({empty}, {});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "No samples in file " + empty + "\n");
    EXPECT_EQ(fake_audio::recorder().liveHandles, 0);
}

TEST(Player, WithoutExactlyOneArgumentTheBankIsSamples) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::string dir = ::testing::TempDir() + "/player_samples_dir." + std::to_string(getpid());
    mkdir(dir.c_str(), 0755);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    std::remove("samples");
    auto run = play({}, {});
    EXPECT_EQ(run.out, "Can't open file samples\n");
    EXPECT_EQ(run.status, 1);
    {
        std::ofstream out("samples", std::ios::binary);
        const auto w = testwav::wav({}, testwav::pattern(100));
        out.write(reinterpret_cast<const char*>(w.data()), static_cast<std::streamsize>(w.size()));
    }
    run = play({"a", "b"}, {});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kHelpText);
    ASSERT_EQ(chdir(cwd), 0);
}

}  // namespace
