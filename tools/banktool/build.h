// banktool build: a bank from sound files, input n becoming instrument n.
#pragma once

#include <string>
#include <vector>

#include "tools/banktool/report.h"
#include "tools/banktool/sample.h"

namespace bankplay::banktool {

struct BuildOptions {
    // Writes more samples than the player loads (kMaxInstruments).
    bool force = false;
};

// Expands directory arguments, decodes every input and writes the bank
// atomically. Every failing input is reported; any failure leaves out as it
// was. Returns an exit status: kExitOk, kExitFailed for a failed input or
// output, kExitUsage for more inputs than the player loads without force.
int buildBank(const std::string& out, const std::vector<std::string>& arguments, const BuildOptions& options,
              Reporter& reporter);

// "44100 Hz, mono, 16-bit PCM, 1.250 s": a sample's format for messages.
std::string describeSample(const Sample& sample);

}  // namespace bankplay::banktool
