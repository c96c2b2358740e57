#include "platform/audio/buffer_format.h"

namespace bankplay::audio {

const char* describeFormatProblem(DWORD bufferBytes, const WAVEFORMATEX& format) {
    if (bufferBytes < DSBSIZE_MIN) return "data length below 4 bytes";
    if (bufferBytes > DSBSIZE_MAX) return "data length above 0x0FFFFFFF bytes";
    if (format.nChannels != 1 && format.nChannels != 2) return "not mono or stereo";
    if (format.wFormatTag == WAVE_FORMAT_PCM) {
        if (format.wBitsPerSample != 8 && format.wBitsPerSample != 16 && format.wBitsPerSample != 24 &&
            format.wBitsPerSample != 32)
            return "PCM that is not 8, 16, 24 or 32 bits";
    } else if (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        if (format.wBitsPerSample != 32) return "float that is not 32 bits";
    } else {
        return "format tag other than PCM (1) or float (3)";
    }
    if (format.nBlockAlign != format.nChannels * (format.wBitsPerSample / 8))
        return "block alignment not channels times bytes per sample";
    if (format.nSamplesPerSec < DSBFREQUENCY_MIN || format.nSamplesPerSec > DSBFREQUENCY_MAX)
        return "sample rate outside 100-200000 Hz";
    return nullptr;
}

HRESULT checkBufferFormat(DWORD bufferBytes, const WAVEFORMATEX& format) {
    if (bufferBytes < DSBSIZE_MIN || bufferBytes > DSBSIZE_MAX) return DSERR_INVALIDPARAM;
    return describeFormatProblem(bufferBytes, format) == nullptr ? DS_OK : DSERR_BADFORMAT;
}

}  // namespace bankplay::audio
