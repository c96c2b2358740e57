// Writing a bank file atomically, sample by sample.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/banktool/report.h"
#include "tools/banktool/sample.h"

namespace bankplay::banktool {

// Samples go into a temporary file in the destination's directory. commit()
// flushes it to disk, checks it with the player's own reader and scanner, and
// renames it over the destination; until then the destination keeps whatever
// it held. A writer dropped without a successful commit removes its
// temporary file.
class BankWriter {
public:
    static std::unique_ptr<BankWriter> open(const std::string& path, std::string& error);
    ~BankWriter();
    BankWriter(const BankWriter&) = delete;
    BankWriter& operator=(const BankWriter&) = delete;

    // Appends one sample behind the canonical header. Fails when writing
    // fails or the bank would grow past the largest file the player reads.
    bool append(const Sample& sample, std::string& error);
    bool commit(std::string& error);

    const std::string& temporaryPath() const { return tempPath_; }
    std::size_t sampleCount() const { return offsets_.size(); }
    std::uint64_t size() const { return size_; }

private:
    BankWriter() = default;
    bool writeAll(const void* bytes, std::size_t length, std::string& error);
    void discard();

    std::string path_;
    std::string tempPath_;
    int fd_ = -1;
    unsigned mode_ = 0644;
    std::uint64_t size_ = 0;
    std::vector<std::uint32_t> offsets_;
};

// Guards the sample against the scan's early resume (guardScanResume),
// telling the reporter about values changed under the sample's name, and
// appends it. Reports a failure under the output's name.
bool appendGuarded(BankWriter& writer, Sample& sample, const std::string& name, const std::string& outName,
                   Reporter& reporter);

// Makes SIGINT, SIGTERM and SIGHUP remove the temporary file of the writer
// open at the time before the process ends as the signal would end it.
void removeTemporaryFileOnSignal();

}  // namespace bankplay::banktool
