// The sound bank: the audio device and a fixed table of voices, eight per
// instrument, made from the samples of a bank image.
#pragma once

#include <array>
#include <cstdint>

#include "bank/bank_image.h"
#include "bank/limits.h"
#include "platform/audio/dsound.h"

namespace bankplay {

class SoundBank {
public:
    using Row = std::array<LPDIRECTSOUNDBUFFER, kVoicesPerInstrument>;

    SoundBank() = default;
    ~SoundBank() { release(); }
    SoundBank(const SoundBank&) = delete;
    SoundBank& operator=(const SoundBank&) = delete;

    // Opens the default output device in normal cooperation with window and
    // turns each sample of the image into one instrument: a buffer holding a
    // copy of the sample's bytes in slot 0 and seven duplicates sharing them.
    // Returns 0, or the code of the first failing device call after printing
    // its message. Instruments made before a refused sample stay in the table
    // until release. Called once, on a fresh bank.
    HRESULT init(HWND window, const BankImage& image);

    // Releases every voice, then the device. Safe to call any number of times.
    void release();

    std::uint32_t instrumentCount() const { return instrumentCount_; }
    // The voices of instrument i (i < kMaxInstruments); a slot may be empty.
    const Row& row(std::uint32_t i) const { return voices_[i]; }

private:
    LPDIRECTSOUND8 device_ = nullptr;
    std::array<Row, kMaxInstruments> voices_{};
    std::uint32_t instrumentCount_ = 0;
};

}  // namespace bankplay
