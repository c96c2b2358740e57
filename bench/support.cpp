#include "bench/support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace bench {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/bankplay-bench-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::uint64_t TempDir::freeBytes() const {
    struct statvfs s {};
    if (path_.empty() || statvfs(path_.c_str(), &s) != 0) return 0;
    return static_cast<std::uint64_t>(s.f_bavail) * s.f_frsize;
}

void fillNoMagic(std::uint8_t* out, std::size_t n, std::uint64_t seed) {
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(out + i, &x, 8);
    }
    for (; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 31 + seed);
    // Break the rare "RIFF" the generator makes by chance.
    std::size_t at = 0;
    while (n >= 4 && at <= n - 4) {
        auto* p = static_cast<std::uint8_t*>(std::memchr(out + at, 'R', n - 3 - at));
        if (p == nullptr) break;
        if (std::memcmp(p, "RIFF", 4) == 0) p[1] = 'X';
        at = static_cast<std::size_t>(p - out) + 1;
    }
}

namespace {

void putU16(std::uint8_t* b, std::uint16_t v) {
    b[0] = static_cast<std::uint8_t>(v);
    b[1] = static_cast<std::uint8_t>(v >> 8);
}
void putU32(std::uint8_t* b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

void putHeader(std::uint8_t* out, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
               std::uint32_t dataBytes) {
    const auto block = static_cast<std::uint16_t>(channels * (bits / 8));
    std::memcpy(out, "RIFF", 4);
    putU32(out + 4, 36 + dataBytes);
    std::memcpy(out + 8, "WAVEfmt ", 8);
    putU32(out + 16, 16);
    putU16(out + 20, 1);
    putU16(out + 22, channels);
    putU32(out + 24, rate);
    putU32(out + 28, rate * block);
    putU16(out + 32, block);
    putU16(out + 34, bits);
    std::memcpy(out + 36, "data", 4);
    putU32(out + 40, dataBytes);
}

bool writeBank(const std::string& path, std::uint64_t totalBytes, std::uint32_t instruments, std::uint64_t seed) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    static constexpr std::uint32_t kRates[] = {22050, 32000, 44100, 48000};
    const std::uint64_t each = totalBytes / instruments;
    std::vector<std::uint8_t> sample;
    bool ok = true;
    for (std::uint32_t i = 0; i < instruments && ok; ++i) {
        const std::uint16_t channels = (i % 2 == 0) ? 1 : 2;
        const std::uint32_t block = channels * 2u;
        const auto dataBytes = static_cast<std::uint32_t>((each - 44) / block * block);
        sample.resize(44 + std::size_t{dataBytes});
        putHeader(sample.data(), channels, kRates[i % 4], 16, dataBytes);
        fillNoMagic(sample.data() + 44, dataBytes, seed + i);
        ok = std::fwrite(sample.data(), 1, sample.size(), f) == sample.size();
    }
    return std::fclose(f) == 0 && ok;
}

bool readWhole(const std::string& path, Block& out) {
    out.reset();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    const long end = ok ? std::ftell(f) : -1;
    ok = end >= 0 && std::fseek(f, 0, SEEK_SET) == 0;
    if (ok) {
        // Fresh, untouched memory, like the image's front before the read.
        const auto size = static_cast<std::size_t>(end);
        out.bytes.reset(static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size)));
        out.size = size;
        ok = out.bytes != nullptr && std::fread(out.bytes.get(), 1, size, f) == size;
    }
    std::fclose(f);
    return ok;
}

void warmPageCache(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    std::vector<char> chunk(1 << 20);
    while (read(fd, chunk.data(), chunk.size()) > 0) {
    }
    close(fd);
}

std::uint64_t statusBytes(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::strtoull(line.c_str() + prefix.size(), nullptr, 10) * 1024;  // the kernel says kB
        }
    }
    return 0;
}

bool resetPeakRss() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    return static_cast<bool>(out);
}

double processCpuSeconds(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces: fields are counted after its ')'.
    const auto close = all.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(all.substr(close + 2));
    std::string field;
    double utime = 0;
    double stime = 0;
    for (int i = 3; rest >> field; ++i) {
        if (i == 14) utime = std::strtod(field.c_str(), nullptr);
        if (i == 15) {
            stime = std::strtod(field.c_str(), nullptr);
            break;
        }
    }
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

namespace {
double clockSeconds(clockid_t id) {
    timespec t{};
    clock_gettime(id, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
}  // namespace

double selfCpuSeconds() { return clockSeconds(CLOCK_PROCESS_CPUTIME_ID); }
double threadCpuSeconds() { return clockSeconds(CLOCK_THREAD_CPUTIME_ID); }
double monotonicSeconds() { return clockSeconds(CLOCK_MONOTONIC); }

std::map<std::string, double> runChild(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv) {
    std::map<std::string, double> result;
    int out[2];
    if (pipe(out) != 0) return result;
    std::vector<std::string> argStore = {"/proc/self/exe"};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) envStore.emplace_back(*e);
    envStore.insert(envStore.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = 0;
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[n > 0 ? n : 0] = '\0';
    const int rc = posix_spawn(&pid, exe, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        std::fprintf(stderr, "bench: cannot start a child: %s\n", std::strerror(rc));
        return result;
    }
    std::string text;
    char chunk[4096];
    ssize_t got;
    while ((got = read(out[0], chunk, sizeof chunk)) > 0 || (got < 0 && errno == EINTR))
        if (got > 0) text.append(chunk, static_cast<std::size_t>(got));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench: child %s failed (status %d)\n", args.empty() ? "" : args[0].c_str(), status);
        return {};
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        result[line.substr(0, eq)] = std::strtod(line.c_str() + eq + 1, nullptr);
    }
    return result;
}

void report(const char* key, double value) { std::printf("%s=%.9g\n", key, value); }

double median(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
    rank = std::clamp<std::size_t>(rank, 1, v.size());
    return v[rank - 1];
}

}  // namespace bench
