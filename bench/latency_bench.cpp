// Key-to-sound latency: from a key reaching the terminal to the first
// non-silent sample leaving the engine for the device, for several output
// period configurations of OpenAL Soft.
//
// Each configuration runs in a child process with its own alsoft.conf (the
// engine reads its configuration once per process), playing through the wave
// file backend, which mixes one period each time a period of real time has
// passed, as a sound card's interrupt would have it. A trial:
//   - the poll loop sleeps 16 ms like the player; the key is taken to arrive
//     at a uniformly random moment of the interval that ends at the wake-up;
//   - at the wake-up the voice is started (what Play does in the engine);
//   - the voice's play position is watched every 50 us; it moves once the
//     engine has mixed the period holding the voice's first sample and handed
//     it to the backend: that is when the sample leaves for the device.
// "to_device" is that time from the key. "to_speaker" adds the output latency
// the engine reports for the device (ALC_DEVICE_LATENCY_SOFT: the periods
// queued ahead of the one being played, plus the limiter's look-ahead).
//
// With pause_idle the device is paused (alcDevicePauseSOFT) between trials
// and resumed at the key, before the voice starts: the cost in latency of
// pausing the output while nothing sounds.
//
// A second kind of child opens an ALSA device (the null PCM) with ALC_REFRESH
// in the context attributes, or with period settings in alsoft.conf, and says
// what update size the engine chose before and after the backend reset.
#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/support.h"

namespace {

constexpr double kPollSeconds = 0.016;

struct Engine {
    ALCdevice* device = nullptr;
    ALCcontext* context = nullptr;
    ~Engine() {
        if (context != nullptr) {
            alcMakeContextCurrent(nullptr);
            alcDestroyContext(context);
        }
        if (device != nullptr) alcCloseDevice(device);
    }
    // The default output with the audio layer's context attributes, and
    // more attributes before them.
    bool open(std::vector<ALCint> extra = {}) {
        device = alcOpenDevice(nullptr);
        if (device == nullptr) return false;
        std::vector<ALCint> attrs = std::move(extra);
        attrs.insert(attrs.end(), {ALC_MONO_SOURCES, 4096, ALC_STEREO_SOURCES, 0, ALC_HRTF_SOFT, ALC_FALSE,
                                   ALC_OUTPUT_LIMITER_SOFT, ALC_TRUE, 0});
        context = alcCreateContext(device, attrs.data());
        if (context == nullptr) return false;
        alcMakeContextCurrent(context);
        return true;
    }
    ALCint integer(ALCenum e) const {
        ALCint v = 0;
        alcGetIntegerv(device, e, 1, &v);
        return v;
    }
    double latencySeconds() const {
        const auto get64 = reinterpret_cast<LPALCGETINTEGER64VSOFT>(alcGetProcAddress(device, "alcGetInteger64vSOFT"));
        if (get64 == nullptr) return -1;
        ALCint64SOFT ns = -1;
        get64(device, ALC_DEVICE_LATENCY_SOFT, 1, &ns);
        return static_cast<double>(ns) * 1e-9;
    }
};

// The child of one period configuration: trials of a key arriving during the
// poll, reported as key=value lines.
int latencyChild(int trials, bool pauseIdle) {
    Engine engine;
    if (!engine.open()) return 1;
    const auto pause = reinterpret_cast<LPALCDEVICEPAUSESOFT>(alcGetProcAddress(engine.device, "alcDevicePauseSOFT"));
    const auto resume = reinterpret_cast<LPALCDEVICERESUMESOFT>(alcGetProcAddress(engine.device, "alcDeviceResumeSOFT"));
    if (pauseIdle && (pause == nullptr || resume == nullptr)) return 1;
    const ALCint rate = engine.integer(ALC_FREQUENCY);
    const ALCint refresh = engine.integer(ALC_REFRESH);
    // 50 ms of a steady level: non-silent from its first sample.
    std::vector<std::int16_t> level(static_cast<std::size_t>(rate / 20), 8000);
    ALuint buffer = 0;
    ALuint source = 0;
    alGenBuffers(1, &buffer);
    alBufferData(buffer, AL_FORMAT_MONO16, level.data(), static_cast<ALsizei>(level.size() * 2), rate);
    alGenSources(1, &source);
    alSourcei(source, AL_SOURCE_RELATIVE, AL_TRUE);
    alSourcei(source, AL_BUFFER, static_cast<ALint>(buffer));
    if (alGetError() != AL_NO_ERROR) return 1;

    std::mt19937 random(12345);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> toDevice;
    std::vector<double> mixWait;
    double before = bench::monotonicSeconds();
    for (int t = 0; t < trials; ++t) {
        std::this_thread::sleep_for(std::chrono::duration<double>(kPollSeconds));
        const double wake = bench::monotonicSeconds();
        const double key = before + unit(random) * (wake - before);
        if (pauseIdle) resume(engine.device);
        alSourceRewind(source);
        alSourcePlay(source);
        const double played = bench::monotonicSeconds();
        ALint offset = 0;
        ALint state = AL_PLAYING;
        while (offset == 0 && state == AL_PLAYING && bench::monotonicSeconds() - played < 1.0) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            alGetSourcei(source, AL_SAMPLE_OFFSET, &offset);
            alGetSourcei(source, AL_SOURCE_STATE, &state);
        }
        const double mixed = bench::monotonicSeconds();
        toDevice.push_back(mixed - key);
        mixWait.push_back(mixed - played);
        alSourceStop(source);
        if (pauseIdle) pause(engine.device);
        // A random pause, so trials fall at every phase of the period.
        std::this_thread::sleep_for(std::chrono::duration<double>(0.003 + 0.02 * unit(random)));
        before = bench::monotonicSeconds();
    }
    const double device = engine.latencySeconds();
    std::vector<double> toSpeaker;
    for (double d : toDevice) toSpeaker.push_back(d + device);
    bench::report("rate", rate);
    bench::report("refresh", refresh);
    bench::report("update_frames", refresh > 0 ? static_cast<double>(rate) / refresh : 0);
    bench::report("device_latency_ms", device * 1e3);
    bench::report("mix_wait_median_ms", bench::median(mixWait) * 1e3);
    bench::report("to_device_median_ms", bench::median(toDevice) * 1e3);
    bench::report("to_device_p99_ms", bench::percentile(toDevice, 99) * 1e3);
    bench::report("to_speaker_median_ms", bench::median(toSpeaker) * 1e3);
    bench::report("to_speaker_p99_ms", bench::percentile(toSpeaker, 99) * 1e3);
    alDeleteSources(1, &source);
    alDeleteBuffers(1, &buffer);
    return 0;
}

// The update size of the engine's "Pre-reset" (what it asks the backend
// for) and "Post-reset" (what it got) log lines.
void reportResetLines(const std::string& log) {
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        for (const char* tag : {"Pre-reset", "Post-reset"}) {
            if (line.find(tag) == std::string::npos) continue;
            const auto at = line.find(" update size x");
            if (at == std::string::npos) continue;
            auto start = line.rfind(' ', at - 1);
            const double frames = std::strtod(line.c_str() + start + 1, nullptr);
            const double periods = std::strtod(line.c_str() + at + 14, nullptr);
            bench::report((std::string(tag) == "Pre-reset" ? "pre_update_frames" : "post_update_frames"), frames);
            bench::report((std::string(tag) == "Pre-reset" ? "pre_periods" : "post_periods"), periods);
        }
    }
}

// The child that opens the real (ALSA) backend with ALC_REFRESH requested.
int refreshChild(int refresh, const std::string& log) {
    Engine engine;
    std::vector<ALCint> extra;
    if (refresh > 0) extra = {ALC_REFRESH, refresh, ALC_FREQUENCY, 48000};
    if (!engine.open(extra)) return 1;
    const ALCint rate = engine.integer(ALC_FREQUENCY);
    const ALCint got = engine.integer(ALC_REFRESH);
    bench::report("requested_refresh", refresh);
    bench::report("rate", rate);
    bench::report("refresh", got);
    bench::report("update_frames", got > 0 ? static_cast<double>(rate) / got : 0);
    bench::report("device_latency_ms", engine.latencySeconds() * 1e3);
    reportResetLines(log);
    return 0;
}

// --- the parent ---------------------------------------------------------------------

struct Config {
    std::string name;
    int periodSize = 0;  // 0: the engine's default (1024 frames, 3 periods)
    int periods = 0;
    int frequency = 0;   // 0: the engine's default (44100 Hz)
    bool pauseIdle = false;
};

int g_trials = 60;

void copyCounters(benchmark::State& state, const std::map<std::string, double>& got) {
    for (const auto& [key, value] : got) state.counters[key] = value;
}

void BM_Latency(benchmark::State& state, const Config& config) {
    bench::TempDir dir;
    const std::string conf = dir.file("alsoft.conf");
    {
        std::ofstream out(conf);
        out << "[general]\ndrivers=wave\n";
        if (config.periodSize > 0) out << "period_size=" << config.periodSize << "\n";
        if (config.periods > 0) out << "periods=" << config.periods << "\n";
        if (config.frequency > 0) out << "frequency=" << config.frequency << "\n";
        out << "[wave]\nfile=" << dir.file("out.wav") << "\n";
    }
    std::map<std::string, double> got;
    for (auto _ : state) {
        got = bench::runChild({"--latency-child", std::to_string(g_trials), config.pauseIdle ? "pause" : "run"},
                              {"ALSOFT_CONF=" + conf});
        if (got.empty()) {
            state.SkipWithError("the child failed");
            return;
        }
    }
    copyCounters(state, got);
}

// ALSA's null PCM through a configuration of its own: no sound card needed.
void BM_AlsaRefresh(benchmark::State& state, int refresh, int periodSize, int periods) {
    bench::TempDir dir;
    const std::string conf = dir.file("alsoft.conf");
    const std::string alsa = dir.file("asound.conf");
    const std::string log = dir.file("alsoft.log");
    {
        std::ofstream out(conf);
        out << "[general]\ndrivers=alsa\n";
        if (periodSize > 0) out << "period_size=" << periodSize << "\nperiods=" << periods << "\nfrequency=48000\n";
        std::ofstream a(alsa);
        a << "pcm.!default { type null }\n";
    }
    std::map<std::string, double> got;
    for (auto _ : state) {
        got = bench::runChild({"--refresh-child", std::to_string(refresh), log},
                              {"ALSOFT_CONF=" + conf, "ALSA_CONFIG_PATH=" + alsa, "ALSOFT_LOGLEVEL=3",
                               "ALSOFT_LOGFILE=" + log});
        if (got.empty()) {
            state.SkipWithError("the child failed");
            return;
        }
    }
    copyCounters(state, got);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--latency-child") == 0)
        return latencyChild(std::atoi(argv[2]), std::strcmp(argv[3], "pause") == 0);
    if (argc == 4 && std::strcmp(argv[1], "--refresh-child") == 0) return refreshChild(std::atoi(argv[2]), argv[3]);

    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--trials=", 9) == 0) {
            g_trials = std::max(1, std::atoi(argv[i] + 9));
        } else {
            rest.push_back(argv[i]);
        }
    }
    static const Config configs[] = {
        {"default", 0, 0, 0},
        {"p1024x3_48k", 1024, 3, 48000},
        {"p480x3_48k", 480, 3, 48000},
        {"p240x3_48k", 240, 3, 48000},
        {"p192x3_48k", 192, 3, 48000},
        {"p128x3_48k", 128, 3, 48000},
        {"p240x2_48k", 240, 2, 48000},
        {"p240x4_48k", 240, 4, 48000},
        {"p240x3_48k_pause_idle", 240, 3, 48000, true},
    };
    for (const Config& c : configs)
        benchmark::RegisterBenchmark(("BM_Latency/" + c.name).c_str(), BM_Latency, std::cref(c))
            ->Iterations(1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_AlsaRefresh/attr_refresh200", BM_AlsaRefresh, 200, 0, 0)
        ->Iterations(1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_AlsaRefresh/conf_p240x3", BM_AlsaRefresh, 0, 240, 3)
        ->Iterations(1)->Unit(benchmark::kMillisecond);

    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
