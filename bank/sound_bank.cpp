#include "bank/sound_bank.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace bankplay {

namespace {

constexpr DWORD kBufferFlags = DSBCAPS_LOCSOFTWARE | DSBCAPS_CTRLFREQUENCY | DSBCAPS_CTRLPAN |
                               DSBCAPS_CTRLVOLUME | DSBCAPS_CTRLPOSITIONNOTIFY | DSBCAPS_GLOBALFOCUS |
                               DSBCAPS_GETCURRENTPOSITION2;
static_assert(kBufferFlags == 0x181E8);

unsigned code(HRESULT hr) { return static_cast<unsigned>(hr); }

}  // namespace

HRESULT SoundBank::init(HWND window, const BankImage& image) {
    HRESULT hr = DirectSoundCreate8(nullptr, &device_, nullptr);
    if (hr != 0) {
        device_ = nullptr;
        std::printf("Failed DirectSoundCreate8:%08X\n", code(hr));
        return hr;
    }
    hr = device_->SetCooperativeLevel(window, DSSCL_NORMAL);
    if (hr != 0) {
        std::printf("Failed DirectSound SetCooperativeLevel:%08X\n", code(hr));
        return hr;
    }

    std::uint32_t position = 0;
    while (instrumentCount_ < kMaxInstruments) {
        const auto sample = findNextSample(image, position);
        if (!sample) return 0;

        // The device reads an 18-byte record. A header cut short at the end of
        // the image has fewer bytes than that, so the record is handed over
        // from a zero-filled copy rather than from the image itself.
        WAVEFORMATEX format{};
        if (!sample->format.empty())
            std::memcpy(&format, sample->format.data(), std::min<std::size_t>(sample->format.size(), kFormatBytes));

        DSBUFFERDESC desc{};
        desc.dwSize = kDsBufferDescSize32;
        desc.dwFlags = kBufferFlags;
        desc.dwBufferBytes = sample->dataLength;
        desc.dwReserved = 0;
        desc.lpwfxFormat = &format;
        desc.guid3DAlgorithm = GUID{};

        Row& row = voices_[instrumentCount_];
        hr = device_->CreateSoundBuffer(&desc, &row[0], nullptr);
        if (hr != 0) {
            row[0] = nullptr;
            std::printf("Failed DirectSound CreateSoundBuffer:%08X", code(hr));
            return hr;
        }

        LPVOID region1 = nullptr;
        DWORD bytes1 = 0;
        LPVOID region2 = nullptr;
        DWORD bytes2 = 0;
        if (row[0]->Lock(0, sample->dataLength, &region1, &bytes1, &region2, &bytes2, 0) == 0) {
            // Data cut at the end of the image copies what the image holds;
            // the rest of the fresh buffer stays silent.
            const std::size_t copied = std::min<std::size_t>(bytes1, sample->data.size());
            if (region1 != nullptr && copied != 0) std::memcpy(region1, sample->data.data(), copied);
            (void)row[0]->Unlock(region1, bytes1, region2, bytes2);
        }

        for (std::uint32_t slot = 1; slot < kVoicesPerInstrument; ++slot) {
            LPDIRECTSOUNDBUFFER duplicate = nullptr;
            (void)device_->DuplicateSoundBuffer(row[0], &duplicate);
            row[slot] = duplicate;
        }

        ++instrumentCount_;
        position = sample->resumeOffset;
    }
    return 0;
}

void SoundBank::release() {
    for (Row& row : voices_) {
        for (LPDIRECTSOUNDBUFFER& voice : row) {
            if (voice != nullptr) {
                voice->Release();
                voice = nullptr;
            }
        }
    }
    if (device_ != nullptr) {
        device_->Release();
        device_ = nullptr;
    }
}

}  // namespace bankplay
