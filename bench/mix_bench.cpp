// Polyphony: many voices sounding at once, mixed through the render-to-memory
// device on this thread, for each resampler the engine offers.
//
// Voices are made the way the bank makes them: a buffer per instrument and
// seven duplicates of it, 16-bit samples alternately mono and stereo at
// 22050 to 48000 Hz. Every voice plays looped at its own rate, spread
// geometrically from 11025 to 88200 Hz, so the resampler steps from about a
// quarter to about twice the output rate.
//
// The figure is the real-time factor: seconds of audio mixed per second of
// this thread's CPU time (1 is just real time on one core).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/support.h"
#include "platform/audio/dsound.h"
#include "platform/audio/render.h"

namespace {

constexpr std::uint32_t kOutputRate = 48000;
constexpr std::uint32_t kVoicesPerBuffer = 8;
constexpr std::size_t kChunkFrames = 1024;  // the engine's default period
constexpr double kSampleSeconds = 0.5;

class Polyphony {
public:
    bool open(int resampler, std::uint32_t voices) {
        bankplay::audio::setRenderToMemory(kOutputRate);
        bankplay::audio::setResampler(resampler);
        if (DirectSoundCreate8(nullptr, &device_, nullptr) != DS_OK) return false;
        const std::uint32_t buffers = (voices + kVoicesPerBuffer - 1) / kVoicesPerBuffer;
        static constexpr DWORD kRates[] = {22050, 32000, 44100, 48000};
        std::uint32_t made = 0;
        for (std::uint32_t b = 0; b < buffers; ++b) {
            WAVEFORMATEX f{};
            f.wFormatTag = WAVE_FORMAT_PCM;
            f.nChannels = static_cast<WORD>(b % 2 == 0 ? 1 : 2);
            f.nSamplesPerSec = kRates[b % 4];
            f.wBitsPerSample = 16;
            f.nBlockAlign = static_cast<WORD>(f.nChannels * 2);
            f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
            DSBUFFERDESC desc{};
            desc.dwSize = kDsBufferDescSize32;
            desc.dwFlags = 0x181E8;
            desc.dwBufferBytes = static_cast<DWORD>(kSampleSeconds * f.nSamplesPerSec) * f.nBlockAlign;
            desc.lpwfxFormat = &f;
            LPDIRECTSOUNDBUFFER first = nullptr;
            if (device_->CreateSoundBuffer(&desc, &first, nullptr) != DS_OK) return false;
            voices_.push_back(first);
            LPVOID p1 = nullptr;
            LPVOID p2 = nullptr;
            DWORD n1 = 0;
            DWORD n2 = 0;
            if (first->Lock(0, desc.dwBufferBytes, &p1, &n1, &p2, &n2, 0) != DS_OK) return false;
            fillSignal(static_cast<std::int16_t*>(p1), n1 / 2, b);
            if (first->Unlock(p1, n1, p2, n2) != DS_OK) return false;
            for (std::uint32_t v = 1; v < kVoicesPerBuffer && made + v < voices; ++v) {
                LPDIRECTSOUNDBUFFER dup = nullptr;
                if (device_->DuplicateSoundBuffer(first, &dup) != DS_OK) return false;
                voices_.push_back(dup);
            }
            made = static_cast<std::uint32_t>(voices_.size());
        }
        for (std::size_t i = 0; i < voices_.size(); ++i) {
            const double t = voices_.size() > 1 ? static_cast<double>(i) / static_cast<double>(voices_.size() - 1) : 0.5;
            const auto rate = static_cast<DWORD>(11025.0 * std::pow(8.0, t));
            if (voices_[i]->SetFrequency(rate) != DS_OK || voices_[i]->Play(0, 0, DSBPLAY_LOOPING) != DS_OK)
                return false;
        }
        return voices_.size() == voices;
    }

    ~Polyphony() {
        for (auto* v : voices_) v->Release();
        if (device_ != nullptr) device_->Release();
        bankplay::audio::setResampler(-1);
        bankplay::audio::setRenderToMemory(0);
    }

    // Mixes the given frames; returns the largest magnitude heard.
    float render(std::size_t frames) {
        float peak = 0;
        while (frames > 0) {
            const std::size_t n = std::min(frames, kChunkFrames);
            bankplay::audio::renderToMemory(out_, n);
            for (std::size_t i = 0; i < 2 * n; ++i) peak = std::max(peak, std::fabs(out_[i]));
            frames -= n;
        }
        return peak;
    }

private:
    // A few partials at a level that keeps 2048 voices summed in range of
    // the limiter, different for each buffer.
    static void fillSignal(std::int16_t* out, std::size_t n, std::uint32_t seed) {
        const double w = 0.01 + 0.001 * (seed % 50);
        for (std::size_t i = 0; i < n; ++i) {
            const double x = static_cast<double>(i);
            out[i] = static_cast<std::int16_t>(3000.0 * (std::sin(w * x) + 0.5 * std::sin(2.7 * w * x + seed)));
        }
    }

    LPDIRECTSOUND8 device_ = nullptr;
    std::vector<LPDIRECTSOUNDBUFFER> voices_;
    float out_[2 * kChunkFrames] = {};
};

void BM_Mix(benchmark::State& state, int resampler, std::uint32_t voices) {
    Polyphony poly;
    if (!poly.open(resampler, voices)) {
        state.SkipWithError("the voices could not all be made and played");
        return;
    }
    state.SetLabel(bankplay::audio::resamplerName(resampler));
    poly.render(4096);  // past the start of every voice and the limiter's look-ahead
    const std::size_t frames = kOutputRate / 4;
    double cpu = 0;
    float peak = 0;
    for (auto _ : state) {
        const double t0 = bench::threadCpuSeconds();
        peak = poly.render(frames);
        const double t = bench::threadCpuSeconds() - t0;
        state.SetIterationTime(t);
        cpu += t;
    }
    if (!(peak > 0)) state.SkipWithError("the mix was silent");
    const double audio = static_cast<double>(state.iterations() * frames) / kOutputRate;
    state.counters["rtf"] = audio / cpu;
    state.counters["voices"] = voices;
}

}  // namespace

int main(int argc, char** argv) {
    // The engine says which resamplers it has once a device is open.
    std::vector<std::string> names;
    int defaultResampler = -1;
    {
        bankplay::audio::setRenderToMemory(kOutputRate);
        LPDIRECTSOUND8 device = nullptr;
        if (DirectSoundCreate8(nullptr, &device, nullptr) != DS_OK) {
            std::fprintf(stderr, "bench_mix: no render-to-memory device\n");
            return 1;
        }
        for (int i = 0; i < bankplay::audio::resamplerCount(); ++i) names.emplace_back(bankplay::audio::resamplerName(i));
        defaultResampler = bankplay::audio::resamplerInUse();
        device->Release();
        bankplay::audio::setRenderToMemory(0);
    }
    for (int i = 0; i < static_cast<int>(names.size()); ++i) {
        for (std::uint32_t voices : {32u, 256u, 2048u}) {
            const std::string name = "BM_Mix/resampler:" + std::to_string(i) + (i == defaultResampler ? "_default" : "") +
                                     "/voices:" + std::to_string(voices);
            benchmark::RegisterBenchmark(name.c_str(), BM_Mix, i, voices)->UseManualTime()->Unit(benchmark::kMillisecond);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
