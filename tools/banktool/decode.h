// Turning sound files of any format libsndfile reads into bank samples.
#pragma once

#include <string>
#include <vector>

#include "tools/banktool/sample.h"

namespace bankplay::banktool {

struct DecodeResult {
    bool ok = false;
    Sample sample;
    // Why the file cannot go into a bank, when !ok.
    std::string error;
    // What was done to the sound on the way, for the user (a downmix, padding).
    std::vector<std::string> notes;
};

// Decodes a file. Keeps its rate and, for mono and stereo, its channels; mixes
// more channels down to stereo. Sources of at most 16 bits (8/16-bit PCM,
// companded and ADPCM codecs) become 16-bit PCM; everything else (24/32-bit
// PCM, float, double, lossy codecs that decode to float) becomes 32-bit
// float, which holds 24-bit PCM and float exactly.
//
// Fails for a file that cannot be opened or decoded, holds no frames, has a
// rate outside the audio layer's 100-200000 Hz, or whose data would exceed
// the audio layer's largest buffer.
DecodeResult decodeSoundFile(const std::string& path);

// The extensions, lower case without the dot, of the files a directory given
// to build contributes.
bool hasAudioExtension(const std::string& fileName);

struct ExpandResult {
    std::vector<std::string> files;
    // One "PATH: reason" pair per argument that could not be used.
    std::vector<std::pair<std::string, std::string>> errors;
};

// The inputs in order: a file argument as it is, a directory argument as its
// audio files (by extension, hidden files skipped, not recursive) sorted by
// name in byte order.
ExpandResult expandInputs(const std::vector<std::string>& arguments);

}  // namespace bankplay::banktool
