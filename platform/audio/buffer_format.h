// The rules by which the audio layer accepts a sound buffer, shared with the
// tools that report in advance what a bank will load.
#pragma once

#include "platform/audio/dsound.h"

namespace bankplay::audio {

// DS_OK when a buffer of these bytes and this format can be made; otherwise
// DSERR_INVALIDPARAM (size outside DSBSIZE_MIN..DSBSIZE_MAX) or
// DSERR_BADFORMAT (anything but 8-bit unsigned, 16/24/32-bit signed PCM or
// 32-bit float; not mono or stereo; a block alignment other than channels
// times bytes per sample; a rate outside DSBFREQUENCY_MIN..MAX).
HRESULT checkBufferFormat(DWORD bufferBytes, const WAVEFORMATEX& format);

// A one-line reason for a refusal by checkBufferFormat, for messages.
const char* describeFormatProblem(DWORD bufferBytes, const WAVEFORMATEX& format);

}  // namespace bankplay::audio
