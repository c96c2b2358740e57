// A recording test double of the audio interface, linked in place of the
// OpenAL-backed layer. Every call is written to a log; buffer creation can be
// made to fail at the n-th call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/audio/dsound.h"

namespace fake_audio {

struct Voice {
    int id = 0;              // creation order, from 0
    int sampleId = 0;        // the buffer whose memory it shares
    DWORD frequency = 0;
    DWORD position = 0;
    bool playing = false;
    bool released = false;
};

struct Config {
    HRESULT createResult = DS_OK;       // DirectSoundCreate8
    HRESULT cooperativeResult = DS_OK;  // SetCooperativeLevel
    int refuseBuffer = -1;              // CreateSoundBuffer call number (from 1) to refuse
    HRESULT refuseCode = DSERR_BADFORMAT;
    HRESULT lockResult = DS_OK;
    bool refuseDuplicates = false;
};

struct Recorder {
    Config config;
    std::vector<std::string> log;
    std::vector<Voice> voices;
    std::vector<std::vector<std::uint8_t>> samples;  // bytes committed per buffer
    std::vector<WAVEFORMATEX> formats;
    std::vector<DSBUFFERDESC> descs;
    int createCalls = 0;
    int liveHandles = 0;  // device and voices not yet released
};

Recorder& recorder();
// Forgets everything recorded and sets the configuration.
void reset(Config config = {});

}  // namespace fake_audio
