// Idle cost: the CPU time a process uses while it holds an open output device
// and a loaded bank and no voice sounds, as a share of one core over a window
// of wall time.
//
// "engine": a child of this program loads a bank of 256 instruments through
// the sound bank onto the default output, which its alsoft.conf makes the
// wave file backend writing to /dev/null (it keeps real time like a sound
// card), frees the image and sleeps. "after_play" first sounds every voice
// once for a moment, so the engine's voice table is full, then stops them.
// "raw/...": the engine alone, with the layer's context attributes and no
// bank, the output limiter on or off, or the device paused with
// alcDevicePauseSOFT: what a change of the layer could save at idle.
// "player": the bankplay executable itself on such a bank, its standard
// input a pipe that stays open, measured from /proc/PID/stat once its help
// text has appeared (only with --player=PATH).
//
// Each figure is the median of --runs windows measured at the same time in as
// many processes (they sleep nearly all the time, so they barely meet).
//
// Flags of its own, before Google Benchmark's: --seconds=N, --runs=N,
// --player=PATH.
#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bank/bank_image.h"
#include "bank/sound_bank.h"
#include "bench/support.h"

extern char** environ;

namespace {

constexpr std::uint64_t kBankBytes = std::uint64_t{16} << 20;

double g_seconds = 20;
int g_runs = 3;
std::string g_player;
std::string g_bank;

struct Config {
    std::string name;
    int periodSize = 0;
    int periods = 0;
    int frequency = 0;
};

std::string writeConf(const bench::TempDir& dir, const Config& c) {
    const std::string conf = dir.file("alsoft.conf");
    std::ofstream out(conf);
    out << "[general]\ndrivers=wave\n";
    if (c.periodSize > 0) out << "period_size=" << c.periodSize << "\nperiods=" << c.periods << "\n";
    if (c.frequency > 0) out << "frequency=" << c.frequency << "\n";
    out << "[wave]\nfile=/dev/null\n";
    return conf;
}

int idleChild(const std::string& bankFile, double seconds, bool playFirst) {
    auto read = bankplay::readBankFile(bankFile.c_str());
    if (read.status != bankplay::ReadStatus::ok) return 1;
    auto bank = std::make_unique<bankplay::SoundBank>();
    if (bank->init(nullptr, read.image) != 0) return 1;
    read.image = bankplay::BankImage{};
    if (playFirst) {
        for (std::uint32_t i = 0; i < bank->instrumentCount(); ++i)
            for (auto* v : bank->row(i))
                if (v != nullptr) v->Play(0, 0, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (std::uint32_t i = 0; i < bank->instrumentCount(); ++i)
            for (auto* v : bank->row(i))
                if (v != nullptr) v->Stop();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // past the load's last effects
    const double cpu0 = bench::selfCpuSeconds();
    const double wall0 = bench::monotonicSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu = bench::selfCpuSeconds() - cpu0;
    const double wall = bench::monotonicSeconds() - wall0;
    bench::report("cpu_s", cpu);
    bench::report("wall_s", wall);
    bench::report("core_percent", 100.0 * cpu / wall);
    return 0;
}

// The engine alone on the default output: "limiter_on", "limiter_off",
// "paused" (the device paused, limiter on), or 2048 voices sounded for a
// moment and then "voices_paused" (what Stop does now: a paused source keeps
// its place in the engine's mix) or "voices_stopped" (stopped sources leave
// it).
int rawIdleChild(const std::string& mode, double seconds) {
    ALCdevice* device = alcOpenDevice(nullptr);
    if (device == nullptr) return 1;
    const ALCint attrs[] = {ALC_MONO_SOURCES, 4096, ALC_STEREO_SOURCES, 0, ALC_HRTF_SOFT, ALC_FALSE,
                            ALC_OUTPUT_LIMITER_SOFT, mode == "limiter_off" ? ALC_FALSE : ALC_TRUE, 0};
    ALCcontext* context = alcCreateContext(device, attrs);
    if (context == nullptr) return 1;
    alcMakeContextCurrent(context);
    std::vector<ALuint> sources;
    ALuint buffer = 0;
    if (mode == "voices_paused" || mode == "voices_stopped") {
        std::vector<std::int16_t> level(48000, 1000);
        alGenBuffers(1, &buffer);
        alBufferData(buffer, AL_FORMAT_MONO16, level.data(), static_cast<ALsizei>(level.size() * 2), 48000);
        sources.resize(2048);
        alGenSources(static_cast<ALsizei>(sources.size()), sources.data());
        for (ALuint s : sources) {
            alSourcei(s, AL_BUFFER, static_cast<ALint>(buffer));
            alSourcePlay(s);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (ALuint s : sources) mode == "voices_paused" ? alSourcePause(s) : alSourceStop(s);
        if (alGetError() != AL_NO_ERROR) return 1;
    }
    if (mode == "paused") {
        const auto pause = reinterpret_cast<LPALCDEVICEPAUSESOFT>(alcGetProcAddress(device, "alcDevicePauseSOFT"));
        if (pause == nullptr) return 1;
        pause(device);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double cpu0 = bench::selfCpuSeconds();
    const double wall0 = bench::monotonicSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu = bench::selfCpuSeconds() - cpu0;
    const double wall = bench::monotonicSeconds() - wall0;
    bench::report("core_percent", 100.0 * cpu / wall);
    if (!sources.empty()) alDeleteSources(static_cast<ALsizei>(sources.size()), sources.data());
    if (buffer != 0) alDeleteBuffers(1, &buffer);
    alcMakeContextCurrent(nullptr);
    alcDestroyContext(context);
    alcCloseDevice(device);
    return 0;
}

// g_runs children at once; the median of their figures, or nothing when one
// failed.
std::map<std::string, double> runConcurrently(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<std::map<std::string, double>> results(static_cast<std::size_t>(g_runs));
    std::vector<std::thread> threads;
    for (auto& r : results) threads.emplace_back([&r, &args, &env] { r = bench::runChild(args, env); });
    for (auto& t : threads) t.join();
    std::map<std::string, std::vector<double>> values;
    for (const auto& r : results) {
        if (r.empty()) return {};
        for (const auto& [k, v] : r) values[k].push_back(v);
    }
    std::map<std::string, double> out;
    for (const auto& [k, v] : values) out[k] = bench::median(v);
    out["runs"] = g_runs;
    return out;
}

void BM_IdleRaw(benchmark::State& state, const Config& config, const char* mode) {
    bench::TempDir dir;
    const std::string conf = writeConf(dir, config);
    std::map<std::string, double> got;
    for (auto _ : state) {
        got = runConcurrently({"--raw-idle-child", mode, std::to_string(g_seconds)}, {"ALSOFT_CONF=" + conf});
        if (got.empty()) {
            state.SkipWithError("the child failed");
            return;
        }
    }
    for (const auto& [k, v] : got) state.counters[k] = v;
}

void BM_IdleEngine(benchmark::State& state, const Config& config, bool playFirst) {
    bench::TempDir dir;
    const std::string conf = writeConf(dir, config);
    std::map<std::string, double> got;
    for (auto _ : state) {
        got = runConcurrently({"--idle-child", g_bank, std::to_string(g_seconds), playFirst ? "1" : "0"},
                              {"ALSOFT_CONF=" + conf});
        if (got.empty()) {
            state.SkipWithError("the child failed");
            return;
        }
    }
    for (const auto& [k, v] : got) state.counters[k] = v;
}

// The player on the bank with its input a pipe held open and its output in a
// file; its CPU time is read from /proc once the help text is there. Returns
// its share of a core in percent, or a negative number when it did not start.
double measurePlayer(const std::string& conf, const std::string& outFile) {
    int in[2];
    if (pipe(in) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) envStore.emplace_back(*e);
    envStore.push_back("ALSOFT_CONF=" + conf);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = g_player;
    std::string bankArg = g_bank;
    char* argv[] = {exe.data(), bankArg.data(), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    if (rc != 0) {
        close(in[1]);
        return -1;
    }
    bool ready = false;
    for (int i = 0; i < 1000 && !ready; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream out(outFile);
        std::string text((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
        ready = text.find("KEY ->") != std::string::npos;
    }
    double percent = -1;
    if (ready) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const double cpu0 = bench::processCpuSeconds(pid);
        const double wall0 = bench::monotonicSeconds();
        std::this_thread::sleep_for(std::chrono::duration<double>(g_seconds));
        const double cpu = bench::processCpuSeconds(pid) - cpu0;
        percent = 100.0 * cpu / (bench::monotonicSeconds() - wall0);
    }
    kill(pid, SIGTERM);
    close(in[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    return percent;
}

void BM_IdlePlayer(benchmark::State& state, const Config& config) {
    bench::TempDir dir;
    const std::string conf = writeConf(dir, config);
    std::vector<double> percents(static_cast<std::size_t>(g_runs));
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < percents.size(); ++i)
            threads.emplace_back([&, i] { percents[i] = measurePlayer(conf, dir.file("player" + std::to_string(i) + ".out")); });
        for (auto& t : threads) t.join();
    }
    for (double p : percents) {
        if (p < 0) {
            state.SkipWithError("the player did not show its help text");
            return;
        }
    }
    state.counters["core_percent"] = bench::median(percents);
    state.counters["runs"] = g_runs;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--idle-child") == 0)
        return idleChild(argv[2], std::atof(argv[3]), std::strcmp(argv[4], "1") == 0);
    if (argc == 4 && std::strcmp(argv[1], "--raw-idle-child") == 0) return rawIdleChild(argv[2], std::atof(argv[3]));

    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--seconds=", 10) == 0) {
            g_seconds = std::max(1.0, std::atof(argv[i] + 10));
        } else if (std::strncmp(argv[i], "--runs=", 7) == 0) {
            g_runs = std::max(1, std::atoi(argv[i] + 7));
        } else if (std::strncmp(argv[i], "--player=", 9) == 0) {
            g_player = argv[i] + 9;
        } else {
            rest.push_back(argv[i]);
        }
    }
    bench::TempDir dir;
    g_bank = dir.file("idle.bank");
    if (dir.path().empty() || !bench::writeBank(g_bank, kBankBytes, 256, 3)) {
        std::fprintf(stderr, "bench_idle: cannot write a bank\n");
        return 1;
    }
    static const Config configs[] = {{"default", 0, 0, 0}, {"p240x3_48k", 240, 3, 48000}, {"p192x3_48k", 192, 3, 48000}};
    for (const Config& c : configs) {
        benchmark::RegisterBenchmark(("BM_IdleEngine/" + c.name).c_str(), BM_IdleEngine, std::cref(c), false)
            ->Iterations(1)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("BM_IdleEngine/" + c.name + "_after_play").c_str(), BM_IdleEngine, std::cref(c),
                                     true)
            ->Iterations(1)->Unit(benchmark::kMillisecond);
        for (const char* mode : {"limiter_on", "limiter_off", "paused", "voices_paused", "voices_stopped"})
            benchmark::RegisterBenchmark(("BM_IdleRaw/" + c.name + "/" + mode).c_str(), BM_IdleRaw,
                                         std::cref(c), mode)
                ->Iterations(1)->Unit(benchmark::kMillisecond);
        if (!g_player.empty())
            benchmark::RegisterBenchmark(("BM_IdlePlayer/" + c.name).c_str(), BM_IdlePlayer, std::cref(c))
                ->Iterations(1)->Unit(benchmark::kMillisecond);
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
