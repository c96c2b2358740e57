// The real player in a pseudo-terminal, with its sound written to a file by
// the engine's wave writer: what a person types, sees and hears.
#include <gtest/gtest.h>
#include <unistd.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>

#include "player/player.h"
#include "tests/support/pty_session.h"
#include "tests/support/signal.h"
#include "tests/support/wav_bytes.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kPatience = 10s;
constexpr std::uint32_t kOutputRate = 48000;

// One directory per test process: ctest runs the cases side by side.
const std::string kDir = ::testing::TempDir() + "/player_pty." + std::to_string(getpid());

std::string setUpFiles() {
    mkdir(kDir.c_str(), 0755);
    // Two instruments: a 1 kHz sine at 44100 Hz, 3 s long, and a short one.
    std::ofstream bank(kDir + "/sine.bank", std::ios::binary);
    for (const auto& w : {testwav::wav({}, testwav::sine16(1000, 44100, 3 * 44100)),
                          testwav::wav({}, testwav::sine16(500, 44100, 4410))})
        bank.write(reinterpret_cast<const char*>(w.data()), static_cast<std::streamsize>(w.size()));
    std::ofstream(kDir + "/alsoft.conf") << "[general]\ndrivers = wave\nfrequency = " << kOutputRate
                                         << "\nchannels = stereo\nsample-type = int16\n[wave]\nfile = " << kDir
                                         << "/out.wav\n";
    return kDir + "/sine.bank";
}

std::unique_ptr<testpty::PtySession> startPlayer(bool jobControl = false, const std::string& config = "alsoft.conf") {
    testpty::PtyOptions options;
    options.args = {BANKPLAY_PATH, setUpFiles()};
    options.env = {"ALSOFT_CONF=" + kDir + "/" + config};
    options.jobControl = jobControl;
    std::remove((kDir + "/out.wav").c_str());
    auto session = std::make_unique<testpty::PtySession>(options);
    // The terminal turns each line feed into CR LF.
    EXPECT_TRUE(session->waitFor("[RIGHT]IncInst\r\n", kPatience)) << session->output();
    return session;
}

// The left channel of the 16-bit stereo wave file the engine wrote.
std::vector<float> recordedLeft() {
    std::ifstream in(kDir + "/out.wav", std::ios::binary);
    const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), {}};
    std::size_t at = 12;
    while (at + 8 <= file.size()) {
        const std::string id(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at) + 4);
        const std::uint32_t size = file[at + 4] | file[at + 5] << 8 | file[at + 6] << 16 | static_cast<std::uint32_t>(file[at + 7]) << 24;
        if (id == "data") break;
        at += 8 + size;
    }

    std::vector<float> left;
    for (std::size_t i = at + 8; i + 4 <= file.size(); i += 4)
        left.push_back(static_cast<float>(static_cast<std::int16_t>(file[i] | file[i + 1] << 8)) / 32768.0f);
    return left;
}

TEST(PlayerInTerminal, ShowsHelpAndStatusAndQuitsOnEscWithTheTerminalRestored) {
    auto player = startPlayer();
    EXPECT_NE(player->output().find(
                  "KEY -> [A,S,D,F]Oneshot, [Q,W,E,R]stop\r\n[DOWN]PitchDown, [UP]PitchUp, [LEFT]decrInst, [RIGHT]IncInst\r\n"),
              std::string::npos);
    EXPECT_TRUE(player->waitFor("Inst:0, Pitch:64   \r", kPatience));
    player->write("\x1b[C\x1b[A");  // Right, Up
    EXPECT_TRUE(player->waitFor("Inst:1, Pitch:65   \r", kPatience)) << player->unread();
    player->write("\x1bOD\x1b[1;2B");  // Left, shifted Down
    EXPECT_TRUE(player->waitFor("Inst:0, Pitch:64   \r", kPatience)) << player->unread();
    player->write("\x1b");
    const auto status = player->waitExit(kPatience);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited() && status->code() == 0) << status->describe();
    EXPECT_TRUE(testpty::sameModes(player->modes(), player->initialModes()));
    // After Esc nothing more is printed: the last status line stays.
    const std::string& out = player->output();
    EXPECT_EQ(out.substr(out.size() - std::strlen("Inst:0, Pitch:64   \r")), "Inst:0, Pitch:64   \r");
}

TEST(PlayerInTerminal, InterruptReleasesEverythingAndEndsAsInterrupted) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        auto player = startPlayer();
        ASSERT_TRUE(player->waitFor("Pitch:64", kPatience));
        kill(player->pid(), signal);
        const auto status = player->waitExit(kPatience);
        ASSERT_TRUE(status) << signal;
        EXPECT_TRUE(status->signaled() && status->signal() == signal) << status->describe();
        EXPECT_TRUE(testpty::sameModes(player->modes(), player->initialModes())) << signal;
    }
}

TEST(PlayerInTerminal, SignalDuringTheLoadEndsItCleanly) {
    // A bank big enough to take a moment to load.
    setUpFiles();
    {
        std::ofstream big(kDir + "/big.bank", std::ios::binary);
        const auto w = testwav::wav({}, testwav::sine16(100, 44100, 5 * 44100));
        for (int i = 0; i < 60; ++i) big.write(reinterpret_cast<const char*>(w.data()), static_cast<std::streamsize>(w.size()));
    }
    for (int signal : {SIGINT, SIGTERM}) {
        for (auto delay : {0ms, 20ms, 60ms}) {
            testpty::PtyOptions options;
            options.args = {BANKPLAY_PATH, kDir + "/big.bank"};
            options.env = {"ALSOFT_CONF=" + kDir + "/alsoft.conf"};
            testpty::PtySession player(options);
            std::this_thread::sleep_for(delay);
            kill(player.pid(), signal);
            const auto status = player.waitExit(kPatience);
            ASSERT_TRUE(status);
            EXPECT_TRUE(status->signaled() && status->signal() == signal) << status->describe();
            EXPECT_TRUE(testpty::sameModes(player.modes(), player.initialModes()));
        }
    }
}

TEST(PlayerInTerminal, ClosingTheTerminalEndsThePlayer) {
    auto player = startPlayer();
    ASSERT_TRUE(player->waitFor("Pitch:64", kPatience));
    player->closeMaster();
    const auto status = player->waitExit(kPatience);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->signaled() && status->signal() == SIGHUP) << status->describe();
}

TEST(PlayerInTerminal, LostOutputIsSaidOnceAndThePlayerStaysResponsive) {
    // A wave writer that cannot write: the output fails once playing starts.
    setUpFiles();
    std::ofstream(kDir + "/full.conf") << "[general]\ndrivers = wave\n[wave]\nfile = /dev/full\n";
    auto player = startPlayer(false, "full.conf");
    ASSERT_TRUE(player->waitFor("Pitch:64", kPatience));
    std::this_thread::sleep_for(200ms);
    player->write("a");
    ASSERT_TRUE(player->waitFor("the audio output was lost", kPatience)) << player->output();
    player->write("s\x1b[C");
    EXPECT_TRUE(player->waitFor("Inst:1, Pitch:64   \r", kPatience));
    player->write("d");
    std::this_thread::sleep_for(100ms);
    player->write("\x1b");
    const auto status = player->waitExit(kPatience);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited() && status->code() == 0) << status->describe();
    const std::string& out = player->output();
    EXPECT_EQ(out.find("the audio output was lost"), out.rfind("the audio output was lost"));
    EXPECT_TRUE(testpty::sameModes(player->modes(), player->initialModes()));
}

TEST(PlayerInTerminal, NotesWithIdleTimeBetweenThemAreAllRecorded) {
    // Instrument 1 is short: after it ends an output would pause, which the
    // engine's wave writer cannot do without writing over its recording.
    auto player = startPlayer();
    ASSERT_TRUE(player->waitFor("Pitch:64", kPatience));
    player->write("\x1b[C");
    ASSERT_TRUE(player->waitFor("Inst:1, Pitch:64", kPatience));
    player->write("a");
    std::this_thread::sleep_for(2000ms);
    player->write("a");
    std::this_thread::sleep_for(800ms);
    player->write("\x1b");
    ASSERT_TRUE(player->waitExit(kPatience));
    // Two notes, with silence between them.
    const auto left = recordedLeft();
    int notes = 0;
    long quiet = kOutputRate;
    for (float v : left) {
        if (std::fabs(v) > 1e-3f) {
            if (quiet > kOutputRate / 10) ++notes;
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    EXPECT_EQ(notes, 2) << left.size() << " frames";
}

// CPU ticks the process has used.
long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stol(field);
    return ticks;
}

TEST(PlayerInTerminal, OutputPausesWhileNothingSoundsAndWakesForTheNextNote) {
    // ALSA's null device has no clock: while the engine runs it mixes as fast
    // as it can, so the process's CPU use shows whether the output is paused.
    setUpFiles();
    std::ofstream(kDir + "/asound.conf") << "pcm.!default { type null }\n";
    std::ofstream(kDir + "/alsa.conf") << "[general]\ndrivers = alsa\n";
    testpty::PtyOptions options;
    options.args = {BANKPLAY_PATH, kDir + "/sine.bank"};
    options.env = {"ALSOFT_CONF=" + kDir + "/alsa.conf", "ALSA_CONFIG_PATH=" + kDir + "/asound.conf"};
    testpty::PtySession player(options);
    ASSERT_TRUE(player.waitFor("Pitch:64", kPatience));
    auto ticksOver = [&](std::chrono::milliseconds span) {
        const long before = cpuTicks(player.pid());
        std::this_thread::sleep_for(span);
        return cpuTicks(player.pid()) - before;
    };
    player.write("\x1b[C");  // the short instrument
    ASSERT_TRUE(player.waitFor("Inst:1, Pitch:64", kPatience));
    player.write("a");
    std::this_thread::sleep_for(2000ms);  // the note ends, then a second of quiet
    const long paused = ticksOver(1000ms);
    player.write("a");
    std::this_thread::sleep_for(100ms);
    const long running = ticksOver(400ms);
    player.write("\x1b");
    const auto status = player.waitExit(kPatience);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited() && status->code() == 0) << status->describe();
    EXPECT_LT(paused, 10) << "ticks while nothing sounds";
    EXPECT_GT(running, paused + 5) << "ticks while the note sounds";
    EXPECT_EQ(player.output().find("lost"), std::string::npos) << player.output();
}

TEST(PlayerInTerminal, KeyASoundsTheSampleAtThePredictedPitch) {
    auto player = startPlayer();
    ASSERT_TRUE(player->waitFor("Pitch:64", kPatience));
    player->write("a");
    // Let it sound for a while (the wave writer works in real time), then quit.
    std::this_thread::sleep_for(1000ms);
    player->write("\x1b");
    ASSERT_TRUE(player->waitExit(kPatience));
    const auto left = recordedLeft();
    const long first = [&] {
        for (std::size_t i = 0; i < left.size(); ++i)
            if (std::fabs(left[i]) > 1e-3f) return static_cast<long>(i);
        return -1L;
    }();
    ASSERT_GE(first, 0) << "no sound in " << left.size() << " frames";
    // A 1 kHz sine recorded at 44100 Hz played at 16126 Hz.
    // A quarter of a second of the tone, or what sounded before Esc cut it.
    const long last = testsignal::lastSounding(left, 1e-3f);
    const long begin = first + 1000;
    const long end = std::min<long>(begin + kOutputRate / 4, last - 100);
    ASSERT_GT(end - begin, 2400) << "too little sound: " << first << " to " << last;
    std::vector<float> tone(left.begin() + begin, left.begin() + end);
    const double expected = 1000.0 * 16126 / 44100;
    EXPECT_NEAR(testsignal::cents(testsignal::frequency(tone, kOutputRate), expected), 0.0, 2.0);
    EXPECT_NEAR(testsignal::peak(tone), 0.5, 0.02);  // mono at full level
}

}  // namespace
