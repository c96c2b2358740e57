#include "bank/bank_image.h"

#include "platform/memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace bankplay {

void BankImage::Release::operator()(std::byte* p) const noexcept { VirtualFree(p, 0, MEM_RELEASE); }

std::optional<BankImage> BankImage::allocate(std::uint64_t fileLength) {
    if (fileLength > kMaxBankFileBytes) return std::nullopt;
    BankImage image;
    // Fresh zero pages: the tail is free until read, and the front is paid
    // for only as the file is read into it.
    const std::size_t size = static_cast<std::size_t>(fileLength) * 2;
    image.bytes_.reset(static_cast<std::byte*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)));
    if (!image.bytes_) return std::nullopt;
    image.fileLength_ = static_cast<std::uint32_t>(fileLength);
    return image;
}

std::optional<BankImage> BankImage::fromBytes(std::span<const std::byte> fileBytes) {
    auto image = allocate(fileBytes.size());
    if (image && !fileBytes.empty()) std::memcpy(image->bytes_.get(), fileBytes.data(), fileBytes.size());
    return image;
}

namespace {

constexpr std::byte kMagic[4] = {std::byte{'R'}, std::byte{'I'}, std::byte{'F'}, std::byte{'F'}};

// The bytes [offset, offset + length) of the image, cut at its end.
std::span<const std::byte> cut(std::span<const std::byte> image, std::uint64_t offset, std::uint64_t length) {
    if (offset >= image.size()) return {};
    return image.subspan(static_cast<std::size_t>(offset),
                         static_cast<std::size_t>(std::min<std::uint64_t>(length, image.size() - offset)));
}

std::uint32_t readU32(std::span<const std::byte> image, std::uint64_t offset) {
    std::uint8_t b[4] = {};
    const auto field = cut(image, offset, 4);
    if (!field.empty()) std::memcpy(b, field.data(), field.size());
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
}

}  // namespace

std::optional<SampleView> findNextSample(const BankImage& image, std::uint32_t start) {
    const std::uint32_t fileLength = image.fileLength();
    // Only a magic wholly within the file's bytes can match: the tail is zero.
    if (fileLength < 4 || start > fileLength - 4) return std::nullopt;
    const auto bytes = image.bytes();
    const std::byte* const base = bytes.data();
    const std::byte* p = base + start;
    const std::byte* const last = base + (fileLength - 4);  // the last candidate
    // memchr finds the next 'R' at memory speed and the three bytes after it
    // decide. Where 'R's are thick (more than one in 64 bytes), stopping at
    // each would crawl, so the rest is left to a substring search, which
    // skips ahead at a steady few GB/s whatever the bytes are.
    std::size_t misses = 0;
    while (true) {
        p = static_cast<const std::byte*>(std::memchr(p, 'R', static_cast<std::size_t>(last - p) + 1));
        if (p == nullptr) return std::nullopt;
        if (std::memcmp(p, kMagic, sizeof kMagic) == 0) break;
        if (++p > last) return std::nullopt;
        if (++misses >= 64 && misses * 64 > static_cast<std::size_t>(p - (base + start))) {
            p = static_cast<const std::byte*>(memmem(p, static_cast<std::size_t>(last - p) + 4, kMagic, sizeof kMagic));
            if (p == nullptr) return std::nullopt;
            break;
        }
    }

    SampleView sample;
    sample.magicOffset = static_cast<std::uint32_t>(p - base);
    const std::uint64_t magic = sample.magicOffset;
    sample.format = cut(bytes, magic + kFormatOffset, kFormatBytes);
    sample.dataLength = readU32(bytes, magic + kDataLengthOffset);
    sample.data = cut(bytes, magic + kHeaderBytes, sample.dataLength);
    sample.resumeOffset = static_cast<std::uint32_t>(std::min<std::uint64_t>(magic + sample.dataLength, 0xFFFFFFFFu));
    return sample;
}

ReadResult readBankFile(const char* path) {
    ReadResult result;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        result.status = ReadStatus::cannotOpen;
        return result;
    }
    struct FileCloser {
        std::FILE* f;
        ~FileCloser() { std::fclose(f); }
    } closer{file};

    // A directory may open for reading but is no file to read.
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        result.status = ReadStatus::cannotOpen;
        return result;
    }
    if (std::fseek(file, 0, SEEK_END) != 0) {
        result.status = ReadStatus::noLength;
        return result;
    }
    const long end = std::ftell(file);
    if (end < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
        result.status = ReadStatus::noLength;
        return result;
    }
    result.fileLength = static_cast<std::uint64_t>(end);
    if (result.fileLength > kMaxBankFileBytes) {
        result.status = ReadStatus::tooLarge;
        return result;
    }
    auto image = BankImage::allocate(result.fileLength);
    if (!image) {
        result.status = ReadStatus::noMemory;
        return result;
    }
    result.image = std::move(*image);
    // One read of L one-byte items. A short count (the file shrank meanwhile)
    // leaves zeros; an error of the system is reported, not loaded as silence.
    auto front = result.image.fileBytes();
    if (!front.empty()) {
        (void)std::fread(front.data(), 1, front.size(), file);
        if (std::ferror(file)) {
            result.image = BankImage{};
            result.status = ReadStatus::readError;
        }
    }
    return result;
}

}  // namespace bankplay
