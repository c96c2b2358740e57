// The whole load path over arbitrary bytes: the image, the scan, the bank's
// buffers on the render-to-memory device, a short render, and the release.
#include <cstdio>
#include <span>

#include "bank/bank_image.h"
#include "bank/sound_bank.h"
#include "platform/audio/render.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The bank prints its refusals; they are expected here.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    bankplay::audio::setRenderToMemory(8000);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto image = bankplay::BankImage::fromBytes(std::as_bytes(std::span(data, size)));
    if (!image) return 0;
    bankplay::SoundBank bank;
    if (bank.init(reinterpret_cast<HWND>(1), *image) == 0 && bank.instrumentCount() > 0) {
        // Sound the first voice of each instrument briefly: the engine reads
        // every committed buffer.
        for (std::uint32_t i = 0; i < bank.instrumentCount(); ++i)
            if (auto* v = bank.row(i)[0]) v->Play(0, 0, 0);
        float out[2 * 64];
        bankplay::audio::renderToMemory(out, 64);
    }
    image.reset();
    bank.release();
    return 0;
}
