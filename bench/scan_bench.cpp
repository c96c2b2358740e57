// Scanning speed of the bank scanner (bankplay::findNextSample) over whole
// images, next to a memchr for a byte that never occurs in memory of the same
// size (the speed of reading memory once) and next to a candidate scanner.
//
// Images, each of a 64 MiB file:
//   noMagic    pseudo-random bytes without "RIFF": one call walks it all.
//   manyMagics a bank of 1 KiB samples (65536 magics). Walked two ways:
//              "every" finds each magic and goes on from the byte after it,
//              so every byte is scanned; "resume" follows the resume rule of
//              the sound bank, which skips each sample's data.
//   denseR     every byte 'R' and no magic: the worst case of a search that
//              stops at each 'R'. Shown for information.
#include <benchmark/benchmark.h>

#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "bank/bank_image.h"
#include "bench/candidate_scan.h"
#include "bench/support.h"

namespace {

constexpr std::size_t kFileBytes = std::size_t{64} << 20;
constexpr std::uint32_t kSampleBytes = 1024;

enum class Kind { noMagic, manyMagics, denseR };

std::vector<std::uint8_t> makeFile(Kind kind) {
    std::vector<std::uint8_t> bytes(kFileBytes);
    switch (kind) {
        case Kind::noMagic:
            bench::fillNoMagic(bytes.data(), bytes.size(), 7);
            break;
        case Kind::manyMagics:
            bench::fillNoMagic(bytes.data(), bytes.size(), 11);
            for (std::size_t at = 0; at + kSampleBytes <= bytes.size(); at += kSampleBytes)
                bench::putHeader(bytes.data() + at, 1, 44100, 16, kSampleBytes - 44);
            break;
        case Kind::denseR:
            std::memset(bytes.data(), 'R', bytes.size());
            break;
    }
    return bytes;
}

const bankplay::BankImage& image(Kind kind) {
    static std::optional<bankplay::BankImage> images[3];
    auto& slot = images[static_cast<int>(kind)];
    if (!slot) {
        const auto file = makeFile(kind);
        slot = bankplay::BankImage::fromBytes(std::as_bytes(std::span(file)));
    }
    return *slot;
}

const std::uint8_t* base(const bankplay::BankImage& img) {
    return reinterpret_cast<const std::uint8_t*>(img.bytes().data());
}

std::uint32_t readU32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

enum class Walk { every, resume };

// Every magic the scanner finds, going on from the byte after each or by the
// resume rule; a resume that does not move forward steps one byte, so the
// walk always ends.
std::vector<std::uint32_t> walkProject(const bankplay::BankImage& img, Walk walk) {
    std::vector<std::uint32_t> found;
    std::uint32_t pos = 0;
    while (const auto s = bankplay::findNextSample(img, pos)) {
        found.push_back(s->magicOffset);
        pos = walk == Walk::resume && s->resumeOffset > s->magicOffset ? s->resumeOffset : s->magicOffset + 1;
    }
    return found;
}

std::vector<std::uint32_t> walkCandidate(const bankplay::BankImage& img, Walk walk) {
    std::vector<std::uint32_t> found;
    const std::uint8_t* b = base(img);
    const std::size_t last = img.fileLength() - 4;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t at = bench::findMagic(b, pos, last);
        if (at == SIZE_MAX) break;
        found.push_back(static_cast<std::uint32_t>(at));
        const std::size_t resume = at + readU32(b + at + 40);
        pos = walk == Walk::resume && resume > at ? resume : at + 1;
    }
    return found;
}

void BM_Scan(benchmark::State& state, Kind kind, Walk walk) {
    const auto& img = image(kind);
    std::size_t magics = 0;
    for (auto _ : state) {
        const auto found = walkProject(img, walk);
        magics = found.size();
        benchmark::DoNotOptimize(found.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * img.fileLength());
    state.counters["magics"] = static_cast<double>(magics);
}

void BM_CandidateScan(benchmark::State& state, Kind kind, Walk walk) {
    const auto& img = image(kind);
    if (walkCandidate(img, walk) != walkProject(img, walk)) {
        state.SkipWithError("the candidate finds other magics than the scanner");
        return;
    }
    state.SetLabel(bench::findMagicVariant());
    for (auto _ : state) {
        const auto found = walkCandidate(img, walk);
        benchmark::DoNotOptimize(found.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * img.fileLength());
}

// The speed of reading memory once: memchr for a byte that memory of the
// image's file size never holds.
void BM_MemchrBaseline(benchmark::State& state) {
    auto bytes = makeFile(Kind::noMagic);
    for (auto& b : bytes)
        if (b == 0xA5) b = 0xA6;
    for (auto _ : state) {
        const void* p = std::memchr(bytes.data(), 0xA5, bytes.size());
        benchmark::DoNotOptimize(p);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

BENCHMARK(BM_MemchrBaseline)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Scan, noMagic, Kind::noMagic, Walk::every)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Scan, manyMagics_every, Kind::manyMagics, Walk::every)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Scan, manyMagics_resume, Kind::manyMagics, Walk::resume)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Scan, denseR, Kind::denseR, Walk::every)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CandidateScan, noMagic, Kind::noMagic, Walk::every)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CandidateScan, manyMagics_every, Kind::manyMagics, Walk::every)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CandidateScan, manyMagics_resume, Kind::manyMagics, Walk::resume)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CandidateScan, denseR, Kind::denseR, Walk::every)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
