#include "tools/banktool/build.h"

#include <cstdio>

#include "bank/limits.h"
#include "tools/banktool/bank_writer.h"
#include "tools/banktool/decode.h"

namespace bankplay::banktool {

std::string describeSample(const Sample& sample) {
    const double seconds = static_cast<double>(sample.frames()) / sample.sampleRate;
    char text[128];
    std::snprintf(text, sizeof text, "%u Hz, %s, %s, %.3f s", sample.sampleRate,
                  sample.channels == 1 ? "mono" : "stereo",
                  sample.encoding == Encoding::pcm16 ? "16-bit PCM" : "32-bit float", seconds);
    return text;
}

int buildBank(const std::string& out, const std::vector<std::string>& arguments, const BuildOptions& options,
              Reporter& reporter) {
    const ExpandResult inputs = expandInputs(arguments);
    for (const auto& [path, reason] : inputs.errors) reporter.error(path, reason);
    if (!inputs.errors.empty()) return kExitFailed;
    if (inputs.files.size() > kMaxInstruments && !options.force) {
        reporter.error(out, std::to_string(inputs.files.size()) + " inputs, but the player loads only the first " +
                                std::to_string(kMaxInstruments) + " (--force writes them all)");
        return kExitUsage;
    }

    std::string error;
    auto writer = BankWriter::open(out, error);
    if (!writer) {
        reporter.error(out, error);
        return kExitFailed;
    }

    // Every input is decoded even after a failure, so that one run names all
    // the files that need attention; nothing more is written after the first.
    bool failed = false;
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < inputs.files.size(); ++i) {
        const std::string& path = inputs.files[i];
        DecodeResult decoded = decodeSoundFile(path);
        if (!decoded.ok) {
            reporter.error(path, decoded.error);
            failed = true;
            continue;
        }
        for (const std::string& note : decoded.notes) reporter.note(path, note);
        if (failed) continue;
        if (!appendGuarded(*writer, decoded.sample, path, out, reporter)) {
            failed = true;
            continue;
        }
        lines.push_back("instrument " + std::to_string(i) + ": " + path + " (" + describeSample(decoded.sample) + ")");
    }
    if (failed) return kExitFailed;
    if (!writer->commit(error)) {
        reporter.error(out, error);
        return kExitFailed;
    }
    for (const std::string& line : lines) reporter.info(line);
    reporter.info(out + ": " + std::to_string(writer->sampleCount()) + " instruments, " +
                  std::to_string(writer->size()) + " bytes");
    return kExitOk;
}

}  // namespace bankplay::banktool
