// Test and tool hooks of the OpenAL-backed audio layer: render-to-memory
// output in place of a sound card, and what the layer learned about the
// engine. Linux only; the portable code never includes this.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bankplay::audio {

// From the next DirectSoundCreate8 on, the device renders into memory on
// demand (the engine's loopback device) instead of playing: interleaved
// stereo 32-bit float at sampleRate. Pass 0 to go back to the default output.
void setRenderToMemory(std::uint32_t sampleRate);

// Mixes the next frames of the render-to-memory device into out (2 floats a
// frame). False when no such device is open.
bool renderToMemory(float* out, std::size_t frames);

// The engine's resamplers, by index, and the one voices use.
int resamplerCount();
const char* resamplerName(int index);
int resamplerInUse();

// Chooses the resampler for voices made from now on; -1 leaves the engine's
// default (the user's alsoft.conf).
void setResampler(int index);

}  // namespace bankplay::audio
