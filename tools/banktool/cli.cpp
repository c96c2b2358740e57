#include "tools/banktool/cli.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "bank/bank_image.h"
#include "tools/banktool/build.h"
#include "tools/banktool/demo.h"
#include "tools/banktool/list.h"
#include "tools/banktool/report.h"

#ifndef BANKTOOL_VERSION
#error "BANKTOOL_VERSION must be defined by the build"
#endif

namespace bankplay::banktool {

namespace {

constexpr const char* kUsage =
    "Usage: banktool build [--force] OUT.bank FILE|DIR...\n"
    "       banktool list [--json] BANK\n"
    "       banktool demo OUT.bank\n"
    "       banktool --help | --version\n"
    "\n"
    "Makes and inspects the sample banks the bankplay player loads.\n"
    "\n"
    "Commands:\n"
    "  build   decode sound files into a bank, one instrument per input\n"
    "  list    show what the player will load from a bank\n"
    "  demo    write a small bank of synthesised instruments\n"
    "\n"
    "Run 'banktool COMMAND --help' for a command's options.\n";

constexpr const char* kBuildUsage =
    "Usage: banktool build [--force] OUT.bank FILE|DIR...\n"
    "\n"
    "Decodes each input (WAV, AIFF, FLAC, Ogg and whatever else libsndfile reads)\n"
    "and writes it into OUT.bank with the plain 44-byte header the player reads,\n"
    "in the order given: the first input becomes instrument 0, the next 1, and so\n"
    "on. A directory stands for its audio files in name order.\n"
    "\n"
    "Rates are kept (100-200000 Hz); mono and stereo are kept, more channels are\n"
    "mixed down to stereo. 8/16-bit sources are written as 16-bit PCM, deeper and\n"
    "float sources as 32-bit float. OUT.bank is replaced only when every input\n"
    "decodes; on any failure it is left as it was.\n"
    "\n"
    "Options:\n"
    "  --force   write more than the 256 samples the player loads\n"
    "  -h, --help  show this help\n";

constexpr const char* kListUsage =
    "Usage: banktool list [--json] BANK\n"
    "\n"
    "Shows each sample the player will load from BANK, found with the player's\n"
    "own scanner: instrument number, offset, format tag, channels, rate, bits,\n"
    "data length and duration, with a warning where the audio layer will refuse\n"
    "a sample or its header is not the canonical one. Exits 0 when the player\n"
    "will load every sample, 1 otherwise.\n"
    "\n"
    "Options:\n"
    "  --json    print the same as one JSON object\n"
    "  -h, --help  show this help\n";

constexpr const char* kDemoUsage =
    "Usage: banktool demo OUT.bank\n"
    "\n"
    "Writes a bank of seven synthesised instruments (sine, plucked string, soft\n"
    "square lead, FM bell, kick, snare, hi-hat), 44100 Hz mono 16-bit, tuned to\n"
    "sound in the C4-A4 region at the player's default pitch.\n"
    "\n"
    "Options:\n"
    "  -h, --help  show this help\n";

class StreamReporter : public Reporter {
public:
    StreamReporter(std::FILE* out, std::FILE* err) : out_(out), err_(err) {}
    void error(std::string_view subject, std::string_view reason) override { line(err_, subject, reason); }
    void note(std::string_view subject, std::string_view text) override { line(err_, subject, text); }
    void info(std::string_view text) override {
        std::fprintf(out_, "%.*s\n", static_cast<int>(text.size()), text.data());
    }

private:
    static void line(std::FILE* f, std::string_view subject, std::string_view text) {
        std::fprintf(f, "banktool: %.*s: %.*s\n", static_cast<int>(subject.size()), subject.data(),
                     static_cast<int>(text.size()), text.data());
    }
    std::FILE* out_;
    std::FILE* err_;
};

// A command's arguments split into the options it knows and its operands;
// "--" ends the options.
struct Parsed {
    bool help = false;
    std::vector<std::string> flags;
    std::vector<std::string> operands;
    std::string unknown;
};

Parsed parse(const std::vector<std::string>& args, std::size_t from, std::initializer_list<std::string_view> known) {
    Parsed p;
    bool optionsDone = false;
    for (std::size_t i = from; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsDone || a.size() < 2 || a[0] != '-') {
            p.operands.push_back(a);
        } else if (a == "--") {
            optionsDone = true;
        } else if (a == "-h" || a == "--help") {
            p.help = true;
        } else if (std::find(known.begin(), known.end(), a) != known.end()) {
            p.flags.push_back(a);
        } else if (p.unknown.empty()) {
            p.unknown = a;
        }
    }
    return p;
}

bool has(const Parsed& p, std::string_view flag) {
    return std::find(p.flags.begin(), p.flags.end(), flag) != p.flags.end();
}

// One line: "banktool: [SUBJECT: ]reason (see 'banktool [COMMAND ]--help')".
int usageError(std::FILE* err, const std::string& subject, const std::string& reason, const std::string& helpFor) {
    const std::string prefix = subject.empty() ? "" : subject + ": ";
    const std::string help = helpFor.empty() ? "" : helpFor + " ";
    std::fprintf(err, "banktool: %s%s (see 'banktool %s--help')\n", prefix.c_str(), reason.c_str(), help.c_str());
    return kExitUsage;
}

int listCommand(const std::string& path, bool json, std::FILE* out, std::FILE* err) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        std::fprintf(err, "banktool: %s: %s\n", path.c_str(), std::strerror(errno));
        return kExitFailed;
    }
    if (S_ISDIR(st.st_mode)) {
        std::fprintf(err, "banktool: %s: is a directory\n", path.c_str());
        return kExitFailed;
    }
    const ReadResult read = readBankFile(path.c_str());
    if (read.status != ReadStatus::ok) {
        const char* reason = "cannot be read";
        switch (read.status) {
            case ReadStatus::cannotOpen: reason = "cannot be opened"; break;
            case ReadStatus::tooLarge: reason = "too large: the player reads banks below 2 GiB"; break;
            case ReadStatus::noLength: reason = "not a seekable file"; break;
            case ReadStatus::noMemory: reason = "not enough memory to read it"; break;
            case ReadStatus::readError: reason = "read error"; break;
            case ReadStatus::ok: break;
        }
        std::fprintf(err, "banktool: %s: %s\n", path.c_str(), reason);
        return kExitFailed;
    }
    std::string text;
    const bool allLoad = listBank(read.image, ListOptions{json}, text);
    std::fwrite(text.data(), 1, text.size(), out);
    return allLoad ? kExitOk : kExitFailed;
}

}  // namespace

int runBanktool(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    if (args.empty()) return usageError(err, "", "no command given", "");
    const std::string& command = args[0];
    if (command == "-h" || command == "--help") {
        std::fputs(kUsage, out);
        return kExitOk;
    }
    if (command == "--version") {
        std::fprintf(out, "banktool %s\n", BANKTOOL_VERSION);
        return kExitOk;
    }

    StreamReporter reporter(out, err);
    if (command == "build") {
        const Parsed p = parse(args, 1, {"--force"});
        if (p.help) return std::fputs(kBuildUsage, out), kExitOk;
        if (!p.unknown.empty()) return usageError(err, command, "unknown option " + p.unknown, command);
        if (p.operands.size() < 2) return usageError(err, command, "needs OUT.bank and at least one input", command);
        const std::vector<std::string> inputs(p.operands.begin() + 1, p.operands.end());
        return buildBank(p.operands[0], inputs, BuildOptions{has(p, "--force")}, reporter);
    }
    if (command == "list") {
        const Parsed p = parse(args, 1, {"--json"});
        if (p.help) return std::fputs(kListUsage, out), kExitOk;
        if (!p.unknown.empty()) return usageError(err, command, "unknown option " + p.unknown, command);
        if (p.operands.size() != 1) return usageError(err, command, "needs exactly one BANK", command);
        return listCommand(p.operands[0], has(p, "--json"), out, err);
    }
    if (command == "demo") {
        const Parsed p = parse(args, 1, {});
        if (p.help) return std::fputs(kDemoUsage, out), kExitOk;
        if (!p.unknown.empty()) return usageError(err, command, "unknown option " + p.unknown, command);
        if (p.operands.size() != 1) return usageError(err, command, "needs exactly one OUT.bank", command);
        return writeDemoBank(p.operands[0], reporter);
    }
    if (command.size() > 1 && command[0] == '-') return usageError(err, command, "unknown option", "");
    return usageError(err, command, "unknown command", "");
}

}  // namespace bankplay::banktool
