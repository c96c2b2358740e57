// Shared pieces of the benchmark programs: generated banks in a temporary
// directory, process statistics from /proc, clocks, and running this same
// program as a child so that each measured configuration has a fresh process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <map>
#include <string>
#include <vector>

namespace bench {

// A temporary directory under $TMPDIR (or /tmp), removed with its files when
// the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // Bytes free on the directory's file system.
    std::uint64_t freeBytes() const;

private:
    std::string path_;
};

// Fills out with pseudo-random bytes in which the four bytes "RIFF" never
// occur; 'R' itself appears at its natural rate of one byte in 256.
void fillNoMagic(std::uint8_t* out, std::size_t n, std::uint64_t seed);

// The 44-byte RIFF/WAVE header of a PCM sample of dataBytes bytes.
void putHeader(std::uint8_t* out, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
               std::uint32_t dataBytes);

// Writes a bank of `instruments` 16-bit PCM samples, alternately mono and
// stereo at a few rates, totalling about totalBytes. Returns false when the
// file cannot be written.
bool writeBank(const std::string& path, std::uint64_t totalBytes, std::uint32_t instruments, std::uint64_t seed);

// A block of malloc'd memory.
struct Block {
    struct Free {
        void operator()(std::uint8_t* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<std::uint8_t[], Free> bytes;
    std::size_t size = 0;
    void reset() {
        bytes.reset();
        size = 0;
    }
};
// Reads the whole file into a fresh block of its size with one read, the way
// a program loads a file it needs whole; false on failure.
bool readWhole(const std::string& path, Block& out);
// Reads the file once and drops it, so that its pages are in the page cache.
void warmPageCache(const std::string& path);

// Fields of /proc/self/status in bytes (VmHWM, VmRSS, ...); 0 when missing.
std::uint64_t statusBytes(const char* field);
// Resets the peak resident size (VmHWM) to the current one where the kernel
// allows it; false otherwise.
bool resetPeakRss();
// User plus system CPU seconds of a process, from /proc/PID/stat.
double processCpuSeconds(int pid);
double selfCpuSeconds();
double threadCpuSeconds();
double monotonicSeconds();

// Runs this program again with the given arguments and extra environment,
// and returns what it printed on standard output as key=value pairs, one a
// line. Empty when it failed; the reason goes to standard error.
std::map<std::string, double> runChild(const std::vector<std::string>& args,
                                       const std::vector<std::string>& extraEnv = {});
// Prints a key=value line for runChild.
void report(const char* key, double value);

// Median and the given percentile (0..100, nearest rank) of a set.
double median(std::vector<double> v);
double percentile(std::vector<double> v, double p);

}  // namespace bench
