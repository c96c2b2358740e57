#include "tools/banktool/decode.h"

#include <dirent.h>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/audio/dsound.h"

namespace bankplay::banktool {

namespace {

struct SndfileCloser {
    void operator()(SNDFILE* f) const noexcept { sf_close(f); }
};
using SndfilePtr = std::unique_ptr<SNDFILE, SndfileCloser>;

// Sub-formats whose decoded values have at most 16 significant bits.
bool atMost16Bits(int subformat) {
    switch (subformat) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_PCM_16:
        case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW:
        case SF_FORMAT_IMA_ADPCM:
        case SF_FORMAT_MS_ADPCM:
        case SF_FORMAT_GSM610:
        case SF_FORMAT_VOX_ADPCM:
        case SF_FORMAT_NMS_ADPCM_16:
        case SF_FORMAT_NMS_ADPCM_24:
        case SF_FORMAT_NMS_ADPCM_32:
        case SF_FORMAT_G721_32:
        case SF_FORMAT_G723_24:
        case SF_FORMAT_G723_40:
        case SF_FORMAT_DWVW_12:
        case SF_FORMAT_DWVW_16:
        case SF_FORMAT_DPCM_8:
        case SF_FORMAT_DPCM_16:
        case SF_FORMAT_ALAC_16:
            return true;
        default:
            return false;
    }
}

// Where a channel goes in a stereo mix: its weights in the left and right.
struct Pan {
    float left;
    float right;
};
constexpr float kHalfPower = 0.70710678f;

Pan panFor(int position) {
    switch (position) {
        case SF_CHANNEL_MAP_LEFT:
        case SF_CHANNEL_MAP_FRONT_LEFT:
        case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER:
            return {1.0f, 0.0f};
        case SF_CHANNEL_MAP_RIGHT:
        case SF_CHANNEL_MAP_FRONT_RIGHT:
        case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER:
            return {0.0f, 1.0f};
        case SF_CHANNEL_MAP_REAR_LEFT:
        case SF_CHANNEL_MAP_SIDE_LEFT:
        case SF_CHANNEL_MAP_TOP_FRONT_LEFT:
        case SF_CHANNEL_MAP_TOP_REAR_LEFT:
            return {kHalfPower, 0.0f};
        case SF_CHANNEL_MAP_REAR_RIGHT:
        case SF_CHANNEL_MAP_SIDE_RIGHT:
        case SF_CHANNEL_MAP_TOP_FRONT_RIGHT:
        case SF_CHANNEL_MAP_TOP_REAR_RIGHT:
            return {0.0f, kHalfPower};
        case SF_CHANNEL_MAP_LFE:
            // The low-frequency effects channel duplicates the bass the other
            // channels carry; a stereo mix leaves it out.
            return {0.0f, 0.0f};
        default:  // centre, mono, rear/top centre, ambisonic W
            return {kHalfPower, kHalfPower};
    }
}

// The usual layouts of WAV and FLAC files that carry no channel map.
std::vector<int> defaultLayout(int channels) {
    using V = std::vector<int>;
    constexpr int FL = SF_CHANNEL_MAP_FRONT_LEFT, FR = SF_CHANNEL_MAP_FRONT_RIGHT, FC = SF_CHANNEL_MAP_FRONT_CENTER,
                  LFE = SF_CHANNEL_MAP_LFE, BL = SF_CHANNEL_MAP_REAR_LEFT, BR = SF_CHANNEL_MAP_REAR_RIGHT,
                  BC = SF_CHANNEL_MAP_REAR_CENTER, SL = SF_CHANNEL_MAP_SIDE_LEFT, SR = SF_CHANNEL_MAP_SIDE_RIGHT;
    switch (channels) {
        case 3: return V{FL, FR, FC};
        case 4: return V{FL, FR, BL, BR};
        case 5: return V{FL, FR, FC, BL, BR};
        case 6: return V{FL, FR, FC, LFE, BL, BR};
        case 7: return V{FL, FR, FC, LFE, BC, SL, SR};
        case 8: return V{FL, FR, FC, LFE, BL, BR, SL, SR};
        default: {
            // No common layout: alternate left and right.
            V layout(static_cast<std::size_t>(channels));
            for (std::size_t i = 0; i < layout.size(); ++i) layout[i] = i % 2 == 0 ? FL : FR;
            return layout;
        }
    }
}

std::vector<Pan> downmixWeights(SNDFILE* file, int channels, std::string& how) {
    std::vector<int> layout(static_cast<std::size_t>(channels), SF_CHANNEL_MAP_INVALID);
    const bool mapped = sf_command(file, SFC_GET_CHANNEL_MAP_INFO, layout.data(),
                                   static_cast<int>(layout.size() * sizeof(int))) == SF_TRUE &&
                        std::none_of(layout.begin(), layout.end(), [](int p) {
                            return p <= SF_CHANNEL_MAP_INVALID || p >= SF_CHANNEL_MAP_AMBISONIC_B_X;
                        });
    if (!mapped) layout = defaultLayout(channels);
    how = mapped ? "by the file's channel map" : "by the usual layout for that many channels";

    std::vector<Pan> weights;
    float leftSum = 0.0f, rightSum = 0.0f;
    for (int position : layout) {
        weights.push_back(panFor(position));
        leftSum += weights.back().left;
        rightSum += weights.back().right;
    }
    // Each side is scaled so that its weights add up to one: the mix never
    // clips where the channels did not.
    for (Pan& w : weights) {
        if (leftSum > 0.0f) w.left /= leftSum;
        if (rightSum > 0.0f) w.right /= rightSum;
    }
    return weights;
}

std::int16_t toPcm16(float v) {
    const float scaled = std::nearbyint(v * 32768.0f);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

}  // namespace

DecodeResult decodeSoundFile(const std::string& path) {
    DecodeResult result;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        result.error = std::strerror(errno);
        return result;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        result.error = "is a directory";
        return result;
    }
    SF_INFO info{};
    SndfilePtr file(sf_open_fd(fd, SFM_READ, &info, SF_TRUE));  // closes fd, even on failure
    if (!file) {
        result.error = std::string("not a sound file libsndfile can decode (") + sf_strerror(nullptr) + ")";
        return result;
    }
    if (info.channels < 1) {
        result.error = "no channels";
        return result;
    }
    if (info.frames <= 0) {
        result.error = "no sound in it (0 frames)";
        return result;
    }
    if (info.samplerate < static_cast<int>(DSBFREQUENCY_MIN) || info.samplerate > static_cast<int>(DSBFREQUENCY_MAX)) {
        result.error = "sample rate " + std::to_string(info.samplerate) + " Hz is outside the 100-200000 Hz the player accepts";
        return result;
    }

    Sample& sample = result.sample;
    sample.encoding = atMost16Bits(info.format & SF_FORMAT_SUBMASK) ? Encoding::pcm16 : Encoding::float32;
    sample.sampleRate = static_cast<std::uint32_t>(info.samplerate);
    sample.channels = static_cast<std::uint16_t>(info.channels > 2 ? 2 : info.channels);

    std::vector<Pan> weights;
    if (info.channels > 2) {
        std::string how;
        weights = downmixWeights(file.get(), info.channels, how);
        result.notes.push_back(std::to_string(info.channels) + " channels mixed down to stereo " + how);
    }

    // Decoding as float is exact for every source of up to 24 bits; 16-bit
    // sources come back as v/32768 and round-trip to the same integers.
    const auto channels = static_cast<std::size_t>(info.channels);
    constexpr std::size_t kChunkFrames = 4096;
    std::vector<float> chunk(kChunkFrames * channels);
    // The length the file declares is checked before decoding; the loop
    // checks again for files whose length is only an estimate.
    const std::uint64_t maxBytes = DSBSIZE_MAX;
    const char* const tooLong = "its sound data would exceed the 0x0FFFFFFF bytes the audio layer accepts in one buffer";
    if (static_cast<std::uint64_t>(info.frames) > maxBytes / sample.blockAlign()) {
        result.error = tooLong;
        return result;
    }
    sample.data.reserve(static_cast<std::size_t>(info.frames) * sample.blockAlign());
    std::uint64_t framesDone = 0;
    for (;;) {
        const sf_count_t got = sf_readf_float(file.get(), chunk.data(), static_cast<sf_count_t>(kChunkFrames));
        if (got <= 0) break;
        framesDone += static_cast<std::uint64_t>(got);
        if (framesDone * sample.blockAlign() > maxBytes) {
            result.error = tooLong;
            return result;
        }
        for (std::size_t f = 0; f < static_cast<std::size_t>(got); ++f) {
            const float* frame = &chunk[f * channels];
            float out[2] = {frame[0], channels > 1 ? frame[1] : 0.0f};
            if (!weights.empty()) {
                out[0] = out[1] = 0.0f;
                for (std::size_t c = 0; c < channels; ++c) {
                    out[0] += weights[c].left * frame[c];
                    out[1] += weights[c].right * frame[c];
                }
            }
            for (std::size_t c = 0; c < sample.channels; ++c) {
                if (sample.encoding == Encoding::pcm16)
                    appendPcm16(sample, toPcm16(out[c]));
                else
                    appendFloat32(sample, out[c]);
            }
        }
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
        result.error = std::string("decoding failed (") + sf_strerror(file.get()) + ")";
        return result;
    }
    if (sample.data.empty()) {
        result.error = "no sound in it (0 frames decoded)";
        return result;
    }
    // The audio layer's smallest buffer is 4 bytes: a single 16-bit mono frame
    // gets a silent second one.
    while (sample.data.size() < DSBSIZE_MIN) {
        for (std::size_t i = 0; i < sample.blockAlign(); ++i) sample.data.push_back(std::byte{0});
        result.notes.push_back("padded with one silent frame to the audio layer's 4-byte minimum");
    }
    result.ok = true;
    return result;
}

bool hasAudioExtension(const std::string& fileName) {
    static const char* const kExtensions[] = {"wav", "wave", "bwf", "w64", "rf64", "aif", "aiff", "aifc", "flac",
                                              "ogg", "oga",  "opus", "caf", "au",   "snd", "mp3", "voc"};
    const auto dot = fileName.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    std::string ext = fileName.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::any_of(std::begin(kExtensions), std::end(kExtensions), [&](const char* e) { return ext == e; });
}

ExpandResult expandInputs(const std::vector<std::string>& arguments) {
    ExpandResult result;
    for (const std::string& arg : arguments) {
        struct stat st {};
        if (::stat(arg.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            // Files, and whatever cannot be looked at, are decoded as given:
            // the decoder names the problem.
            result.files.push_back(arg);
            continue;
        }
        DIR* dir = ::opendir(arg.c_str());
        if (dir == nullptr) {
            result.errors.emplace_back(arg, std::strerror(errno));
            continue;
        }
        std::vector<std::string> names;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.empty() || name[0] == '.' || !hasAudioExtension(name)) continue;
            const std::string full = arg + (arg.back() == '/' ? "" : "/") + name;
            struct stat est {};
            if (::stat(full.c_str(), &est) == 0 && S_ISREG(est.st_mode)) names.push_back(name);
        }
        ::closedir(dir);
        if (names.empty()) {
            result.errors.emplace_back(arg, "directory holds no audio files");
            continue;
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) result.files.push_back(arg + (arg.back() == '/' ? "" : "/") + name);
    }
    return result;
}

}  // namespace bankplay::banktool
