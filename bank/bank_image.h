// The bank image: a bank file's bytes followed by as many zero bytes, and the
// scanner that walks it sample by sample.
//
// A bank is RIFF/WAVE files with the plain 44-byte header stored one after
// another. The scanner finds each by its "RIFF" magic and reads the header at
// fixed offsets, checking nothing else; refusing a nonsensical header is the
// audio device's job.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "bank/limits.h"

namespace bankplay {

class BankImage {
public:
    BankImage() = default;

    // An image for a file of fileLength bytes: 2 * fileLength bytes, all zero.
    // The block comes from the system in pages that cost nothing until
    // touched, so the zero tail is free unless something reads it. Empty when the memory cannot be had or the
    // length exceeds kMaxBankFileBytes.
    static std::optional<BankImage> allocate(std::uint64_t fileLength);
    // An image holding a copy of the given file bytes.
    static std::optional<BankImage> fromBytes(std::span<const std::byte> fileBytes);

    // The front of the image, where the file's bytes go.
    std::span<std::byte> fileBytes() { return {bytes_.get(), fileLength_}; }
    // The whole image: the file's bytes and the zero tail.
    std::span<const std::byte> bytes() const { return {bytes_.get(), std::size_t{fileLength_} * 2}; }
    std::uint32_t fileLength() const { return fileLength_; }

private:
    struct Release {
        void operator()(std::byte* p) const noexcept;
    };
    std::unique_ptr<std::byte[], Release> bytes_;
    std::uint32_t fileLength_ = 0;
};

// One sample found in an image. The views point into the image and are valid
// only while it lives.
struct SampleView {
    std::uint32_t magicOffset = 0;
    // The 16-byte format record at magicOffset + 20.
    std::span<const std::byte> format;
    // The u32 at magicOffset + 40: the number of sample bytes.
    std::uint32_t dataLength = 0;
    // The dataLength bytes from magicOffset + 44.
    std::span<const std::byte> data;
    // magicOffset + dataLength: where the next scan starts. The scan resumes
    // 44 bytes before the end of the sample, so a "RIFF" in a sample's last 44
    // bytes is read as the next sample.
    std::uint32_t resumeOffset = 0;
};

// Finds the first "RIFF" at or after start whose four bytes lie within the
// file's bytes, and reads its header; nothing when no further sample follows.
//
// No read leaves the image. A header or data that would reach past the
// image's end is cut to what the image holds: format and data are then
// shorter than the header says, and a data length whose bytes lie past the
// image reads as zero (its bytes are in the image's zero tail otherwise).
// resumeOffset saturates at 0xFFFFFFFF rather than wrapping, so a huge data
// length ends the scan instead of sending it back into the file.
std::optional<SampleView> findNextSample(const BankImage& image, std::uint32_t start);

// Reads a bank file into an image the way the player does: the whole file in
// one read into the front of a 2L image; bytes not delivered stay zero.
enum class ReadStatus {
    ok,
    cannotOpen,  // missing, unreadable, or a directory
    tooLarge,    // kMaxBankFileBytes or more
    noLength,    // the length could not be found (not a seekable file)
    noMemory,    // the image could not be allocated
    readError,   // the system reported an error while reading
};
struct ReadResult {
    ReadStatus status = ReadStatus::ok;
    std::uint64_t fileLength = 0;  // known once the length was found
    BankImage image;  // empty unless status is ok
};
ReadResult readBankFile(const char* path);

}  // namespace bankplay
