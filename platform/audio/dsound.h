// The audio interface the bank and the voice keys are written against: a
// device that makes sound buffers, buffers that share their sample memory with
// duplicates, and per-voice play state. This is exactly the subset of the
// DirectSound 8 API that the program uses, declared here from its documented
// behaviour; on Linux it is implemented over OpenAL Soft (dsound_openal.cpp).
//
// Threading: every call is made from the program's own thread. The engine mixes
// on a thread of its own; nothing of ours runs there.
#pragma once

#include "platform/types.h"

#pragma pack(push, 1)
// The format record of a sound file, 18 bytes with no padding. For the PCM and
// float formats this layer accepts, cbSize is never read, so the first 16
// bytes are the whole record.
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
#pragma pack(pop)
using LPWAVEFORMATEX = WAVEFORMATEX*;

inline constexpr WORD WAVE_FORMAT_PCM = 1;
inline constexpr WORD WAVE_FORMAT_IEEE_FLOAT = 3;

struct DSBUFFERDESC {
    DWORD dwSize;
    DWORD dwFlags;
    DWORD dwBufferBytes;
    DWORD dwReserved;
    LPWAVEFORMATEX lpwfxFormat;
    GUID guid3DAlgorithm;
};
using LPCDSBUFFERDESC = const DSBUFFERDESC*;

// The descriptor size a 32-bit program passes; the native size is accepted too.
inline constexpr DWORD kDsBufferDescSize32 = 36;

inline constexpr DWORD DSSCL_NORMAL = 0x1;

inline constexpr DWORD DSBCAPS_LOCSOFTWARE = 0x8;
inline constexpr DWORD DSBCAPS_CTRLFREQUENCY = 0x20;
inline constexpr DWORD DSBCAPS_CTRLPAN = 0x40;
inline constexpr DWORD DSBCAPS_CTRLVOLUME = 0x80;
inline constexpr DWORD DSBCAPS_CTRLPOSITIONNOTIFY = 0x100;
inline constexpr DWORD DSBCAPS_GLOBALFOCUS = 0x8000;
inline constexpr DWORD DSBCAPS_GETCURRENTPOSITION2 = 0x10000;
inline constexpr DWORD DSBCAPS_PRIMARYBUFFER = 0x1;

inline constexpr DWORD DSBLOCK_FROMWRITECURSOR = 0x1;
inline constexpr DWORD DSBLOCK_ENTIREBUFFER = 0x2;

inline constexpr DWORD DSBPLAY_LOOPING = 0x1;

inline constexpr DWORD DSBFREQUENCY_ORIGINAL = 0;
inline constexpr DWORD DSBFREQUENCY_MIN = 100;
inline constexpr DWORD DSBFREQUENCY_MAX = 200000;

inline constexpr DWORD DSBSIZE_MIN = 4;
inline constexpr DWORD DSBSIZE_MAX = 0x0FFFFFFF;

inline constexpr HRESULT DS_OK = S_OK;
inline constexpr HRESULT DSERR_BADFORMAT = makeResult(0x88780064u);
inline constexpr HRESULT DSERR_INVALIDPARAM = E_INVALIDARG;
inline constexpr HRESULT DSERR_OUTOFMEMORY = E_OUTOFMEMORY;
inline constexpr HRESULT DSERR_NODRIVER = makeResult(0x88780078u);
inline constexpr HRESULT DSERR_INVALIDCALL = makeResult(0x88780032u);
inline constexpr HRESULT DSERR_GENERIC = E_FAIL;
inline constexpr HRESULT DSERR_NOAGGREGATION = CLASS_E_NOAGGREGATION;
inline constexpr HRESULT DSERR_BUFFERLOST = makeResult(0x88780096u);

// One voice: a sound buffer (or a duplicate of one) with its own play
// position, rate and play state. Handles are reference counted: each handle
// is released exactly once, and the last release of a sounding buffer
// silences it.
struct IDirectSoundBuffer {
    // Hands out writable memory of the buffer: the region from offset to the
    // end of the buffer, then, when the lock wraps, a second region from the
    // start. Unlock commits what was written to the engine.
    virtual HRESULT Lock(DWORD offset, DWORD bytes, LPVOID* audioPtr1, LPDWORD audioBytes1,
                         LPVOID* audioPtr2, LPDWORD audioBytes2, DWORD flags) = 0;
    virtual HRESULT Unlock(LPVOID audioPtr1, DWORD audioBytes1, LPVOID audioPtr2,
                           DWORD audioBytes2) = 0;
    // Halts the voice and keeps its position.
    virtual HRESULT Stop() = 0;
    // Moves the play position, in bytes from the start of the buffer.
    virtual HRESULT SetCurrentPosition(DWORD newPosition) = 0;
    // Sets the playback rate in Hz; DSBFREQUENCY_ORIGINAL restores the
    // buffer's own rate. A rate outside DSBFREQUENCY_MIN..MAX is refused and
    // the old rate stays.
    virtual HRESULT SetFrequency(DWORD frequency) = 0;
    // Starts the voice at its position. Flags 0 plays once to the end of the
    // buffer, where the voice stops by itself; playing a sounding voice again
    // leaves it sounding.
    virtual HRESULT Play(DWORD reserved1, DWORD priority, DWORD flags) = 0;
    virtual ULONG Release() = 0;

protected:
    ~IDirectSoundBuffer() = default;
};
using LPDIRECTSOUNDBUFFER = IDirectSoundBuffer*;

// The audio device. Buffers keep the device alive until they are released, so
// releasing the device after its buffers frees everything.
struct IDirectSound8 {
    virtual HRESULT SetCooperativeLevel(HWND window, DWORD level) = 0;
    // Validates the descriptor and its format record (PCM 8/16/24/32-bit or
    // 32-bit float, mono or stereo, 100 to 200000 Hz, a consistent block
    // alignment, 4 to 0x0FFFFFFF bytes) and makes a silent buffer.
    virtual HRESULT CreateSoundBuffer(LPCDSBUFFERDESC desc, LPDIRECTSOUNDBUFFER* buffer,
                                      LPUNKNOWN outer) = 0;
    // A second voice over the same sample memory, with its own position, rate
    // and play state.
    virtual HRESULT DuplicateSoundBuffer(LPDIRECTSOUNDBUFFER original,
                                         LPDIRECTSOUNDBUFFER* duplicate) = 0;
    virtual ULONG Release() = 0;

protected:
    ~IDirectSound8() = default;
};
using LPDIRECTSOUND8 = IDirectSound8*;

// Opens the default output device (device must be null). Fails with
// DSERR_NODRIVER when there is no output; the reason the sound system gave is
// written to standard error when the process exits, after the caller's own
// message.
HRESULT DirectSoundCreate8(LPCGUID device, LPDIRECTSOUND8* directSound, LPUNKNOWN outer);
