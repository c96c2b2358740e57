#include "bank/bank_image.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "tests/support/wav_bytes.h"

using namespace bankplay;
using testwav::Bytes;

namespace {

BankImage imageOf(const Bytes& b) {
    return *BankImage::fromBytes(std::as_bytes(std::span(b.data(), b.size())));
}

// Every sample the scan finds, the way the bank walks the image (with a
// bound, since a zero data length finds the same magic forever).
std::vector<SampleView> scanAll(const BankImage& image, std::size_t limit = 300) {
    std::vector<SampleView> found;
    std::uint32_t at = 0;
    while (found.size() < limit) {
        auto s = findNextSample(image, at);
        if (!s) break;
        found.push_back(*s);
        at = s->resumeOffset;
    }
    return found;
}

bool withinImage(const BankImage& image, std::span<const std::byte> view) {
    const auto all = image.bytes();
    return view.empty() || (view.data() >= all.data() && view.data() + view.size() <= all.data() + all.size());
}

struct ScanCase {
    const char* name;
    Bytes file;
    std::vector<std::uint32_t> magicOffsets;
};

const testwav::Format kMono16;
const Bytes kA = testwav::wav(kMono16, testwav::pattern(100, 1));
const Bytes kB = testwav::wav(kMono16, testwav::pattern(60, 2));

// The last 44 bytes of a sample's data are scanned again.
Bytes riffInTail() {
    Bytes data = testwav::pattern(100);
    std::memcpy(data.data() + 70, "RIFF", 4);
    return testwav::wav(kMono16, data);
}
Bytes riffBeforeTail() {
    Bytes data = testwav::pattern(100);
    std::memcpy(data.data() + 10, "RIFF", 4);
    return testwav::wav(kMono16, data);
}

class ScanTable : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanTable, FindsTheExpectedMagics) {
    const auto image = imageOf(GetParam().file);
    std::vector<std::uint32_t> offsets;
    for (const auto& s : scanAll(image, 5)) {
        offsets.push_back(s.magicOffset);
        EXPECT_TRUE(withinImage(image, s.format));
        EXPECT_TRUE(withinImage(image, s.data));
    }
    EXPECT_EQ(offsets, GetParam().magicOffsets);
}

INSTANTIATE_TEST_SUITE_P(
    Images, ScanTable,
    ::testing::Values(
        ScanCase{"empty", {}, {}}, ScanCase{"oneByte", testwav::text("R"), {}},
        ScanCase{"threeBytes", testwav::text("RIF"), {}}, ScanCase{"noMagic", testwav::pattern(500), {}},
        ScanCase{"twoEndToEnd", testwav::join({kA, kB}), {0, 144}},
        ScanCase{"junkBeforeAndBetween", testwav::join({testwav::text("xyz"), kA, testwav::text("RIF.junk"), kB}),
                 {3, 155}},
        ScanCase{"oddOffset", testwav::join({testwav::text("R"), kA}), {1}},
        ScanCase{"magicInLast44BytesIsANewSample", riffInTail(), {0, 114, 114, 114, 114}},
        ScanCase{"magicEarlierInDataIsNotSeen", riffBeforeTail(), {0}},
        // A zero data length resumes at its own magic: found again and again.
        ScanCase{"zeroDataLengthRepeats", testwav::wav(kMono16, {}), {0, 0, 0, 0, 0}},
        ScanCase{"magicAsLastFourBytes", testwav::join({testwav::pattern(50), testwav::text("RIFF")}), {50, 50, 50, 50, 50}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(Scan, SampleFieldsComeFromTheHeader) {
    const auto image = imageOf(testwav::join({kA, kB}));
    const auto s = findNextSample(image, 0);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->dataLength, 100u);
    EXPECT_EQ(s->resumeOffset, 100u);  // magic + data length, not the end of the sample
    ASSERT_EQ(s->format.size(), 16u);
    EXPECT_EQ(s->format.data(), image.bytes().data() + 20);
    ASSERT_EQ(s->data.size(), 100u);
    EXPECT_EQ(s->data.data(), image.bytes().data() + 44);
    EXPECT_FALSE(findNextSample(image, image.fileLength() - 3));  // start + 4 past the file
    EXPECT_FALSE(findNextSample(image, 0xFFFFFFF0u));
}

TEST(Scan, HeaderNearTheEndReadsTheZeroTail) {
    // A magic 10 bytes before the end of a 60-byte file: the data length lies
    // beyond the file and reads as zero.
    Bytes file = testwav::pattern(60);
    std::memcpy(file.data() + 50, "RIFF", 4);
    file[56] = 7;
    const auto image = imageOf(file);
    const auto s = findNextSample(image, 0);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->magicOffset, 50u);
    EXPECT_EQ(s->dataLength, 0u);
    EXPECT_EQ(s->format.size(), 16u);
    EXPECT_EQ(std::to_integer<int>(s->format[0]), 0);
}

TEST(Scan, ReadsPastTheImageAreCutToWhatItHolds) {
    // A header in a file shorter than 40 bytes reaches past the 2L image:
    // the format record is cut and the data length reads as zero.
    const auto shortImage = imageOf(testwav::join({testwav::pattern(6), testwav::text("RIFF")}));
    auto s = findNextSample(shortImage, 0);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->magicOffset, 6u);
    EXPECT_EQ(s->format.size(), 0u);  // 26..42 lies past the 20-byte image
    EXPECT_EQ(s->dataLength, 0u);
    EXPECT_TRUE(s->data.empty());

    // A data length running past the image: the data is cut at its end, and
    // the resume offset ends the scan without wrapping round.
    const auto huge = imageOf(testwav::wav(kMono16, testwav::pattern(16), 0xFFFFFFFFu));
    s = findNextSample(huge, 0);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->dataLength, 0xFFFFFFFFu);
    EXPECT_EQ(s->data.size(), huge.bytes().size() - 44);
    EXPECT_TRUE(withinImage(huge, s->data));
    EXPECT_EQ(s->resumeOffset, 0xFFFFFFFFu);
    EXPECT_FALSE(findNextSample(huge, s->resumeOffset));

    Bytes offsetMagic = testwav::join({testwav::pattern(3), testwav::wav(kMono16, testwav::pattern(16), 0xFFFFFFFEu)});
    s = findNextSample(imageOf(offsetMagic), 0);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->resumeOffset, 0xFFFFFFFFu);  // 3 + 0xFFFFFFFE saturates
}

TEST(Scan, ImageIsTwiceTheFileWithAZeroTail) {
    const auto image = imageOf(kA);
    ASSERT_EQ(image.bytes().size(), 2 * kA.size());
    EXPECT_EQ(image.fileLength(), kA.size());
    for (std::size_t i = kA.size(); i < image.bytes().size(); ++i) ASSERT_EQ(std::to_integer<int>(image.bytes()[i]), 0);
    EXPECT_FALSE(BankImage::allocate(kMaxBankFileBytes + 1));
}

TEST(ReadBankFile, ReadsTheFileAndReportsWhatGoesWrong) {
    const std::string dir = ::testing::TempDir();
    const std::string path = dir + "/read_bank_file.bank";
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(kA.data()), static_cast<std::streamsize>(kA.size()));
    }
    ReadResult read = readBankFile(path.c_str());
    ASSERT_EQ(read.status, ReadStatus::ok);
    EXPECT_EQ(read.image.fileLength(), kA.size());
    EXPECT_EQ(std::memcmp(read.image.bytes().data(), kA.data(), kA.size()), 0);

    EXPECT_EQ(readBankFile((dir + "/no such file").c_str()).status, ReadStatus::cannotOpen);
    EXPECT_EQ(readBankFile(dir.c_str()).status, ReadStatus::cannotOpen);

    // A file of 2^31 bytes has offsets past 32 bits: refused, not wrapped.
    // Sparse, so it costs no disk.
    const std::string huge = dir + "/huge.bank";
    {
        std::FILE* f = std::fopen(huge.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(ftruncate(fileno(f), std::int64_t{1} << 31), 0);
        std::fclose(f);
    }
    read = readBankFile(huge.c_str());
    EXPECT_EQ(read.status, ReadStatus::tooLarge);
    EXPECT_EQ(read.fileLength, std::uint64_t{1} << 31);
    std::remove(huge.c_str());

    const std::string empty = dir + "/empty.bank";
    std::ofstream{empty};
    read = readBankFile(empty.c_str());
    ASSERT_EQ(read.status, ReadStatus::ok);
    EXPECT_EQ(read.image.fileLength(), 0u);
    EXPECT_FALSE(findNextSample(read.image, 0));
}

}  // namespace

namespace {

TEST(Scan, DenseRunsOfRStillFindTheMagicExactly) {
    // 'R' bytes everywhere, with near misses, then the magic at odd places:
    // the search that takes over in dense data must find the same offsets.
    for (std::size_t at : {3u, 70u, 5000u, 9999u}) {
        Bytes file(10004, 'R');
        for (std::size_t i = 1; i < file.size(); i += 7) file[i] = 'I';
        std::memcpy(file.data() + at, "RIFF", 4);
        const auto image = imageOf(file);
        const auto s = findNextSample(image, 0);
        ASSERT_TRUE(s) << at;
        EXPECT_EQ(s->magicOffset, at);
        EXPECT_FALSE(findNextSample(imageOf(Bytes(10000, 'R')), 0));
    }
}

}  // namespace
