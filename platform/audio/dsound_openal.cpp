// The audio interface over OpenAL Soft. OpenAL Soft is the software mixer
// (per-voice rate, shared sample buffers, resampling, mixing, an output
// limiter) and reaches the real sound stack: PipeWire, PulseAudio, ALSA, JACK,
// as the user's alsoft.conf says.
//
// Mapping: the device is an ALC device with one context; a sound buffer's
// sample memory is one AL buffer, shared by the buffer and its duplicates;
// each voice (the buffer itself or a duplicate) is one AL source. Every call
// comes from the program's thread; OpenAL mixes on its own thread and none of
// our code runs there.

#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/audio/buffer_format.h"
#include "platform/audio/dsound.h"
#include "platform/audio/render.h"
#include "platform/idle.h"
#include "platform/memory.h"

namespace bankplay::audio {
namespace {

// Sources the context is asked for: the player's 2048 voices with room to
// spare (the engine's default is 256).
constexpr ALCint kSourcesWanted = 4096;
// The part of a format record this layer reads; cbSize is never needed for
// the PCM and float formats it accepts.
constexpr std::size_t kFormatRecordBytes = 16;

std::uint32_t g_renderRate = 0;  // non-zero: render-to-memory mode
int g_resampler = -1;

// Sample staging comes straight from the system (huge pages for large
// blocks), zero until written.
struct PagesRelease {
    void operator()(std::byte* p) const noexcept { VirtualFree(p, 0, MEM_RELEASE); }
};
using Bytes = std::unique_ptr<std::byte[], PagesRelease>;

std::byte* zeroedPages(std::size_t bytes) {
    return static_cast<std::byte*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

// --- the engine's extension entry points -----------------------------------

struct LoopbackApi {
    LPALCLOOPBACKOPENDEVICESOFT open = nullptr;
    LPALCISRENDERFORMATSUPPORTEDSOFT supported = nullptr;
    LPALCRENDERSAMPLESSOFT render = nullptr;
};

const LoopbackApi& loopbackApi() {
    static const LoopbackApi api = [] {
        LoopbackApi a;
        if (alcIsExtensionPresent(nullptr, "ALC_SOFT_loopback")) {
            a.open = reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(
                alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
            a.supported = reinterpret_cast<LPALCISRENDERFORMATSUPPORTEDSOFT>(
                alcGetProcAddress(nullptr, "alcIsRenderFormatSupportedSOFT"));
            a.render = reinterpret_cast<LPALCRENDERSAMPLESSOFT>(alcGetProcAddress(nullptr, "alcRenderSamplesSOFT"));
        }
        return a;
    }();
    return api;
}

// The engine logs to standard error, and the ALSA library prints its own
// complaints there too; neither may spill into the player's terminal. Only
// errors are logged, unless the user asked for more.
void quietEngineLog() {
    static const bool once = [] {
        setenv("ALSOFT_LOGLEVEL", "1", 0);
        return true;
    }();
    (void)once;
}

// The engine's own output period, 1024 frames three deep (about 64 ms), is
// far too slow for a key to sound the moment it goes down. Unless the user
// has chosen a period, the engine is asked for 240 frames two deep (10 ms at
// 48 kHz): with the 16 ms key poll that keeps a key's sound within 20 ms
// (median) and 30 ms (99th percentile), while an idle player stays under 1%
// of a core. The engine takes such settings only from its configuration
// files, so they go in one of our own, named in ALSOFT_CONF, which the engine
// reads after the user's files.
constexpr char kShortPeriods[] = "[general]\nperiod_size = 240\nperiods = 2\n";

bool setsPeriods(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return false;
    char line[512];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f) != nullptr) {
        const char* p = line;
        while (*p == ' ' || *p == '\t') ++p;
        found = std::strncmp(p, "period_size", 11) == 0 || std::strncmp(p, "periods", 7) == 0;
    }
    std::fclose(f);
    return found;
}

// The files the engine reads, in its order, before ALSOFT_CONF.
bool userChosePeriods() {
    std::vector<std::string> files = {"/etc/openal/alsoft.conf"};
    const char* dirs = std::getenv("XDG_CONFIG_DIRS");
    std::string list = dirs != nullptr && *dirs != 0 ? dirs : "/etc/xdg";
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t end = std::min(list.find(':', start), list.size());
        if (end > start) files.push_back(list.substr(start, end - start) + "/alsoft.conf");
        start = end + 1;
    }
    if (const char* home = std::getenv("HOME")) files.push_back(std::string(home) + "/.alsoftrc");
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config != nullptr && *config != 0) files.push_back(std::string(config) + "/alsoft.conf");
    else if (home != nullptr) files.push_back(std::string(home) + "/.config/alsoft.conf");
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string dir(exe, static_cast<std::size_t>(n));
        files.push_back(dir.substr(0, dir.rfind('/')) + "/alsoft.conf");
    }
    for (const auto& f : files)
        if (setsPeriods(f)) return true;
    return false;
}

void preferShortPeriods() {
    static const bool once = [] {
        if (std::getenv("ALSOFT_CONF") != nullptr || userChosePeriods()) return false;
        const int fd = memfd_create("bankplay-alsoft.conf", 0);
        if (fd < 0) return false;
        if (write(fd, kShortPeriods, sizeof kShortPeriods - 1) != static_cast<ssize_t>(sizeof kShortPeriods - 1)) {
            close(fd);
            return false;
        }
        // The engine opens it by name; the descriptor stays open for that.
        setenv("ALSOFT_CONF", ("/proc/self/fd/" + std::to_string(fd)).c_str(), 1);
        return true;
    }();
    (void)once;
}

// Catches what is written to standard error while a device opens, so the
// reason for a failure can be given after the caller's own message instead of
// before it, mixed with library chatter.
class StderrCapture {
public:
    StderrCapture() {
        std::fflush(stderr);
        file_ = memfd_create("bankplay-audio-log", MFD_CLOEXEC);
        if (file_ < 0) return;
        saved_ = dup(STDERR_FILENO);
        if (saved_ < 0 || dup2(file_, STDERR_FILENO) < 0) {
            close(file_);
            file_ = -1;
        }
    }
    ~StderrCapture() { finish(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Puts standard error back and returns what was written meanwhile.
    std::string finish() {
        std::string text;
        if (file_ < 0) return text;
        std::fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        char chunk[4096];
        if (lseek(file_, 0, SEEK_SET) == 0) {
            ssize_t n;
            while ((n = read(file_, chunk, sizeof chunk)) > 0 && text.size() < 65536)
                text.append(chunk, static_cast<std::size_t>(n));
        }
        close(file_);
        file_ = -1;
        return text;
    }

private:
    int file_ = -1;
    int saved_ = -1;
};

std::string g_openFailure;

void printOpenFailure() {
    if (!g_openFailure.empty()) std::fprintf(stderr, "bankplay: no audio output: %s\n", g_openFailure.c_str());
}

// Keeps the most telling line of what the sound system said: the engine's own
// error line when there is one, else the last line.
void rememberOpenFailure(const std::string& said, const char* fallback) {
    std::string best;
    std::size_t start = 0;
    while (start < said.size()) {
        std::size_t end = said.find('\n', start);
        if (end == std::string::npos) end = said.size();
        std::string line = said.substr(start, end - start);
        start = end + 1;
        const auto tag = line.find("(EE) ");
        if (tag != std::string::npos) line = line.substr(tag + 5);
        if (line.empty() || line.find("alc_cleanup") != std::string::npos) continue;
        if (tag != std::string::npos || best.empty() || best.find("(EE)") == std::string::npos) best = line;
    }
    if (best.empty()) best = fallback;
    static const bool registered = [] { return std::atexit(printOpenFailure) == 0; }();
    (void)registered;
    g_openFailure = best;
}

// --- context bookkeeping ----------------------------------------------------

ALCcontext* g_current = nullptr;

void makeCurrent(ALCcontext* context) {
    if (g_current != context) {
        alcMakeContextCurrent(context);
        g_current = context;
    }
}

std::vector<ALCint> contextAttributes(std::uint32_t renderRate) {
    std::vector<ALCint> attrs = {
        ALC_MONO_SOURCES, kSourcesWanted, ALC_STEREO_SOURCES, 0,
        ALC_HRTF_SOFT,    ALC_FALSE,      ALC_OUTPUT_LIMITER_SOFT, ALC_TRUE,
    };
    if (renderRate != 0) {
        attrs.insert(attrs.end(), {ALC_FORMAT_CHANNELS_SOFT, ALC_STEREO_SOFT, ALC_FORMAT_TYPE_SOFT, ALC_FLOAT_SOFT,
                                   ALC_FREQUENCY, static_cast<ALCint>(renderRate)});
    }
    attrs.push_back(0);
    return attrs;
}

// The engine pans a mono source at the centre of a stereo output with a power
// law, a few dB below full level on each side. A mono voice here plays at full
// level on both channels, so its gain is raised by the inverse of what the
// engine does, measured once on a loopback device.
float monoCentreCorrection() {
    static const float correction = [] {
        const LoopbackApi& api = loopbackApi();
        if (api.open == nullptr || api.render == nullptr) return 1.0f;
        ALCcontext* const previous = g_current;
        ALCdevice* device = api.open(nullptr);
        if (device == nullptr) return 1.0f;
        const auto attrs = contextAttributes(48000);
        ALCcontext* context = alcCreateContext(device, attrs.data());
        float result = 1.0f;
        if (context != nullptr) {
            makeCurrent(context);
            constexpr float kLevel = 0.25f;
            std::vector<float> dc(512, kLevel);
            ALuint buffer = 0;
            ALuint source = 0;
            alGenBuffers(1, &buffer);
            alBufferData(buffer, AL_FORMAT_MONO_FLOAT32, dc.data(), static_cast<ALsizei>(dc.size() * sizeof(float)),
                         48000);
            alGenSources(1, &source);
            alSourcei(source, AL_SOURCE_RELATIVE, AL_TRUE);
            alSourcei(source, AL_BUFFER, static_cast<ALint>(buffer));
            alSourcePlay(source);
            float out[2 * 256] = {};
            api.render(device, out, 256);
            const float measured = out[2 * 200];
            if (measured > 0.01f && measured <= kLevel * 1.001f) result = kLevel / measured;
            alDeleteSources(1, &source);
            alDeleteBuffers(1, &buffer);
            makeCurrent(nullptr);
            alcDestroyContext(context);
        }
        alcCloseDevice(device);
        makeCurrent(previous);
        return result;
    }();
    return correction;
}

// --- sample memory ------------------------------------------------------------

class Voice;
class Device;

// The bytes of one sound buffer, shared by the buffer and its duplicates.
// The engine keeps the committed samples; between Lock and Unlock the caller
// writes into a staging block that is converted, handed to the engine and
// freed, so a loaded bank costs its size once.
struct SampleMemory {
    WAVEFORMATEX format{};
    DWORD bytes = 0;
    ALuint buffer = 0;
    ALsizei frames = 0;  // committed frames; 0 until the first Unlock
    Bytes staging;                // between Lock and Unlock, when the engine cannot be written directly
    std::byte* mapped = nullptr;  // between Lock and Unlock: the engine's own storage
    std::vector<Voice*> voices;

    ~SampleMemory() {
        if (buffer != 0) alDeleteBuffers(1, &buffer);
    }
};

// Converts the staging bytes to a format the engine stores and commits them.
bool commit(SampleMemory& memory);
// Hands the caller the engine's own storage to write, where the format needs
// no conversion: no staging block and no second copy. False when it cannot.
bool mapStorage(SampleMemory& memory);
// Finishes a write into the engine's storage and attaches it to the voices.
bool commitMapped(SampleMemory& memory);

// --- the device -----------------------------------------------------------------

std::int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

class Device final : public IDirectSound8 {
public:
    Device(ALCdevice* device, ALCcontext* context, float monoGain, bool renders)
        : device_(device), context_(context), monoGain_(monoGain) {
        // A device that plays (not one rendering on demand) is paused while
        // nothing sounds: the engine otherwise mixes silence every period.
        // The engine's wave writer does not return to the end of its file
        // when it resumes and would write over what it recorded: it is left
        // running.
        const char* name = alcGetString(device_, ALC_ALL_DEVICES_SPECIFIER);
        const bool waveWriter = name != nullptr && std::strcmp(name, "Wave File Writer") == 0;
        if (!renders && !waveWriter && alcIsExtensionPresent(device_, "ALC_SOFT_pause_device")) {
            pause_ = reinterpret_cast<LPALCDEVICEPAUSESOFT>(alcGetProcAddress(device_, "alcDevicePauseSOFT"));
            resume_ = reinterpret_cast<LPALCDEVICERESUMESOFT>(alcGetProcAddress(device_, "alcDeviceResumeSOFT"));
        }
        sounding_.reserve(kSourcesWanted);
        lastActive_ = nowMs();
    }

    HRESULT SetCooperativeLevel(HWND, DWORD level) override {
        // The level only decides who may change the primary buffer's format,
        // which nothing here does; every documented level is accepted.
        return level >= 1 && level <= 3 ? DS_OK : DSERR_INVALIDPARAM;
    }

    HRESULT CreateSoundBuffer(LPCDSBUFFERDESC desc, LPDIRECTSOUNDBUFFER* buffer, LPUNKNOWN outer) override;
    HRESULT DuplicateSoundBuffer(LPDIRECTSOUNDBUFFER original, LPDIRECTSOUNDBUFFER* duplicate) override;

    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) destroy();
        return left;
    }

    void addRef() { ++refs_; }
    void enter() { makeCurrent(context_); }

    // True once the output has gone (a device unplugged, a sound server gone,
    // a backend that failed): the engine then stops every voice. Said once on
    // standard error; the program runs on, silent.
    bool outputLost() {
        if (lost_) return true;
        ALCint connected = ALC_TRUE;
        alcGetIntegerv(device_, ALC_CONNECTED, 1, &connected);
        if (connected == ALC_FALSE) {
            lost_ = true;
            std::fprintf(stderr, "\nbankplay: the audio output was lost; restart the player to hear it again\n");
        }
        return lost_;
    }
    float monoGain() const { return monoGain_; }
    ALCdevice* alcDevice() const { return device_; }

    // Makes one voice over the memory, or nothing when the engine has no
    // source left.
    Voice* makeVoice(const std::shared_ptr<SampleMemory>& memory);

    // A voice is about to play: the device must be running.
    void wake(Voice* voice);
    // A voice is going away.
    void forget(Voice* voice) { sounding_.erase(std::remove(sounding_.begin(), sounding_.end(), voice), sounding_.end()); }
    // Between polls: pauses the device once nothing has sounded for a while.
    void idle();

private:
    ~Device() = default;
    void destroy();

    ALCdevice* device_;
    ALCcontext* context_;
    float monoGain_;
    ULONG refs_ = 1;
    bool lost_ = false;

    // Voices played since the device last found them all silent; reserved
    // for every source, so the poll never allocates.
    std::vector<Voice*> sounding_;
    LPALCDEVICEPAUSESOFT pause_ = nullptr;
    LPALCDEVICERESUMESOFT resume_ = nullptr;
    bool paused_ = false;
    std::int64_t lastActive_ = 0;
    std::int64_t lastCheck_ = 0;
};

Device* g_playingDevice = nullptr;  // the one whose idle task runs

// How long the device runs on after the last voice fell silent, and how often
// the voices are looked at meanwhile.
constexpr std::int64_t kPauseAfterMs = 1000;
constexpr std::int64_t kCheckEveryMs = 200;

void idleTask() {
    if (g_playingDevice != nullptr) g_playingDevice->idle();
}

Device* g_renderDevice = nullptr;

// --- a voice ----------------------------------------------------------------------

class Voice final : public IDirectSoundBuffer {
public:
    Voice(Device* device, std::shared_ptr<SampleMemory> memory, ALuint source)
        : device_(device), memory_(std::move(memory)), source_(source) {
        device_->addRef();
        alSourcei(source_, AL_SOURCE_RELATIVE, AL_TRUE);
        alSourcef(source_, AL_ROLLOFF_FACTOR, 0.0f);
        if (memory_->format.nChannels == 1) {
            alSourcef(source_, AL_MAX_GAIN, device_->monoGain());
            alSourcef(source_, AL_GAIN, device_->monoGain());
        } else {
            // Left to left and right to right, at full level.
            alSourcei(source_, AL_DIRECT_CHANNELS_SOFT, AL_TRUE);
        }
        if (g_resampler >= 0) alSourcei(source_, AL_SOURCE_RESAMPLER_SOFT, g_resampler);
        if (memory_->frames > 0) alSourcei(source_, AL_BUFFER, static_cast<ALint>(memory_->buffer));
        memory_->voices.push_back(this);
    }

    HRESULT Lock(DWORD offset, DWORD bytes, LPVOID* audioPtr1, LPDWORD audioBytes1, LPVOID* audioPtr2,
                 LPDWORD audioBytes2, DWORD flags) override {
        if (audioPtr1 == nullptr || audioBytes1 == nullptr) return DSERR_INVALIDPARAM;
        SampleMemory& m = *memory_;
        if (flags & DSBLOCK_FROMWRITECURSOR) offset = 0;  // a software buffer writes anywhere
        if (flags & DSBLOCK_ENTIREBUFFER) {
            offset = 0;
            bytes = m.bytes;
        }
        if (offset >= m.bytes || bytes == 0 || bytes > m.bytes) return DSERR_INVALIDPARAM;
        if (!m.staging && m.mapped == nullptr) {
            device_->enter();
            // A first fill goes straight into the engine; later ones (and
            // formats it stores converted) through a staging block.
            if (m.frames != 0 || !mapStorage(m)) {
                m.staging.reset(zeroedPages(m.bytes));
                if (!m.staging) return DSERR_OUTOFMEMORY;
            }
        }
        std::byte* const base = m.mapped != nullptr ? m.mapped : m.staging.get();
        const DWORD first = std::min(bytes, m.bytes - offset);
        *audioPtr1 = base + offset;
        *audioBytes1 = first;
        const DWORD wrapped = bytes - first;
        if (audioPtr2 != nullptr) *audioPtr2 = wrapped != 0 ? base : nullptr;
        if (audioBytes2 != nullptr) *audioBytes2 = audioPtr2 != nullptr ? wrapped : 0;
        return DS_OK;
    }

    HRESULT Unlock(LPVOID audioPtr1, DWORD, LPVOID, DWORD) override {
        SampleMemory& m = *memory_;
        if ((!m.staging && m.mapped == nullptr) || audioPtr1 == nullptr) return DSERR_INVALIDCALL;
        device_->enter();
        return (m.mapped != nullptr ? commitMapped(m) : commit(m)) ? DS_OK : DSERR_OUTOFMEMORY;
    }

    HRESULT Stop() override {
        device_->enter();
        // Pausing keeps the position, as a stop of this interface must; a
        // voice that is not playing is left as it is.
        ALint state = 0;
        alGetSourcei(source_, AL_SOURCE_STATE, &state);
        if (state == AL_PLAYING) alSourcePause(source_);
        return DS_OK;
    }

    HRESULT SetCurrentPosition(DWORD position) override {
        const SampleMemory& m = *memory_;
        if (position >= m.bytes) return DSERR_INVALIDPARAM;
        if (m.frames == 0) return DS_OK;
        device_->enter();
        const auto frame = std::min<DWORD>(position / m.format.nBlockAlign, static_cast<DWORD>(m.frames - 1));
        // On a voice that is not playing the engine keeps the offset for the
        // next play.
        alSourcei(source_, AL_SAMPLE_OFFSET, static_cast<ALint>(frame));
        return DS_OK;
    }

    HRESULT SetFrequency(DWORD frequency) override {
        const DWORD own = memory_->format.nSamplesPerSec;
        if (frequency == DSBFREQUENCY_ORIGINAL) frequency = own;
        if (frequency < DSBFREQUENCY_MIN || frequency > DSBFREQUENCY_MAX) return DSERR_INVALIDPARAM;
        device_->enter();
        alSourcef(source_, AL_PITCH, static_cast<ALfloat>(static_cast<double>(frequency) / own));
        return DS_OK;
    }

    HRESULT Play(DWORD reserved1, DWORD, DWORD flags) override {
        if (reserved1 != 0) return DSERR_INVALIDPARAM;
        if (device_->outputLost()) return DSERR_BUFFERLOST;
        device_->enter();
        device_->wake(this);
        alSourcei(source_, AL_LOOPING, (flags & DSBPLAY_LOOPING) ? AL_TRUE : AL_FALSE);
        ALint state = 0;
        alGetSourcei(source_, AL_SOURCE_STATE, &state);
        // Playing a sounding voice again leaves it sounding where it is.
        if (state != AL_PLAYING && memory_->frames > 0) alSourcePlay(source_);
        return DS_OK;
    }

    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) {
            device_->enter();
            device_->forget(this);
            alDeleteSources(1, &source_);  // silences it
            auto& users = memory_->voices;
            users.erase(std::remove(users.begin(), users.end(), this), users.end());
            memory_.reset();
            Device* const device = device_;
            delete this;
            device->Release();
        }
        return left;
    }

    ALuint source() const { return source_; }
    const std::shared_ptr<SampleMemory>& memory() const { return memory_; }

private:
    ~Voice() = default;

    Device* device_;
    std::shared_ptr<SampleMemory> memory_;
    ALuint source_;
    ULONG refs_ = 1;
};

Voice* Device::makeVoice(const std::shared_ptr<SampleMemory>& memory) {
    enter();
    alGetError();
    ALuint source = 0;
    alGenSources(1, &source);
    if (alGetError() != AL_NO_ERROR) return nullptr;
    return new (std::nothrow) Voice(this, memory, source);
}

HRESULT Device::CreateSoundBuffer(LPCDSBUFFERDESC desc, LPDIRECTSOUNDBUFFER* buffer, LPUNKNOWN outer) {
    if (buffer == nullptr) return DSERR_INVALIDPARAM;
    *buffer = nullptr;
    if (outer != nullptr) return DSERR_NOAGGREGATION;
    if (desc == nullptr || (desc->dwSize != kDsBufferDescSize32 && desc->dwSize != sizeof(DSBUFFERDESC)))
        return DSERR_INVALIDPARAM;
    // Only secondary buffers: the mix itself belongs to the engine.
    if ((desc->dwFlags & DSBCAPS_PRIMARYBUFFER) != 0 || desc->lpwfxFormat == nullptr) return DSERR_INVALIDPARAM;
    WAVEFORMATEX format{};
    std::memcpy(&format, desc->lpwfxFormat, kFormatRecordBytes);
    if (const HRESULT hr = checkBufferFormat(desc->dwBufferBytes, format); hr != DS_OK) return hr;

    auto memory = std::make_shared<SampleMemory>();
    memory->format = format;
    memory->bytes = desc->dwBufferBytes;
    enter();
    alGetError();
    alGenBuffers(1, &memory->buffer);
    if (alGetError() != AL_NO_ERROR) {
        memory->buffer = 0;
        return DSERR_OUTOFMEMORY;
    }
    Voice* voice = makeVoice(memory);
    if (voice == nullptr) return DSERR_OUTOFMEMORY;
    *buffer = voice;
    return DS_OK;
}

HRESULT Device::DuplicateSoundBuffer(LPDIRECTSOUNDBUFFER original, LPDIRECTSOUNDBUFFER* duplicate) {
    if (original == nullptr || duplicate == nullptr) return DSERR_INVALIDPARAM;
    *duplicate = nullptr;
    Voice* voice = makeVoice(static_cast<Voice*>(original)->memory());
    if (voice == nullptr) return DSERR_OUTOFMEMORY;
    *duplicate = voice;
    return DS_OK;
}

void Device::wake(Voice* voice) {
    lastActive_ = nowMs();
    if (std::find(sounding_.begin(), sounding_.end(), voice) == sounding_.end()) sounding_.push_back(voice);
    if (paused_) {
        resume_(device_);
        paused_ = false;
    }
}

void Device::idle() {
    if (pause_ == nullptr || paused_) return;
    const std::int64_t now = nowMs();
    if (now - lastCheck_ < kCheckEveryMs) return;
    lastCheck_ = now;
    enter();
    sounding_.erase(std::remove_if(sounding_.begin(), sounding_.end(),
                                   [](Voice* v) {
                                       ALint state = 0;
                                       alGetSourcei(v->source(), AL_SOURCE_STATE, &state);
                                       return state != AL_PLAYING;
                                   }),
                    sounding_.end());
    if (!sounding_.empty()) {
        lastActive_ = now;
    } else if (now - lastActive_ >= kPauseAfterMs) {
        pause_(device_);
        paused_ = true;
    }
}

void Device::destroy() {
    if (g_playingDevice == this) {
        g_playingDevice = nullptr;
        bankplay::platform::setIdleTask(nullptr);
    }
    if (g_renderDevice == this) g_renderDevice = nullptr;
    makeCurrent(nullptr);
    alcDestroyContext(context_);
    alcCloseDevice(device_);
    delete this;
}

// --- committing samples ---------------------------------------------------------

float toFloat(std::int32_t v, double scale) { return static_cast<float>(v * scale); }

// A file may hold anything: a NaN or infinity would poison the whole mix, so
// it is silenced, and values are kept in range.
float saneFloat(float v) { return std::isfinite(v) ? std::clamp(v, -1.0f, 1.0f) : 0.0f; }

// The engine's format for samples it stores as they are; 0 for the ones it
// is given converted to float.
ALenum nativeFormat(const WAVEFORMATEX& f) {
    const bool stereo = f.nChannels == 2;
    if (f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return stereo ? AL_FORMAT_STEREO_FLOAT32 : AL_FORMAT_MONO_FLOAT32;
    if (f.wBitsPerSample == 8) return stereo ? AL_FORMAT_STEREO8 : AL_FORMAT_MONO8;
    if (f.wBitsPerSample == 16) return stereo ? AL_FORMAT_STEREO16 : AL_FORMAT_MONO16;
    return 0;
}

// The engine's buffer storage and mapping calls (OpenAL Soft's map-buffer
// extension); absent in engines without it, where staging serves.
// The extension's bit field of access flags, an unsigned int.
using MapFlags = ALuint;

struct MapApi {
    using Storage = void(AL_APIENTRY*)(ALuint, ALenum, const ALvoid*, ALsizei, ALsizei, MapFlags);
    using Map = void*(AL_APIENTRY*)(ALuint, ALsizei, ALsizei, MapFlags);
    using Unmap = void(AL_APIENTRY*)(ALuint);
    Storage storage = nullptr;
    Map map = nullptr;
    Unmap unmap = nullptr;
};
constexpr MapFlags kMapRead = 0x01;
constexpr MapFlags kMapWrite = 0x02;

const MapApi& mapApi() {
    static const MapApi api = [] {
        MapApi a;
        a.storage = reinterpret_cast<MapApi::Storage>(alGetProcAddress("alBufferStorageSOFT"));
        a.map = reinterpret_cast<MapApi::Map>(alGetProcAddress("alMapBufferSOFT"));
        a.unmap = reinterpret_cast<MapApi::Unmap>(alGetProcAddress("alUnmapBufferSOFT"));
        if (a.storage == nullptr || a.map == nullptr || a.unmap == nullptr) a = MapApi{};
        return a;
    }();
    return api;
}

bool mapStorage(SampleMemory& m) {
    const MapApi& api = mapApi();
    const ALenum format = nativeFormat(m.format);
    // The mapping must cover every byte the caller may write.
    if (api.map == nullptr || format == 0 || m.bytes % m.format.nBlockAlign != 0) return false;
    // Floats are read back to be made safe before the engine plays them.
    const MapFlags access = kMapWrite | (m.format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ? kMapRead : 0);
    alGetError();
    api.storage(m.buffer, format, nullptr, static_cast<ALsizei>(m.bytes), static_cast<ALsizei>(m.format.nSamplesPerSec),
                access);
    if (alGetError() != AL_NO_ERROR) return false;
    void* p = api.map(m.buffer, 0, static_cast<ALsizei>(m.bytes), access);
    if (p == nullptr || alGetError() != AL_NO_ERROR) return false;
    // A fresh buffer reads as zeros, whatever the engine's allocator left.
    std::memset(p, 0, m.bytes);
    m.mapped = static_cast<std::byte*>(p);
    return true;
}

bool commitMapped(SampleMemory& m) {
    if (m.format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        for (std::size_t i = 0; i < m.bytes / 4; ++i) {
            float v;
            std::memcpy(&v, m.mapped + i * 4, 4);
            v = saneFloat(v);
            std::memcpy(m.mapped + i * 4, &v, 4);
        }
    }
    mapApi().unmap(m.buffer);
    m.mapped = nullptr;
    m.frames = static_cast<ALsizei>(m.bytes / m.format.nBlockAlign);
    for (Voice* v : m.voices) alSourcei(v->source(), AL_BUFFER, static_cast<ALint>(m.buffer));
    return alGetError() == AL_NO_ERROR;
}

bool commit(SampleMemory& m) {
    const WAVEFORMATEX& f = m.format;
    const bool stereo = f.nChannels == 2;
    const std::size_t frames = m.bytes / f.nBlockAlign;  // a partial last frame is dropped
    const std::size_t samples = frames * f.nChannels;
    std::byte* const raw = m.staging.get();

    ALenum alFormat = 0;
    const void* data = raw;
    std::size_t dataBytes = frames * f.nBlockAlign;
    Bytes converted;
    if (f.wFormatTag == WAVE_FORMAT_PCM && f.wBitsPerSample == 8) {
        alFormat = stereo ? AL_FORMAT_STEREO8 : AL_FORMAT_MONO8;
    } else if (f.wFormatTag == WAVE_FORMAT_PCM && f.wBitsPerSample == 16) {
        alFormat = stereo ? AL_FORMAT_STEREO16 : AL_FORMAT_MONO16;
    } else {
        // 24- and 32-bit integers and floats are stored as floats. Floats are
        // converted in place; packed 24-bit needs a block of its own.
        alFormat = stereo ? AL_FORMAT_STEREO_FLOAT32 : AL_FORMAT_MONO_FLOAT32;
        float* out = reinterpret_cast<float*>(raw);
        if (f.wBitsPerSample == 24) {
            converted.reset(zeroedPages(samples * sizeof(float)));
            if (!converted) return false;
            out = reinterpret_cast<float*>(converted.get());
        }
        for (std::size_t i = 0; i < samples; ++i) {
            float v;
            if (f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
                std::memcpy(&v, raw + i * 4, 4);
                v = saneFloat(v);
            } else if (f.wBitsPerSample == 32) {
                std::int32_t s;
                std::memcpy(&s, raw + i * 4, 4);
                v = toFloat(s, 1.0 / 2147483648.0);
            } else {
                const auto* b = reinterpret_cast<const std::uint8_t*>(raw + i * 3);
                const std::int32_t s = static_cast<std::int32_t>(
                    static_cast<std::uint32_t>(b[0]) << 8 | static_cast<std::uint32_t>(b[1]) << 16 |
                    static_cast<std::uint32_t>(b[2]) << 24) >> 8;
                v = toFloat(s, 1.0 / 8388608.0);
            }
            out[i] = v;
        }
        data = out;
        dataBytes = samples * sizeof(float);
    }

    // The engine refuses new samples for a buffer in use: detach the voices
    // (which stops them), commit, and attach them again.
    for (Voice* v : m.voices) {
        alSourceStop(v->source());
        alSourcei(v->source(), AL_BUFFER, 0);
    }
    alGetError();
    if (frames > 0) alBufferData(m.buffer, alFormat, data, static_cast<ALsizei>(dataBytes), static_cast<ALsizei>(f.nSamplesPerSec));
    const bool ok = alGetError() == AL_NO_ERROR;
    m.frames = ok ? static_cast<ALsizei>(frames) : 0;
    m.staging.reset();
    if (m.frames > 0)
        for (Voice* v : m.voices) alSourcei(v->source(), AL_BUFFER, static_cast<ALint>(m.buffer));
    return ok;
}

}  // namespace

// --- hooks ------------------------------------------------------------------------

void setRenderToMemory(std::uint32_t sampleRate) { g_renderRate = sampleRate; }

bool renderToMemory(float* out, std::size_t frames) {
    if (g_renderDevice == nullptr) return false;
    const LoopbackApi& api = loopbackApi();
    while (frames > 0) {
        const std::size_t chunk = std::min<std::size_t>(frames, 1 << 20);
        api.render(g_renderDevice->alcDevice(), out, static_cast<ALCsizei>(chunk));
        out += chunk * 2;
        frames -= chunk;
    }
    return true;
}

int resamplerCount() {
    if (g_current == nullptr) return 0;
    return alGetInteger(AL_NUM_RESAMPLERS_SOFT);
}

const char* resamplerName(int index) {
    static const auto getStringi = reinterpret_cast<LPALGETSTRINGISOFT>(alGetProcAddress("alGetStringiSOFT"));
    if (g_current == nullptr || getStringi == nullptr || index < 0 || index >= resamplerCount()) return "";
    return getStringi(AL_RESAMPLER_NAME_SOFT, index);
}

int resamplerInUse() {
    if (g_resampler >= 0) return g_resampler;
    return g_current != nullptr ? alGetInteger(AL_DEFAULT_RESAMPLER_SOFT) : -1;
}

void setResampler(int index) { g_resampler = index; }

}  // namespace bankplay::audio

using namespace bankplay::audio;

HRESULT DirectSoundCreate8(LPCGUID deviceGuid, LPDIRECTSOUND8* directSound, LPUNKNOWN outer) {
    if (directSound == nullptr) return DSERR_INVALIDPARAM;
    *directSound = nullptr;
    if (outer != nullptr) return DSERR_NOAGGREGATION;
    if (deviceGuid != nullptr) return DSERR_INVALIDPARAM;  // only the default output
    quietEngineLog();
    preferShortPeriods();
    const float monoGain = monoCentreCorrection();

    const std::uint32_t renderRate = g_renderRate;
    ALCdevice* device = nullptr;
    ALCcontext* context = nullptr;
    {
        StderrCapture capture;
        if (renderRate != 0) {
            if (loopbackApi().open != nullptr) device = loopbackApi().open(nullptr);
        } else {
            device = alcOpenDevice(nullptr);
        }
        if (device != nullptr) {
            const auto attrs = contextAttributes(renderRate);
            context = alcCreateContext(device, attrs.data());
            if (context == nullptr) {
                alcCloseDevice(device);
                device = nullptr;
            }
        }
        const std::string said = capture.finish();
        if (device == nullptr) {
            rememberOpenFailure(said, "the sound system found no playback device");
            return DSERR_NODRIVER;
        }
    }
    auto* created = new (std::nothrow) Device(device, context, monoGain, renderRate != 0);
    if (created == nullptr) {
        alcDestroyContext(context);
        alcCloseDevice(device);
        return DSERR_OUTOFMEMORY;
    }
    created->enter();
    if (renderRate != 0) {
        g_renderDevice = created;
    } else {
        g_playingDevice = created;
        bankplay::platform::setIdleTask(idleTask);
    }
    *directSound = created;
    return DS_OK;
}
