// Loading a bank: reading the file into a 2L image and SoundBank::init over
// the render-to-memory device, against reading the same file into memory
// (warm page cache) in the same run. Banks of 256 instruments are generated
// into a temporary directory and removed afterwards.
//
// Also measured, to size a change of the audio layer: two loads that hand the
// samples to the engine without the layer's staging copy, straight through
// the engine's API ("direct": alBufferData from the image; "mapped": buffer
// storage mapped for writing, the way Lock could hand it out).
//
// "PlainReadThp" reads the file into an anonymous mapping advised for
// transparent huge pages, the way BankImage::allocate could map the image.
// "EngineOverhead" is the resident memory a loopback context with N sources
// costs before any sample, a child per N.
//
// Memory: each configuration loads once in a child process of its own and
// reports its peak resident size (VmHWM) after the load and its resident size
// (VmRSS) once the image is freed.
//
// Flags of its own, before Google Benchmark's: --sizes=64,512 (MiB).
#include <AL/al.h>
#include <AL/alc.h>
#include <AL/alext.h>
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bank/bank_image.h"
#include "bank/sound_bank.h"
#include "bench/support.h"
#include "platform/audio/render.h"

namespace {

constexpr std::uint32_t kInstruments = 256;
constexpr std::uint32_t kRenderRate = 48000;

// --- loads, each ending with the samples in the engine ------------------------

// The engine's buffer storage and mapping entry points (AL_SOFTX_map_buffer
// in 1.19), which its headers do not declare.
using ALbitfield = unsigned int;
using BufferStorageFn = void(AL_APIENTRY*)(ALuint, ALenum, const ALvoid*, ALsizei, ALsizei, ALbitfield);
using MapBufferFn = void*(AL_APIENTRY*)(ALuint, ALsizei, ALsizei, ALbitfield);
using UnmapBufferFn = void(AL_APIENTRY*)(ALuint);
constexpr ALbitfield kMapWrite = 0x02;

struct EngineLoad {
    ALCdevice* device = nullptr;
    ALCcontext* context = nullptr;
    std::vector<ALuint> buffers;
    std::vector<ALuint> sources;

    ~EngineLoad() {
        if (context == nullptr) return;
        if (!sources.empty()) alDeleteSources(static_cast<ALsizei>(sources.size()), sources.data());
        if (!buffers.empty()) alDeleteBuffers(static_cast<ALsizei>(buffers.size()), buffers.data());
        alcMakeContextCurrent(nullptr);
        alcDestroyContext(context);
        alcCloseDevice(device);
    }
};

enum class Path { layer, direct, mapped };

// Opens a loopback device with the layer's context attributes.
bool openEngine(EngineLoad& e) {
    const auto open = reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
    if (open == nullptr || (e.device = open(nullptr)) == nullptr) return false;
    const ALCint attrs[] = {ALC_MONO_SOURCES, 4096, ALC_STEREO_SOURCES, 0, ALC_HRTF_SOFT, ALC_FALSE,
                            ALC_OUTPUT_LIMITER_SOFT, ALC_TRUE, ALC_FORMAT_CHANNELS_SOFT, ALC_STEREO_SOFT,
                            ALC_FORMAT_TYPE_SOFT, ALC_FLOAT_SOFT, ALC_FREQUENCY, static_cast<ALCint>(kRenderRate), 0};
    e.context = alcCreateContext(e.device, attrs);
    if (e.context == nullptr) {
        alcCloseDevice(e.device);
        e.device = nullptr;
        return false;
    }
    alcMakeContextCurrent(e.context);
    return true;
}

// The samples of the image into the engine without the layer, 16-bit PCM
// only (what the generated banks hold).
bool loadThroughEngine(EngineLoad& e, const bankplay::BankImage& image, Path path) {
    static const auto storage = reinterpret_cast<BufferStorageFn>(alGetProcAddress("alBufferStorageSOFT"));
    static const auto map = reinterpret_cast<MapBufferFn>(alGetProcAddress("alMapBufferSOFT"));
    static const auto unmap = reinterpret_cast<UnmapBufferFn>(alGetProcAddress("alUnmapBufferSOFT"));
    if (path == Path::mapped && (storage == nullptr || map == nullptr || unmap == nullptr)) return false;
    std::uint32_t position = 0;
    while (e.buffers.size() < kInstruments) {
        const auto sample = bankplay::findNextSample(image, position);
        if (!sample) break;
        std::uint16_t channels = 0;
        std::uint32_t rate = 0;
        std::memcpy(&channels, sample->format.data() + 2, 2);
        std::memcpy(&rate, sample->format.data() + 4, 4);
        const ALenum format = channels == 2 ? AL_FORMAT_STEREO16 : AL_FORMAT_MONO16;
        const auto bytes = static_cast<ALsizei>(sample->data.size() / (2u * channels) * (2u * channels));
        ALuint buffer = 0;
        alGenBuffers(1, &buffer);
        e.buffers.push_back(buffer);
        if (path == Path::direct) {
            alBufferData(buffer, format, sample->data.data(), bytes, static_cast<ALsizei>(rate));
        } else {
            storage(buffer, format, nullptr, bytes, static_cast<ALsizei>(rate), kMapWrite);
            void* p = map(buffer, 0, bytes, kMapWrite);
            if (p == nullptr) return false;
            std::memcpy(p, sample->data.data(), static_cast<std::size_t>(bytes));
            unmap(buffer);
        }
        for (std::uint32_t v = 0; v < bankplay::kVoicesPerInstrument; ++v) {
            ALuint source = 0;
            alGenSources(1, &source);
            alSourcei(source, AL_BUFFER, static_cast<ALint>(buffer));
            e.sources.push_back(source);
        }
        if (alGetError() != AL_NO_ERROR) return false;
        position = sample->resumeOffset;
    }
    return e.buffers.size() == kInstruments;
}

// One load of the bank at path by the given path; the loaded state is kept in
// bank or engine until they go. Times the read and the hand-over apart.
struct LoadTimes {
    double read = 0;
    double init = 0;
};

bool loadOnce(const std::string& file, Path path, bankplay::SoundBank& bank, EngineLoad& engine,
              bankplay::ReadResult& read, LoadTimes& times) {
    const double t0 = bench::monotonicSeconds();
    read = bankplay::readBankFile(file.c_str());
    const double t1 = bench::monotonicSeconds();
    bool ok = read.status == bankplay::ReadStatus::ok;
    if (ok && path == Path::layer) {
        ok = bank.init(nullptr, read.image) == 0 && bank.instrumentCount() == kInstruments;
    } else if (ok) {
        ok = openEngine(engine) && loadThroughEngine(engine, read.image, path);
    }
    const double t2 = bench::monotonicSeconds();
    times.read = t1 - t0;
    times.init = t2 - t1;
    return ok;
}

const char* pathName(Path p) { return p == Path::layer ? "layer" : p == Path::direct ? "direct" : "mapped"; }

// --- benchmarks -----------------------------------------------------------------

struct Bank {
    std::string file;
    std::uint64_t bytes = 0;
};

void BM_PlainRead(benchmark::State& state, const Bank& bank) {
    bench::warmPageCache(bank.file);
    bench::Block block;
    for (auto _ : state) {
        const double t0 = bench::monotonicSeconds();
        if (!bench::readWhole(bank.file, block)) {
            state.SkipWithError("cannot read the bank");
            return;
        }
        state.SetIterationTime(bench::monotonicSeconds() - t0);
        block.reset();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bank.bytes));
}

// The file into a fresh 2L anonymous mapping advised for huge pages.
void BM_PlainReadThp(benchmark::State& state, const Bank& bank) {
    bench::warmPageCache(bank.file);
    for (auto _ : state) {
        const double t0 = bench::monotonicSeconds();
        const std::size_t size = static_cast<std::size_t>(bank.bytes) * 2;
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            state.SkipWithError("no memory");
            return;
        }
        madvise(p, size, MADV_HUGEPAGE);
        std::FILE* f = std::fopen(bank.file.c_str(), "rb");
        const bool ok = f != nullptr && std::fread(p, 1, static_cast<std::size_t>(bank.bytes), f) == bank.bytes;
        if (f != nullptr) std::fclose(f);
        state.SetIterationTime(bench::monotonicSeconds() - t0);
        munmap(p, size);
        if (!ok) {
            state.SkipWithError("cannot read the bank");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bank.bytes));
}

void BM_Load(benchmark::State& state, const Bank& bank, Path path) {
    bench::warmPageCache(bank.file);
    bankplay::audio::setRenderToMemory(kRenderRate);
    double readSum = 0;
    double initSum = 0;
    for (auto _ : state) {
        auto soundBank = std::make_unique<bankplay::SoundBank>();
        auto engine = std::make_unique<EngineLoad>();
        bankplay::ReadResult read;
        LoadTimes times;
        if (!loadOnce(bank.file, path, *soundBank, *engine, read, times)) {
            state.SkipWithError("the load failed");
            return;
        }
        state.SetIterationTime(times.read + times.init);
        readSum += times.read;
        initSum += times.init;
        // Freeing is not part of the load.
        read.image = bankplay::BankImage{};
        soundBank.reset();
        engine.reset();
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["read_ms"] = readSum / n * 1e3;
    state.counters["init_ms"] = initSum / n * 1e3;
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bank.bytes));
}

// One load in a child; the ratios are against the file size.
void BM_LoadMemory(benchmark::State& state, const Bank& bank, const char* mode) {
    std::map<std::string, double> got;
    for (auto _ : state) {
        got = bench::runChild({"--memory-child", mode, bank.file});
        if (got.empty()) {
            state.SkipWithError("the child failed");
            return;
        }
    }
    const auto l = static_cast<double>(bank.bytes);
    state.counters["peak_over_L"] = got["peak"] / l;
    state.counters["steady_over_L"] = got["steady"] / l;
    state.counters["start_MiB"] = got["start"] / 1048576.0;
}

// Resident memory of a loopback context with the given number of sources.
void BM_EngineOverhead(benchmark::State& state, int sources) {
    std::map<std::string, double> got;
    for (auto _ : state) {
        got = bench::runChild({"--overhead-child", std::to_string(sources)});
        if (got.empty()) {
            state.SkipWithError("the child failed");
            return;
        }
    }
    state.counters["MiB"] = got["bytes"] / 1048576.0;
}

int overheadChild(int sources) {
    const double before = static_cast<double>(bench::statusBytes("VmRSS"));
    const auto open = reinterpret_cast<LPALCLOOPBACKOPENDEVICESOFT>(alcGetProcAddress(nullptr, "alcLoopbackOpenDeviceSOFT"));
    ALCdevice* device = open != nullptr ? open(nullptr) : nullptr;
    if (device == nullptr) return 1;
    const ALCint attrs[] = {ALC_MONO_SOURCES, sources, ALC_STEREO_SOURCES, 0, ALC_HRTF_SOFT, ALC_FALSE,
                            ALC_OUTPUT_LIMITER_SOFT, ALC_TRUE, ALC_FORMAT_CHANNELS_SOFT, ALC_STEREO_SOFT,
                            ALC_FORMAT_TYPE_SOFT, ALC_FLOAT_SOFT, ALC_FREQUENCY, static_cast<ALCint>(kRenderRate), 0};
    ALCcontext* context = alcCreateContext(device, attrs);
    if (context == nullptr) return 1;
    alcMakeContextCurrent(context);
    std::vector<ALuint> ids(static_cast<std::size_t>(sources));
    alGenSources(sources, ids.data());
    if (alGetError() != AL_NO_ERROR) return 1;
    bench::report("bytes", static_cast<double>(bench::statusBytes("VmRSS")) - before);
    return 0;
}

// The child's side: loads once and says its peak and steady resident sizes.
int memoryChild(const std::string& mode, const std::string& file) {
    bankplay::audio::setRenderToMemory(kRenderRate);
    bench::report("start", static_cast<double>(bench::statusBytes("VmRSS")));
    if (mode == "plain") {
        bench::Block block;
        if (!bench::readWhole(file, block)) return 1;
        bench::report("peak", static_cast<double>(bench::statusBytes("VmHWM")));
        bench::report("steady", static_cast<double>(bench::statusBytes("VmRSS")));
        return 0;
    }
    const Path path = mode == "layer" ? Path::layer : mode == "direct" ? Path::direct : Path::mapped;
    auto soundBank = std::make_unique<bankplay::SoundBank>();
    EngineLoad engine;
    bankplay::ReadResult read;
    LoadTimes times;
    if (!loadOnce(file, path, *soundBank, engine, read, times)) return 1;
    read.image = bankplay::BankImage{};
    bench::report("peak", static_cast<double>(bench::statusBytes("VmHWM")));
    bench::report("steady", static_cast<double>(bench::statusBytes("VmRSS")));
    return 0;
}

std::vector<std::uint64_t> parseSizes(const std::string& list) {
    std::vector<std::uint64_t> sizes;
    std::size_t at = 0;
    while (at < list.size()) {
        const std::size_t comma = list.find(',', at);
        const std::string item = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (!item.empty()) sizes.push_back(std::strtoull(item.c_str(), nullptr, 10));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return sizes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--memory-child") == 0) return memoryChild(argv[2], argv[3]);
    if (argc == 3 && std::strcmp(argv[1], "--overhead-child") == 0) return overheadChild(std::atoi(argv[2]));

    std::vector<std::uint64_t> sizes = {64, 512};
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--sizes=", 8) == 0) {
            sizes = parseSizes(argv[i] + 8);
        } else {
            rest.push_back(argv[i]);
        }
    }

    bench::TempDir dir;
    std::uint64_t needed = 0;
    for (auto mib : sizes) needed += mib << 20;
    if (dir.path().empty() || dir.freeBytes() < needed + (std::uint64_t{256} << 20)) {
        std::fprintf(stderr, "bench_load: not enough room in the temporary directory for %llu MiB of banks\n",
                     static_cast<unsigned long long>(needed >> 20));
        return 1;
    }
    static std::vector<Bank> banks;
    banks.reserve(sizes.size());
    for (auto mib : sizes) {
        Bank bank;
        bank.file = dir.file("bank-" + std::to_string(mib) + "MiB");
        if (!bench::writeBank(bank.file, mib << 20, kInstruments, mib)) {
            std::fprintf(stderr, "bench_load: cannot write %s\n", bank.file.c_str());
            return 1;
        }
        bank.bytes = static_cast<std::uint64_t>(std::filesystem::file_size(bank.file));
        banks.push_back(bank);
    }
    for (const Bank& bank : banks) {
        const std::string mib = std::to_string(bank.bytes >> 20) + "MiB";
        benchmark::RegisterBenchmark(("BM_PlainRead/" + mib).c_str(), BM_PlainRead, std::cref(bank))
            ->UseManualTime()->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("BM_PlainReadThp/" + mib).c_str(), BM_PlainReadThp, std::cref(bank))
            ->UseManualTime()->Unit(benchmark::kMillisecond);
        for (Path path : {Path::layer, Path::direct, Path::mapped})
            benchmark::RegisterBenchmark(("BM_Load/" + std::string(pathName(path)) + "/" + mib).c_str(), BM_Load,
                                         std::cref(bank), path)
                ->UseManualTime()->Unit(benchmark::kMillisecond);
        for (const char* mode : {"plain", "layer", "direct", "mapped"})
            benchmark::RegisterBenchmark(("BM_LoadMemory/" + std::string(mode) + "/" + mib).c_str(), BM_LoadMemory,
                                         std::cref(bank), mode)
                ->Iterations(1)->Unit(benchmark::kMillisecond);
    }
    for (int sources : {256, 2048, 4096})
        benchmark::RegisterBenchmark(("BM_EngineOverhead/sources:" + std::to_string(sources)).c_str(),
                                     BM_EngineOverhead, sources)
            ->Iterations(1)->Unit(benchmark::kMillisecond);
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
