#include "bank/sound_bank.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/fakes/fake_audio.h"
#include "tests/support/wav_bytes.h"

using namespace bankplay;
using testwav::Bytes;

namespace {

BankImage imageOf(const Bytes& b) { return *BankImage::fromBytes(std::as_bytes(std::span(b.data(), b.size()))); }

Bytes bankOf(std::size_t samples) {
    Bytes all;
    for (std::size_t i = 0; i < samples; ++i) {
        const Bytes w = testwav::wav({}, testwav::pattern(64 + i % 7, static_cast<std::uint8_t>(i)));
        all.insert(all.end(), w.begin(), w.end());
    }
    return all;
}

HWND someWindow() { return reinterpret_cast<HWND>(0x10); }

std::size_t countOf(const std::vector<std::string>& log, const std::string& prefix) {
    return static_cast<std::size_t>(
        std::count_if(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

TEST(SoundBank, ThreeSamplesFillThreeRowsOfEight) {
    fake_audio::reset();
    const Bytes file = bankOf(3);
    SoundBank bank;
    ASSERT_EQ(bank.init(someWindow(), imageOf(file)), 0);
    EXPECT_EQ(bank.instrumentCount(), 3u);
    for (std::uint32_t i = 0; i < 3; ++i)
        for (auto* v : bank.row(i)) EXPECT_NE(v, nullptr);
    for (std::uint32_t i = 3; i < kMaxInstruments; ++i)
        for (auto* v : bank.row(i)) EXPECT_EQ(v, nullptr);

    const auto& r = fake_audio::recorder();
    EXPECT_EQ(r.log[0], "DirectSoundCreate8");
    EXPECT_EQ(r.log[1], "SetCooperativeLevel window 1");
    EXPECT_EQ(r.log[2], "CreateSoundBuffer 64");
    EXPECT_EQ(r.log[3], "Lock 0 0 64 0");
    EXPECT_EQ(r.log[4], "Unlock 0 64 - 0");
    EXPECT_EQ(countOf(r.log, "DuplicateSoundBuffer"), 21u);
    // The descriptor and the sample's bytes as the file holds them.
    ASSERT_EQ(r.descs.size(), 3u);
    EXPECT_EQ(r.descs[1].dwSize, 36u);
    EXPECT_EQ(r.descs[1].dwFlags, 0x181E8u);
    EXPECT_EQ(r.descs[1].dwBufferBytes, 65u);
    EXPECT_EQ(DWORD{r.formats[1].nSamplesPerSec}, 44100u);  // copies: the record is packed
    EXPECT_EQ(WORD{r.formats[1].wBitsPerSample}, 16);
    EXPECT_EQ(r.samples[1], testwav::pattern(65, 1));
    // Duplicates share the sample of slot 0.
    EXPECT_EQ(r.voices[9].sampleId, 1);
    EXPECT_EQ(r.voices.size(), 24u);
    EXPECT_EQ(countOf(r.log, "Play"), 0u);  // the bank never plays a voice itself

    bank.release();
    EXPECT_EQ(r.liveHandles, 0);
    EXPECT_EQ(r.log.back(), "Release device");  // voices go before the device
    const auto calls = r.log.size();
    bank.release();
    EXPECT_EQ(r.log.size(), calls);  // a second release makes no call
}

TEST(SoundBank, LoadsAtMost256Instruments) {
    fake_audio::reset();
    SoundBank bank;
    ASSERT_EQ(bank.init(someWindow(), imageOf(bankOf(300))), 0);
    EXPECT_EQ(bank.instrumentCount(), 256u);
    EXPECT_EQ(fake_audio::recorder().createCalls, 256);
    EXPECT_NE(bank.row(255)[7], nullptr);
}

TEST(SoundBank, ZeroDataLengthLoopEndsAt256) {
    // A data length of 0 finds the same magic again: the table's limit ends it.
    fake_audio::reset();
    SoundBank bank;
    ASSERT_EQ(bank.init(someWindow(), imageOf(testwav::wav({}, {}))), 0);
    EXPECT_EQ(bank.instrumentCount(), 256u);
}

TEST(SoundBank, NoMagicLoadsNothing) {
    fake_audio::reset();
    SoundBank bank;
    EXPECT_EQ(bank.init(someWindow(), imageOf(testwav::pattern(1000))), 0);
    EXPECT_EQ(bank.instrumentCount(), 0u);
    EXPECT_EQ(fake_audio::recorder().createCalls, 0);
}

TEST(SoundBank, RefusedBufferEndsTheLoadWithItsMessage) {
    fake_audio::Config config;
    config.refuseBuffer = 2;
    config.refuseCode = DSERR_BADFORMAT;
    fake_audio::reset(config);
    SoundBank bank;
    ::testing::internal::CaptureStdout();
    const HRESULT hr = bank.init(someWindow(), imageOf(bankOf(3)));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Failed DirectSound CreateSoundBuffer:88780064");
    EXPECT_EQ(hr, DSERR_BADFORMAT);
    EXPECT_EQ(bank.instrumentCount(), 1u);
    EXPECT_NE(bank.row(0)[0], nullptr);  // no rollback
    EXPECT_EQ(bank.row(1)[0], nullptr);
    EXPECT_EQ(fake_audio::recorder().createCalls, 2);
    bank.release();
    EXPECT_EQ(fake_audio::recorder().liveHandles, 0);
}

TEST(SoundBank, DeviceFailuresPrintTheirMessage) {
    struct Case {
        fake_audio::Config config;
        const char* message;
        HRESULT code;
    };
    fake_audio::Config noDevice;
    noDevice.createResult = DSERR_NODRIVER;
    fake_audio::Config noCooperation;
    noCooperation.cooperativeResult = 1;  // a success code other than 0 still fails
    for (const Case& c : {Case{noDevice, "Failed DirectSoundCreate8:88780078\n", DSERR_NODRIVER},
                          Case{noCooperation, "Failed DirectSound SetCooperativeLevel:00000001\n", 1}}) {
        fake_audio::reset(c.config);
        SoundBank bank;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(bank.init(someWindow(), imageOf(bankOf(2))), c.code);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.message);
        EXPECT_EQ(fake_audio::recorder().createCalls, 0);
        bank.release();
        EXPECT_EQ(fake_audio::recorder().liveHandles, 0);
    }
}

TEST(SoundBank, FailedLockAndDuplicatesStillRegisterTheInstrument) {
    fake_audio::Config config;
    config.lockResult = DSERR_INVALIDCALL;
    config.refuseDuplicates = true;
    fake_audio::reset(config);
    SoundBank bank;
    ASSERT_EQ(bank.init(someWindow(), imageOf(bankOf(2))), 0);
    EXPECT_EQ(bank.instrumentCount(), 2u);
    EXPECT_NE(bank.row(1)[0], nullptr);
    EXPECT_EQ(bank.row(1)[1], nullptr);  // no duplicate given: the slot stays empty
    EXPECT_EQ(countOf(fake_audio::recorder().log, "Unlock"), 0u);
}

TEST(SoundBank, CutHeaderAndDataAreHandedOverSafely) {
    // A data length running far past the image: the buffer is asked for the
    // header's size and receives what the image holds, zeros after it.
    fake_audio::reset();
    const Bytes file = testwav::wav({}, testwav::pattern(8), 4000);
    SoundBank bank;
    ASSERT_EQ(bank.init(someWindow(), imageOf(file)), 0);
    const auto& sample = fake_audio::recorder().samples.at(0);
    ASSERT_EQ(sample.size(), 4000u);
    EXPECT_TRUE(std::equal(sample.begin(), sample.begin() + 8, testwav::pattern(8).begin()));
    // Bytes past the file come from the zero tail, then stop at the image's end.
    EXPECT_TRUE(std::all_of(sample.begin() + 8, sample.end(), [](auto b) { return b == 0; }));

    // A "RIFF" too near the end of a tiny file: the record handed over is
    // zero where the image has no bytes.
    fake_audio::reset();
    SoundBank tiny;
    ASSERT_EQ(tiny.init(someWindow(), imageOf(testwav::text("..RIFF"))), 0);
    ASSERT_FALSE(fake_audio::recorder().formats.empty());
    EXPECT_EQ(WORD{fake_audio::recorder().formats[0].nChannels}, 0);
    EXPECT_EQ(fake_audio::recorder().descs[0].dwBufferBytes, 0u);
}

}  // namespace
