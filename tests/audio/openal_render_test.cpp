// The OpenAL-backed audio layer, heard through its render-to-memory device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include <malloc.h>

#include "platform/audio/dsound.h"
#include "platform/audio/render.h"
#include "tests/support/signal.h"
#include "tests/support/wav_bytes.h"

namespace {

constexpr std::uint32_t kOutputRate = 44100;

WAVEFORMATEX formatOf(WORD tag, WORD channels, DWORD rate, WORD bits) {
    WAVEFORMATEX f{};
    f.wFormatTag = tag;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

class RenderedAudio : public ::testing::Test {
protected:
    void SetUp() override {
        bankplay::audio::setRenderToMemory(kOutputRate);
        ASSERT_EQ(DirectSoundCreate8(nullptr, &device_, nullptr), DS_OK);
        ASSERT_EQ(device_->SetCooperativeLevel(reinterpret_cast<HWND>(1), DSSCL_NORMAL), DS_OK);
    }
    void TearDown() override {
        for (auto* b : buffers_) b->Release();
        if (device_) {
            EXPECT_EQ(device_->Release(), 0u);
        }
        bankplay::audio::setRenderToMemory(0);
    }

    // A buffer holding the given bytes, made and filled the way the bank does.
    LPDIRECTSOUNDBUFFER buffer(const WAVEFORMATEX& format, const testwav::Bytes& bytes) {
        WAVEFORMATEX f = format;
        DSBUFFERDESC desc{};
        desc.dwSize = 36;
        desc.dwFlags = 0x181E8;
        desc.dwBufferBytes = static_cast<DWORD>(bytes.size());
        desc.lpwfxFormat = &f;
        LPDIRECTSOUNDBUFFER b = nullptr;
        EXPECT_EQ(device_->CreateSoundBuffer(&desc, &b, nullptr), DS_OK);
        if (!b) return nullptr;
        LPVOID p1 = nullptr, p2 = nullptr;
        DWORD n1 = 0, n2 = 0;
        EXPECT_EQ(b->Lock(0, desc.dwBufferBytes, &p1, &n1, &p2, &n2, 0), DS_OK);
        EXPECT_EQ(n1, desc.dwBufferBytes);
        EXPECT_EQ(p2, nullptr);
        std::memcpy(p1, bytes.data(), n1);
        EXPECT_EQ(b->Unlock(p1, n1, p2, n2), DS_OK);
        buffers_.push_back(b);
        return b;
    }
    LPDIRECTSOUNDBUFFER duplicate(LPDIRECTSOUNDBUFFER original) {
        LPDIRECTSOUNDBUFFER d = nullptr;
        EXPECT_EQ(device_->DuplicateSoundBuffer(original, &d), DS_OK);
        if (d) buffers_.push_back(d);
        return d;
    }
    static void fire(LPDIRECTSOUNDBUFFER b, DWORD rate) {
        b->Stop();
        b->SetCurrentPosition(0);
        EXPECT_EQ(b->SetFrequency(rate), DS_OK);
        EXPECT_EQ(b->Play(0, 0, 0), DS_OK);
    }
    // The engine's output limiter looks 1 ms ahead: a change reaches the
    // output that much later. This renders past it.
    static void settle() { render(128); }
    static std::vector<float> render(std::size_t frames) {
        std::vector<float> out(frames * 2);
        EXPECT_TRUE(bankplay::audio::renderToMemory(out.data(), frames));
        return out;
    }

    LPDIRECTSOUND8 device_ = nullptr;
    std::vector<LPDIRECTSOUNDBUFFER> buffers_;
};

const WAVEFORMATEX kMono16 = formatOf(WAVE_FORMAT_PCM, 1, 44100, 16);

TEST_F(RenderedAudio, PitchFollowsTheRate) {
    // A 1 kHz sine recorded at 44100 Hz, played at the rates of the A and F
    // keys, sounds at 1000 * rate / 44100 Hz.
    auto* voice = buffer(kMono16, testwav::sine16(1000, 44100, 44100));
    for (DWORD rate : {16126u, 30443u, 44100u, 88200u}) {
        fire(voice, rate);
        const auto left = testsignal::channel(render(kOutputRate / 4), 0);
        const double expected = 1000.0 * rate / 44100.0;
        const double measured = testsignal::frequency(left, kOutputRate);
        EXPECT_NEAR(testsignal::cents(measured, expected), 0.0, 1.0) << "rate " << rate << ": " << measured << " Hz";
    }
}

TEST_F(RenderedAudio, VoiceStopsByItselfAtItsEnd) {
    auto* voice = buffer(kMono16, testwav::sine16(441, 44100, 4410));  // 0.1 s
    fire(voice, 22050);                                                 // half speed: 0.2 s
    const auto left = testsignal::channel(render(kOutputRate / 2), 0);
    const long last = testsignal::lastSounding(left);
    EXPECT_NEAR(static_cast<double>(last), 8820.0, 50.0);
    // Played again from the start, it sounds again.
    fire(voice, 44100);
    EXPECT_GT(testsignal::peak(render(1000)), 0.4f);
}

TEST_F(RenderedAudio, MonoIsAtFullLevelOnBothChannelsAndStereoKeepsItsSides) {
    fire(buffer(kMono16, testwav::sine16(500, 44100, 44100, 0.5)), 44100);
    auto out = render(4410);
    EXPECT_NEAR(testsignal::peak(testsignal::channel(out, 0)), 0.5, 0.005);
    EXPECT_NEAR(testsignal::peak(testsignal::channel(out, 1)), 0.5, 0.005);
    for (auto* b : buffers_) b->Stop();
    settle();

    // Stereo with the sine on the left only.
    const auto mono = testwav::sine16(500, 44100, 44100, 0.5);
    testwav::Bytes stereo(mono.size() * 2, 0);
    for (std::size_t i = 0; i < mono.size() / 2; ++i) std::memcpy(&stereo[4 * i], &mono[2 * i], 2);
    fire(buffer(formatOf(WAVE_FORMAT_PCM, 2, 44100, 16), stereo), 44100);
    out = render(4410);
    EXPECT_NEAR(testsignal::peak(testsignal::channel(out, 0)), 0.5, 0.005);
    EXPECT_LT(testsignal::peak(testsignal::channel(out, 1)), 1e-4);
}

TEST_F(RenderedAudio, DuplicatesShareTheSamplesButPlayOnTheirOwn) {
    auto* original = buffer(kMono16, testwav::sine16(1000, 44100, 44100, 0.25));
    auto* copy = duplicate(original);
    ASSERT_NE(copy, nullptr);
    fire(original, 44100);
    fire(copy, 22050);
    original->Stop();
    settle();
    // The copy plays on at its own rate.
    const auto left = testsignal::channel(render(kOutputRate / 4), 0);
    EXPECT_NEAR(testsignal::cents(testsignal::frequency(left, kOutputRate), 500.0), 0.0, 1.0);
    EXPECT_NEAR(testsignal::peak(left), 0.25, 0.01);
    // Releasing the sounding copy silences it.
    copy->Release();
    buffers_.erase(std::find(buffers_.begin(), buffers_.end(), copy));
    settle();
    EXPECT_LT(testsignal::peak(render(2000)), 1e-4);
}

TEST_F(RenderedAudio, StopKeepsThePositionAndPlayOfASoundingVoiceKeepsIt) {
    // A ramp from silence: the level shows the position.
    testwav::Bytes ramp(2 * 44100);
    for (std::size_t i = 0; i < 44100; ++i) testwav::putU16(ramp, 2 * i, static_cast<std::uint16_t>(i * 32767 / 44100));
    auto* voice = buffer(kMono16, ramp);
    fire(voice, 44100);
    render(22050);                 // half way: level 0.5
    voice->Stop();
    settle();
    EXPECT_LT(testsignal::peak(render(100)), 1e-4);
    voice->Play(0, 0, 0);          // resumes where it stopped
    auto left = testsignal::channel(render(100), 0);
    EXPECT_NEAR(left[50], 0.5, 0.01);
    voice->Play(0, 0, 0);          // already sounding: no restart
    left = testsignal::channel(render(100), 0);
    EXPECT_NEAR(left[50], 0.5, 0.01);
    voice->SetCurrentPosition(2 * 11025);  // seek in bytes while sounding
    settle();
    left = testsignal::channel(render(100), 0);
    EXPECT_NEAR(left[50], 0.25, 0.02);
}

TEST_F(RenderedAudio, RefusedRateKeepsTheOldOne) {
    auto* voice = buffer(kMono16, testwav::sine16(1000, 44100, 44100));
    EXPECT_EQ(voice->SetFrequency(22050), DS_OK);
    for (DWORD bad : {1u, 99u, 200001u, 0xFFFFFFFFu}) EXPECT_EQ(voice->SetFrequency(bad), DSERR_INVALIDPARAM);
    EXPECT_EQ(voice->Play(0, 0, 0), DS_OK);
    const auto left = testsignal::channel(render(kOutputRate / 4), 0);
    EXPECT_NEAR(testsignal::cents(testsignal::frequency(left, kOutputRate), 500.0), 0.0, 1.0);
    EXPECT_EQ(voice->SetFrequency(DSBFREQUENCY_ORIGINAL), DS_OK);
    EXPECT_EQ(voice->SetCurrentPosition(2 * 44100), DSERR_INVALIDPARAM);  // past the end
}

TEST_F(RenderedAudio, LoudMixIsLimitedNotWrapped) {
    // Eight full-scale voices in phase: eight times full scale before the limiter.
    auto* voice = buffer(kMono16, testwav::sine16(200, 44100, 44100, 1.0));
    fire(voice, 44100);
    for (int i = 0; i < 7; ++i) fire(duplicate(voice), 44100);
    const auto left = testsignal::channel(render(kOutputRate / 2), 0);
    EXPECT_LE(testsignal::peak(left), 1.001f);
    // Still a 200 Hz wave, not folded-over noise.
    std::vector<float> tail(left.begin() + 11025, left.end());
    EXPECT_NEAR(testsignal::cents(testsignal::frequency(tail, kOutputRate), 200.0), 0.0, 5.0);
}

TEST_F(RenderedAudio, EveryFormatSoundsAtItsLevel) {
    struct Case {
        WAVEFORMATEX format;
        std::function<void(testwav::Bytes&, std::size_t, double)> put;
    };
    const std::vector<Case> cases = {
        {formatOf(WAVE_FORMAT_PCM, 1, 44100, 8),
         [](testwav::Bytes& b, std::size_t i, double v) { b[i] = static_cast<std::uint8_t>(std::lround(128 + 127 * v)); }},
        {formatOf(WAVE_FORMAT_PCM, 1, 44100, 24),
         [](testwav::Bytes& b, std::size_t i, double v) {
             const auto s = static_cast<std::int32_t>(std::lround(v * 8388607));
             for (int k = 0; k < 3; ++k) b[3 * i + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(s >> (8 * k));
         }},
        {formatOf(WAVE_FORMAT_PCM, 1, 44100, 32),
         [](testwav::Bytes& b, std::size_t i, double v) {
             testwav::putU32(b, 4 * i, static_cast<std::uint32_t>(static_cast<std::int32_t>(std::lround(v * 2147483647.0))));
         }},
        {formatOf(WAVE_FORMAT_IEEE_FLOAT, 1, 44100, 32),
         [](testwav::Bytes& b, std::size_t i, double v) {
             const float f = static_cast<float>(v);
             std::memcpy(&b[4 * i], &f, 4);
         }},
    };
    for (const Case& c : cases) {
        testwav::Bytes bytes(4410 * c.format.nBlockAlign);
        for (std::size_t i = 0; i < 4410; ++i) c.put(bytes, i, 0.5 * std::sin(2 * M_PI * 441 * static_cast<double>(i) / 44100));
        auto* voice = buffer(c.format, bytes);
        fire(voice, 44100);
        const auto left = testsignal::channel(render(4410), 0);
        EXPECT_NEAR(testsignal::peak(left), 0.5, 0.01) << c.format.wFormatTag << "/" << c.format.wBitsPerSample;
        voice->Stop();
    }
}

TEST_F(RenderedAudio, NonFiniteFloatsAreSilenced) {
    testwav::Bytes bytes(4 * 1000);
    const float values[] = {NAN, INFINITY, -INFINITY, 1e30f};
    for (std::size_t i = 0; i < 1000; ++i) std::memcpy(&bytes[4 * i], &values[i % 4], 4);
    auto* wild = buffer(formatOf(WAVE_FORMAT_IEEE_FLOAT, 1, 44100, 32), bytes);
    fire(wild, 44100);
    for (float v : render(1000)) ASSERT_TRUE(std::isfinite(v)) << v;
    wild->Stop();
    settle();
    // The mix carries on normally afterwards.
    fire(buffer(kMono16, testwav::sine16(441, 44100, 4410, 0.5)), 44100);
    EXPECT_NEAR(testsignal::peak(render(2000)), 0.5, 0.01);
}

TEST_F(RenderedAudio, BadDescriptorsAreRefusedWithTheirCodes) {
    struct Case {
        const char* what;
        WAVEFORMATEX format;
        DWORD bytes;
        HRESULT code;
    };
    auto withBlock = [](WAVEFORMATEX f, WORD block) { f.nBlockAlign = block; return f; };
    const Case cases[] = {
        {"zero bytes", kMono16, 0, DSERR_INVALIDPARAM},
        {"three bytes", kMono16, 3, DSERR_INVALIDPARAM},
        {"too large", kMono16, 0x10000000, DSERR_INVALIDPARAM},
        {"no channels", formatOf(1, 0, 44100, 16), 100, DSERR_BADFORMAT},
        {"three channels", formatOf(1, 3, 44100, 16), 100, DSERR_BADFORMAT},
        {"nine channels", formatOf(1, 9, 44100, 16), 100, DSERR_BADFORMAT},
        {"bits 0", formatOf(1, 1, 44100, 0), 100, DSERR_BADFORMAT},
        {"bits 12", formatOf(1, 1, 44100, 12), 100, DSERR_BADFORMAT},
        {"float 64", formatOf(3, 1, 44100, 64), 100, DSERR_BADFORMAT},
        {"tag 2", formatOf(2, 1, 44100, 16), 100, DSERR_BADFORMAT},
        {"tag 0xFFFE", formatOf(0xFFFE, 1, 44100, 16), 100, DSERR_BADFORMAT},
        {"block align", withBlock(kMono16, 4), 100, DSERR_BADFORMAT},
        {"rate 99", formatOf(1, 1, 99, 16), 100, DSERR_BADFORMAT},
        {"rate 200001", formatOf(1, 1, 200001, 16), 100, DSERR_BADFORMAT},
    };
    for (const Case& c : cases) {
        WAVEFORMATEX f = c.format;
        DSBUFFERDESC desc{};
        desc.dwSize = 36;
        desc.dwFlags = 0x181E8;
        desc.dwBufferBytes = c.bytes;
        desc.lpwfxFormat = &f;
        LPDIRECTSOUNDBUFFER b = reinterpret_cast<LPDIRECTSOUNDBUFFER>(1);
        EXPECT_EQ(device_->CreateSoundBuffer(&desc, &b, nullptr), c.code) << c.what;
        EXPECT_EQ(b, nullptr) << c.what;
    }
    // The edges that are accepted.
    for (DWORD rate : {100u, 200000u}) {
        WAVEFORMATEX f = formatOf(1, 2, rate, 8);
        DSBUFFERDESC desc{36, 0x181E8, 4, 0, &f, {}};
        LPDIRECTSOUNDBUFFER b = nullptr;
        EXPECT_EQ(device_->CreateSoundBuffer(&desc, &b, nullptr), DS_OK);
        if (b) b->Release();
    }
}

TEST(RenderedAudioDevice, HoldsAFullBankOfVoicesAndFreesThemInAnyOrder) {
    bankplay::audio::setRenderToMemory(kOutputRate);
    LPDIRECTSOUND8 device = nullptr;
    ASSERT_EQ(DirectSoundCreate8(nullptr, &device, nullptr), DS_OK);
    std::vector<LPDIRECTSOUNDBUFFER> voices;
    WAVEFORMATEX f = kMono16;
    const auto bytes = testwav::sine16(441, 44100, 441);
    for (int instrument = 0; instrument < 256; ++instrument) {
        DSBUFFERDESC desc{36, 0x181E8, static_cast<DWORD>(bytes.size()), 0, &f, {}};
        LPDIRECTSOUNDBUFFER b = nullptr;
        ASSERT_EQ(device->CreateSoundBuffer(&desc, &b, nullptr), DS_OK) << instrument;
        voices.push_back(b);
        for (int slot = 1; slot < 8; ++slot) {
            LPDIRECTSOUNDBUFFER d = nullptr;
            ASSERT_EQ(device->DuplicateSoundBuffer(b, &d), DS_OK) << instrument << "/" << slot;
            voices.push_back(d);
        }
    }
    for (auto* v : voices) v->Play(0, 0, 0);
    std::vector<float> out(2 * 512);
    EXPECT_TRUE(bankplay::audio::renderToMemory(out.data(), 512));
    // The device goes first here: voices keep it alive until the last is gone.
    device->Release();
    for (auto* v : voices) v->Release();
    EXPECT_FALSE(bankplay::audio::renderToMemory(out.data(), 512));
    bankplay::audio::setRenderToMemory(0);
}

}  // namespace

namespace {

// Bytes of heap in use, or 0 when a sanitizer's allocator hides it.
std::size_t heapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return 0;
#else
    return mallinfo2().uordblks;
#endif
}

TEST_F(RenderedAudio, FiringAndStoppingThousandsOfTimesDoesNotGrowMemory) {
    auto* voice = buffer(kMono16, testwav::sine16(441, 44100, 4410));
    std::vector<LPDIRECTSOUNDBUFFER> voices = {voice};
    for (int i = 0; i < 7; ++i) voices.push_back(duplicate(voice));
    std::vector<float> out(2 * 64);
    auto round = [&](int times) {
        for (int i = 0; i < times; ++i) {
            auto* v = voices[static_cast<std::size_t>(i) % voices.size()];
            fire(v, 16126 + static_cast<DWORD>(i % 500));
            if (i % 3 == 0) v->Stop();
            bankplay::audio::renderToMemory(out.data(), 64);
        }
    };
    round(1000);
    const std::size_t before = heapInUse();
    round(5000);
    const std::size_t after = heapInUse();
    EXPECT_LE(after, before + 64 * 1024) << "heap grew from " << before << " to " << after;
}

}  // namespace
