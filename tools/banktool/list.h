// banktool list: what the player will load from a bank, found with the
// player's own scanner.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bank/bank_image.h"

namespace bankplay::banktool {

// One sample as the player's scanner finds it.
struct SampleReport {
    std::uint32_t instrument = 0;  // from 0, as the player numbers them
    std::uint32_t offset = 0;      // of the "RIFF" magic
    // The format record at offset + 20, bytes past the image read as zero.
    std::uint16_t formatTag = 0;
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t avgBytesPerSec = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;
    std::uint32_t dataLength = 0;  // as the header says
    // dataLength / blockAlign / sampleRate; none when either is zero.
    std::optional<double> durationSeconds;
    // Why the audio layer refuses the sample; empty when it accepts it.
    std::string refusal;
    // Where the header differs from the canonical one the player assumes.
    std::vector<std::string> warnings;
};

struct BankReport {
    std::uint32_t fileLength = 0;
    std::vector<SampleReport> samples;  // at most kMaxInstruments
    // A further sample follows the last one the player loads.
    bool samplesIgnored = false;
    // The first sample the audio layer refuses: the player's load ends there.
    std::optional<std::uint32_t> firstRefused;

    bool allLoad() const { return !samples.empty() && !firstRefused; }
};

// Scans the image as the player does: from offset 0, at most kMaxInstruments.
BankReport inspectBank(const BankImage& image);

std::string formatText(const BankReport& report);
std::string formatJson(const BankReport& report);

struct ListOptions {
    bool json = false;
};

// The report on the image, as text or JSON, appended to out. True when the
// bank holds samples and the player will load every one of them.
bool listBank(const BankImage& image, const ListOptions& options, std::string& out);

// A string as a JSON string literal, quotes included. Bytes that are not
// printable ASCII are written as \u00XX.
std::string jsonString(std::string_view text);

}  // namespace bankplay::banktool
