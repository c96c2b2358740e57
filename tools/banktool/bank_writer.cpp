#include "tools/banktool/bank_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "bank/bank_image.h"
#include "bank/limits.h"

namespace bankplay::banktool {

namespace {

// The temporary file a signal handler removes; set while a writer holds one.
char gTempPath[4096];
volatile std::sig_atomic_t gHaveTemp = 0;

void setSignalTemp(const std::string& path) {
    gHaveTemp = 0;
    if (path.size() >= sizeof gTempPath) return;
    std::memcpy(gTempPath, path.c_str(), path.size() + 1);
    gHaveTemp = 1;
}

extern "C" void onFatalSignal(int sig) {
    if (gHaveTemp) ::unlink(gTempPath);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

const char* describe(ReadStatus status) {
    switch (status) {
        case ReadStatus::ok: return "read";
        case ReadStatus::cannotOpen: return "cannot open it";
        case ReadStatus::tooLarge: return "too large";
        case ReadStatus::noLength: return "its length cannot be found";
        case ReadStatus::noMemory: return "not enough memory";
        case ReadStatus::readError: return "read error";
    }
    return "unknown";
}

}  // namespace

std::unique_ptr<BankWriter> BankWriter::open(const std::string& path, std::string& error) {
    std::unique_ptr<BankWriter> writer(new BankWriter);
    writer->path_ = path;

    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            error = "is a directory";
            return nullptr;
        }
        writer->mode_ = st.st_mode & 07777;  // a rebuilt bank keeps its permissions
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        writer->mode_ = 0666 & ~mask;
    }

    const std::string dir = directoryOf(path);
    const std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    std::string tmpl = (dir == "/" ? "" : dir) + "/." + base + ".banktool-XXXXXX";
    const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) {
        error = errnoText("cannot create a temporary file beside it");
        return nullptr;
    }
    writer->fd_ = fd;
    writer->tempPath_ = tmpl;
    setSignalTemp(tmpl);
    return writer;
}

BankWriter::~BankWriter() { discard(); }

void BankWriter::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!tempPath_.empty()) {
        gHaveTemp = 0;
        ::unlink(tempPath_.c_str());
        tempPath_.clear();
    }
}

bool BankWriter::writeAll(const void* bytes, std::size_t length, std::string& error) {
    const char* p = static_cast<const char*>(bytes);
    while (length > 0) {
        const ssize_t n = ::write(fd_, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errnoText("write failed");
            return false;
        }
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool BankWriter::append(const Sample& sample, std::string& error) {
    if (fd_ < 0) {
        error = "the bank is no longer open";
        return false;
    }
    const std::uint64_t end = size_ + kHeaderBytes + sample.data.size();
    if (end > kMaxBankFileBytes) {
        error = "the bank would exceed the " + std::to_string(kMaxBankFileBytes) + " bytes the player can read";
        return false;
    }
    const auto header = canonicalHeader(sample);
    if (!writeAll(header.data(), header.size(), error) || !writeAll(sample.data.data(), sample.data.size(), error))
        return false;
    offsets_.push_back(static_cast<std::uint32_t>(size_));
    size_ = end;
    return true;
}

bool BankWriter::commit(std::string& error) {
    if (fd_ < 0) {
        error = "the bank is no longer open";
        return false;
    }
    if (::fchmod(fd_, static_cast<mode_t>(mode_)) != 0) {
        error = errnoText("cannot set permissions");
        return false;
    }
    if (::fsync(fd_) != 0) {
        error = errnoText("cannot flush to disk");
        return false;
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        error = errnoText("cannot close");
        return false;
    }

    // The player's reader and scanner must find each sample exactly where it
    // was written, and nothing else.
    const ReadResult read = readBankFile(tempPath_.c_str());
    if (read.status != ReadStatus::ok) {
        error = std::string("cannot read the written bank back: ") + describe(read.status);
        return false;
    }
    std::vector<std::uint32_t> found;
    std::uint32_t start = 0;
    while (found.size() <= offsets_.size()) {
        const auto next = findNextSample(read.image, start);
        if (!next) break;
        found.push_back(next->magicOffset);
        start = next->resumeOffset;
    }
    if (found != offsets_) {
        error = "internal error: the player's scanner finds " + std::to_string(found.size()) +
                " samples where " + std::to_string(offsets_.size()) + " were written";
        return false;
    }

    if (::rename(tempPath_.c_str(), path_.c_str()) != 0) {
        error = errnoText("cannot replace it");
        return false;
    }
    gHaveTemp = 0;
    tempPath_.clear();
    // The rename itself is made durable through the directory.
    const int dirFd = ::open(directoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool appendGuarded(BankWriter& writer, Sample& sample, const std::string& name, const std::string& outName,
                   Reporter& reporter) {
    if (const std::size_t changed = guardScanResume(sample); changed > 0) {
        reporter.note(name, "changed " + std::to_string(changed) + (changed == 1 ? " value" : " values") +
                                " by one least significant bit so the player's scan does not take \"RIFF\" "
                                "in its last 44 bytes for a new sample");
    }
    std::string error;
    if (!writer.append(sample, error)) {
        reporter.error(outName, error);
        return false;
    }
    return true;
}

void removeTemporaryFileOnSignal() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, onFatalSignal);
}

}  // namespace bankplay::banktool
