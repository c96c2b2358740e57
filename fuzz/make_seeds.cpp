// Writes the seed corpus for the fuzz targets: well-formed banks and the
// malformed shapes worth starting from.
#include <cstdio>
#include <string>

#include "tests/support/wav_bytes.h"

namespace {

void write(const std::string& dir, const std::string& name, const testwav::Bytes& b) {
    const std::string path = dir + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        return;
    }
    if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    using testwav::wav;
    const auto sine = testwav::sine16(440, 8000, 200);
    const testwav::Format mono16;
    testwav::Format stereo8;
    stereo8.channels = 2;
    stereo8.bits = 8;
    testwav::Format float32;
    float32.tag = 3;
    float32.bits = 32;
    testwav::Format pcm24;
    pcm24.bits = 24;

    write(dir, "one_sample", wav(mono16, sine));
    write(dir, "three_formats", testwav::join({wav(mono16, sine), wav(stereo8, testwav::pattern(64)),
                                                wav(float32, testwav::pattern(64)), wav(pcm24, testwav::pattern(60))}));
    auto truncated = wav(mono16, sine);
    truncated.resize(30);
    write(dir, "truncated_header", truncated);
    write(dir, "huge_length", wav(mono16, testwav::pattern(32), 0xFFFFFFFFu));
    write(dir, "zero_length", wav(mono16, {}));
    testwav::Bytes many;
    for (int i = 0; i < 40; ++i) many.insert(many.end(), {'R', 'I', 'F', 'F', 0, 0});
    write(dir, "many_magics", many);
    write(dir, "magic_at_end", testwav::join({testwav::pattern(50), testwav::text("RIFF")}));
    testwav::Format bad;
    bad.tag = 0xFFFE;
    bad.channels = 9;
    write(dir, "bad_format", wav(bad, testwav::pattern(40)));
    // Keys: arrows, letters, escapes and the keyboard protocol's replies.
    write(dir, "keys_plain", testwav::text("asdfqwerASDF"));
    write(dir, "keys_arrows", testwav::text("\x1b[A\x1b[B\x1bOC\x1b[1;5D"));
    write(dir, "keys_protocol", testwav::text("\x1b[?0u\x1b[?62;22c\x1b[27u\x1b[27;1:3u\x1b[1;1:2A"));
    return 0;
}
