#include "tools/banktool/list.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "bank/limits.h"
#include "platform/audio/buffer_format.h"

namespace bankplay::banktool {

namespace {

// Reads of the image that yield zero past its end, like the scanner's.
std::uint8_t byteAt(std::span<const std::byte> bytes, std::uint64_t offset) {
    return offset < bytes.size() ? static_cast<std::uint8_t>(bytes[static_cast<std::size_t>(offset)]) : 0;
}
std::uint16_t u16At(std::span<const std::byte> bytes, std::uint64_t offset) {
    return static_cast<std::uint16_t>(byteAt(bytes, offset) | byteAt(bytes, offset + 1) << 8);
}
std::uint32_t u32At(std::span<const std::byte> bytes, std::uint64_t offset) {
    return std::uint32_t{u16At(bytes, offset)} | std::uint32_t{u16At(bytes, offset + 2)} << 16;
}

// Four bytes as text, with anything but printable ASCII as \xNN.
std::string tagText(std::span<const std::byte> bytes, std::uint64_t offset) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t c = byteAt(bytes, offset + static_cast<std::uint64_t>(i));
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            text += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return text;
}

void checkTag(std::span<const std::byte> bytes, std::uint64_t offset, const char* tag, std::uint32_t relative,
              std::vector<std::string>& warnings) {
    for (int i = 0; i < 4; ++i)
        if (byteAt(bytes, offset + static_cast<std::uint64_t>(i)) != static_cast<std::uint8_t>(tag[i])) {
            warnings.push_back("no \"" + std::string(tag) + "\" tag at offset " + std::to_string(relative) +
                               " (found \"" + tagText(bytes, offset) + "\")");
            return;
        }
}

std::string formatDouble(double value, int decimals) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return std::string(text, result.ptr);
}

std::string plural(std::size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace

BankReport inspectBank(const BankImage& image) {
    BankReport report;
    report.fileLength = image.fileLength();
    const auto bytes = image.bytes();
    const std::uint64_t fileLength = image.fileLength();

    std::uint32_t start = 0;
    std::uint64_t previousEnd = 0;
    while (report.samples.size() < kMaxInstruments) {
        const auto found = findNextSample(image, start);
        if (!found) break;
        SampleReport s;
        s.instrument = static_cast<std::uint32_t>(report.samples.size());
        s.offset = found->magicOffset;
        const std::uint64_t magic = found->magicOffset;
        s.formatTag = u16At(bytes, magic + kFormatOffset);
        s.channels = u16At(bytes, magic + kFormatOffset + 2);
        s.sampleRate = u32At(bytes, magic + kFormatOffset + 4);
        s.avgBytesPerSec = u32At(bytes, magic + kFormatOffset + 8);
        s.blockAlign = u16At(bytes, magic + kFormatOffset + 12);
        s.bitsPerSample = u16At(bytes, magic + kFormatOffset + 14);
        s.dataLength = found->dataLength;
        if (s.blockAlign != 0 && s.sampleRate != 0)
            s.durationSeconds = static_cast<double>(s.dataLength / s.blockAlign) / s.sampleRate;

        WAVEFORMATEX format{};
        format.wFormatTag = s.formatTag;
        format.nChannels = s.channels;
        format.nSamplesPerSec = s.sampleRate;
        format.nAvgBytesPerSec = s.avgBytesPerSec;
        format.nBlockAlign = s.blockAlign;
        format.wBitsPerSample = s.bitsPerSample;
        if (const char* problem = audio::describeFormatProblem(s.dataLength, format)) {
            s.refusal = problem;
            if (!report.firstRefused) report.firstRefused = s.instrument;
        }

        if (report.samples.size() > 0 && magic < previousEnd)
            s.warnings.push_back("starts inside instrument " + std::to_string(s.instrument - 1) +
                                 " (the scan resumes 44 bytes before each sample's end)");
        if (magic + kHeaderBytes > fileLength) s.warnings.push_back("header runs past the end of the file");
        checkTag(bytes, magic + 8, "WAVE", 8, s.warnings);
        checkTag(bytes, magic + 12, "fmt ", 12, s.warnings);
        checkTag(bytes, magic + 36, "data", 36, s.warnings);
        // With no data the scan resumes at this very magic and finds the same
        // sample forever; the player stops at its refusal, and so does this.
        const bool stuck = s.dataLength == 0;
        if (stuck) s.warnings.push_back("zero data length (the scan finds this sample again and again)");
        const std::uint64_t end = magic + kHeaderBytes + s.dataLength;
        if (s.dataLength > 0 && end > fileLength && magic + kHeaderBytes <= fileLength)
            s.warnings.push_back("data runs " + std::to_string(end - fileLength) + " bytes past the end of the file");

        previousEnd = end;
        start = found->resumeOffset;
        report.samples.push_back(std::move(s));
        if (stuck) break;
    }
    if (report.samples.size() == kMaxInstruments) report.samplesIgnored = findNextSample(image, start).has_value();
    return report;
}

std::string formatText(const BankReport& report) {
    std::string out = "inst     offset  tag  ch    rate  bits      length  duration\n";
    char line[160];
    for (const SampleReport& s : report.samples) {
        const std::string duration = s.durationSeconds ? formatDouble(*s.durationSeconds, 3) + " s" : "-";
        std::snprintf(line, sizeof line, "%4u %10u %4u %3u %7u %5u %11u  %s\n", s.instrument, s.offset, s.formatTag,
                      s.channels, s.sampleRate, s.bitsPerSample, s.dataLength, duration.c_str());
        out += line;
        if (!s.refusal.empty()) out += "     warning: the audio layer refuses it: " + s.refusal + "\n";
        for (const std::string& w : s.warnings) out += "     warning: header not canonical: " + w + "\n";
    }

    out += plural(report.samples.size(), "instrument");
    if (report.samples.empty())
        out += ": no sample found, the player has nothing to load";
    else if (report.firstRefused)
        out += ": instrument " + std::to_string(*report.firstRefused) +
               " is refused by the audio layer, and the player's load stops there";
    else
        out += report.samples.size() == 1 ? ", which loads" : ", all load";
    if (report.samplesIgnored)
        out += "; samples after the first " + std::to_string(kMaxInstruments) + " are ignored";
    out += "\n";
    return out;
}

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04X", c);
                    out += esc;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string formatJson(const BankReport& report) {
    std::string out = "{\n";
    out += "  \"fileLength\": " + std::to_string(report.fileLength) + ",\n";
    out += "  \"count\": " + std::to_string(report.samples.size()) + ",\n";
    out += std::string("  \"allLoad\": ") + (report.allLoad() ? "true" : "false") + ",\n";
    out += "  \"firstRefused\": " + (report.firstRefused ? std::to_string(*report.firstRefused) : "null") + ",\n";
    out += std::string("  \"samplesIgnored\": ") + (report.samplesIgnored ? "true" : "false") + ",\n";
    out += "  \"instruments\": [";
    for (std::size_t i = 0; i < report.samples.size(); ++i) {
        const SampleReport& s = report.samples[i];
        out += i == 0 ? "\n" : ",\n";
        out += "    {\"instrument\": " + std::to_string(s.instrument);
        out += ", \"offset\": " + std::to_string(s.offset);
        out += ", \"formatTag\": " + std::to_string(s.formatTag);
        out += ", \"channels\": " + std::to_string(s.channels);
        out += ", \"sampleRate\": " + std::to_string(s.sampleRate);
        out += ", \"avgBytesPerSec\": " + std::to_string(s.avgBytesPerSec);
        out += ", \"blockAlign\": " + std::to_string(s.blockAlign);
        out += ", \"bitsPerSample\": " + std::to_string(s.bitsPerSample);
        out += ", \"dataLength\": " + std::to_string(s.dataLength);
        out += ", \"durationSeconds\": " + (s.durationSeconds ? formatDouble(*s.durationSeconds, 6) : "null");
        out += ", \"refusal\": " + (s.refusal.empty() ? std::string("null") : jsonString(s.refusal));
        out += ", \"warnings\": [";
        for (std::size_t w = 0; w < s.warnings.size(); ++w) out += (w == 0 ? "" : ", ") + jsonString(s.warnings[w]);
        out += "]}";
    }
    out += report.samples.empty() ? "]\n" : "\n  ]\n";
    out += "}\n";
    return out;
}

bool listBank(const BankImage& image, const ListOptions& options, std::string& out) {
    const BankReport report = inspectBank(image);
    out += options.json ? formatJson(report) : formatText(report);
    return report.allLoad();
}

}  // namespace bankplay::banktool
