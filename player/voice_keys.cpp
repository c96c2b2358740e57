#include "player/voice_keys.h"

#include <cmath>

#include "platform/console/console.h"

namespace bankplay {

namespace {

struct VoiceKey {
    int key;
    std::uint32_t slot;
    bool fire;
    std::int32_t semitones;
};

// In the order they are handled: every stop before every fire, so a stop and
// a fire of one voice in the same iteration leave it playing from the start.
constexpr VoiceKey kVoiceKeys[] = {
    {'Q', 0, false, 0}, {'W', 1, false, 0}, {'E', 2, false, 0}, {'R', 3, false, 0},
    {'A', 0, true, 0},  {'S', 1, true, 4},  {'D', 2, true, 7},  {'F', 3, true, 11},
};

bool pressed(int key) { return (GetAsyncKeyState(key) & 1) != 0; }

}  // namespace

std::uint32_t pitchToFrequency(std::int32_t semitones) {
    const double rate = 400.0 * std::pow(2.0, static_cast<double>(semitones) / 12.0);
    // 2^63 and above has no 64-bit value; the conversion would be undefined.
    if (!(rate < 9223372036854775808.0)) return 0;
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(static_cast<std::int64_t>(rate)));
}

void runVoiceKeys(const SoundBank::Row& row, std::int32_t pitch) {
    for (const VoiceKey& k : kVoiceKeys) {
        if (!pressed(k.key)) continue;
        IDirectSoundBuffer* const voice = row[k.slot];
        if (voice == nullptr) continue;
        (void)voice->Stop();
        (void)voice->SetCurrentPosition(0);
        if (k.fire) {
            (void)voice->SetFrequency(pitchToFrequency(addSemitones(pitch, k.semitones)));
            (void)voice->Play(0, 0, 0);
        }
    }
}

}  // namespace bankplay
