#include "tests/fakes/fake_audio.h"

#include <cstring>

namespace fake_audio {

Recorder& recorder() {
    static Recorder r;
    return r;
}

void reset(Config config) {
    recorder() = Recorder{};
    recorder().config = config;
}

namespace {

void note(std::string line) { recorder().log.push_back(std::move(line)); }

class Buffer final : public IDirectSoundBuffer {
public:
    Buffer(int id, int sampleId, DWORD bytes) : id_(id), sampleId_(sampleId), bytes_(bytes) {
        recorder().voices.push_back(Voice{id, sampleId, 0, 0, false, false});
        ++recorder().liveHandles;
    }
    Voice& voice() { return recorder().voices[static_cast<std::size_t>(id_)]; }
    int sampleId() const { return sampleId_; }
    DWORD bytes() const { return bytes_; }

    HRESULT Lock(DWORD offset, DWORD bytes, LPVOID* p1, LPDWORD n1, LPVOID* p2, LPDWORD n2, DWORD flags) override {
        note("Lock " + std::to_string(id_) + " " + std::to_string(offset) + " " + std::to_string(bytes) + " " +
             std::to_string(flags));
        if (recorder().config.lockResult != DS_OK) return recorder().config.lockResult;
        staging_.assign(bytes_, 0);
        *p1 = staging_.data();
        *n1 = bytes;
        if (p2) *p2 = nullptr;
        if (n2) *n2 = 0;
        return DS_OK;
    }
    HRESULT Unlock(LPVOID p1, DWORD n1, LPVOID p2, DWORD n2) override {
        note("Unlock " + std::to_string(id_) + " " + std::to_string(n1) + " " + (p2 ? "p2" : "-") + " " +
             std::to_string(n2));
        if (p1 == staging_.data()) recorder().samples[static_cast<std::size_t>(sampleId_)] = staging_;
        return DS_OK;
    }
    HRESULT Stop() override {
        note("Stop " + std::to_string(id_));
        voice().playing = false;
        return DS_OK;
    }
    HRESULT SetCurrentPosition(DWORD position) override {
        note("SetCurrentPosition " + std::to_string(id_) + " " + std::to_string(position));
        voice().position = position;
        return DS_OK;
    }
    HRESULT SetFrequency(DWORD frequency) override {
        note("SetFrequency " + std::to_string(id_) + " " + std::to_string(frequency));
        voice().frequency = frequency;
        return DS_OK;
    }
    HRESULT Play(DWORD r, DWORD p, DWORD f) override {
        note("Play " + std::to_string(id_) + " " + std::to_string(r) + " " + std::to_string(p) + " " +
             std::to_string(f));
        voice().playing = true;
        return DS_OK;
    }
    ULONG Release() override {
        note("Release voice " + std::to_string(id_));
        voice().released = true;
        --recorder().liveHandles;
        delete this;
        return 0;
    }

private:
    ~Buffer() = default;
    int id_;
    int sampleId_;
    DWORD bytes_;
    std::vector<std::uint8_t> staging_;
};

class Device final : public IDirectSound8 {
public:
    Device() { ++recorder().liveHandles; }
    HRESULT SetCooperativeLevel(HWND window, DWORD level) override {
        note(std::string("SetCooperativeLevel ") + (window ? "window" : "null") + " " + std::to_string(level));
        return recorder().config.cooperativeResult;
    }
    HRESULT CreateSoundBuffer(LPCDSBUFFERDESC desc, LPDIRECTSOUNDBUFFER* out, LPUNKNOWN outer) override {
        Recorder& r = recorder();
        ++r.createCalls;
        note("CreateSoundBuffer " + std::to_string(desc->dwBufferBytes) + (outer ? " outer" : ""));
        r.descs.push_back(*desc);
        WAVEFORMATEX format;
        std::memcpy(&format, desc->lpwfxFormat, sizeof format);
        r.formats.push_back(format);
        if (r.createCalls == r.config.refuseBuffer) return r.config.refuseCode;
        const int sampleId = static_cast<int>(r.samples.size());
        r.samples.emplace_back();
        *out = new Buffer(static_cast<int>(r.voices.size()), sampleId, desc->dwBufferBytes);
        return DS_OK;
    }
    HRESULT DuplicateSoundBuffer(LPDIRECTSOUNDBUFFER original, LPDIRECTSOUNDBUFFER* out) override {
        note("DuplicateSoundBuffer");
        if (recorder().config.refuseDuplicates) return DSERR_OUTOFMEMORY;
        auto* source = static_cast<Buffer*>(original);
        *out = new Buffer(static_cast<int>(recorder().voices.size()), source->sampleId(), source->bytes());
        return DS_OK;
    }
    ULONG Release() override {
        note("Release device");
        --recorder().liveHandles;
        delete this;
        return 0;
    }

private:
    ~Device() = default;
};

}  // namespace
}  // namespace fake_audio

HRESULT DirectSoundCreate8(LPCGUID guid, LPDIRECTSOUND8* out, LPUNKNOWN outer) {
    fake_audio::note(std::string("DirectSoundCreate8") + (guid ? " guid" : "") + (outer ? " outer" : ""));
    if (fake_audio::recorder().config.createResult != DS_OK) return fake_audio::recorder().config.createResult;
    *out = new fake_audio::Device();
    return DS_OK;
}
