#include "player/player.h"

#include <cstdint>
#include <cstdio>

#include "bank/bank_image.h"
#include "bank/sound_bank.h"
#include "platform/console/console.h"
#include "player/voice_keys.h"

namespace bankplay {

namespace {

constexpr DWORD kPollMilliseconds = 16;
constexpr std::int32_t kInitialPitch = 64;

bool down(int key) { return (GetAsyncKeyState(key) & 0x8000) != 0; }
bool pressed(int key) { return (GetAsyncKeyState(key) & 1) != 0; }

// The message for a bank file that could not be read into an image.
void reportReadFailure(const ReadResult& read, const char* path) {
    switch (read.status) {
        case ReadStatus::ok:
            break;
        case ReadStatus::cannotOpen:
            std::printf("Can't open file %s\n", path);
            break;
        case ReadStatus::tooLarge:
            std::printf("File %s is too large: %llu bytes, at most %llu\n", path,
                        static_cast<unsigned long long>(read.fileLength),
                        static_cast<unsigned long long>(kMaxBankFileBytes));
            break;
        case ReadStatus::noLength:
            std::printf("Can't find the length of file %s\n", path);
            break;
        case ReadStatus::noMemory:
            std::printf("Not enough memory to load file %s (%llu bytes)\n", path,
                        static_cast<unsigned long long>(read.fileLength));
            break;
        case ReadStatus::readError:
            std::printf("Can't read file %s\n", path);
            break;
    }
}

// Polls the keys every 16 ms until Esc is held. The loop allocates nothing;
// the instrument counter is never reduced, only the index computed from it.
void runControlLoop(const SoundBank& bank, std::uint32_t instrumentCount) {
    std::uint32_t instrumentCounter = 0;
    std::int32_t pitch = kInitialPitch;
    while (!down(VK_ESCAPE)) {
        if (pressed(VK_LEFT)) --instrumentCounter;
        if (pressed(VK_RIGHT)) ++instrumentCounter;
        if (pressed(VK_UP)) pitch = addSemitones(pitch, 1);
        if (pressed(VK_DOWN)) pitch = addSemitones(pitch, -1);
        const std::uint32_t current = instrumentCounter % instrumentCount;
        runVoiceKeys(bank.row(current), pitch);
        std::printf("Inst:%d, Pitch:%d   \r", static_cast<int>(instrumentCounter % instrumentCount), pitch);
        Sleep(kPollMilliseconds);
    }
}

}  // namespace

int runPlayer(int argc, char** argv) {
    // Every print reaches the terminal the moment it is made: the status line
    // has no line feed.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const char* const path = argc == 2 ? argv[1] : kDefaultBankPath;

    SoundBank bank;
    std::uint32_t instrumentCount = 0;
    {
        ReadResult read = readBankFile(path);
        if (read.status != ReadStatus::ok) {
            reportReadFailure(read, path);
            return 1;
        }
        const HRESULT hr = bank.init(GetConsoleWindow(), read.image);
        read.image = BankImage{};  // the voices hold their own copies
        if (hr != 0) {
            bank.release();
            return 1;
        }
    }
    instrumentCount = bank.instrumentCount();
    // The loop picks instruments modulo the count: a bank without any has
    // nothing to play and ends like a failed load.
    if (instrumentCount == 0) {
        std::printf("No samples in file %s\n", path);
        bank.release();
        return 1;
    }

    std::printf("%s", kHelpText);
    runControlLoop(bank, instrumentCount);
    bank.release();
    return 0;
}

}  // namespace bankplay
