// banktool list over banks made by hand, good and bad.
#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>

#include "tests/banktool/support.h"
#include "tests/support/wav_bytes.h"
#include "tools/banktool/list.h"

namespace {

using namespace banktest;
using bankplay::banktool::BankReport;
using testwav::Format;
using testwav::join;
using testwav::pattern;
using testwav::wav;

Bytes good(std::size_t bytes = 400) { return wav({}, pattern(bytes)); }

Bytes withTagAt(Bytes b, std::size_t at, const char* tag) {
    std::memcpy(b.data() + at, tag, 4);
    return b;
}

// A WAV with the 18-byte format chunk many programs write: "data" sits at
// offset 38, and the player reads "ta" and two length bytes as the length,
// which for 4096 bytes of data is 0x10006174.
Bytes eighteenByteFmt() {
    Bytes b = wav({}, pattern(4096));
    testwav::putU32(b, 16, 18);
    b.insert(b.begin() + 36, {0, 0});
    return b;
}

struct Case {
    const char* what;
    Bytes bank;
    std::size_t count;
    std::optional<std::uint32_t> firstRefused;
    std::size_t sample;        // the sample whose problem is checked
    const char* refusal;       // substring, or "" for none
    const char* warning;       // substring of one warning, or "" for none
};

std::vector<Case> cases() {
    Bytes riffTail = pattern(400);
    std::memcpy(riffTail.data() + 390, "RIFF", 4);
    return {
        {"canonical", join({good(), good(800)}), 2, std::nullopt, 1, "", ""},
        {"zero data length", join({wav({}, {}, 0), good()}), 1, 0, 0, "data length below 4 bytes", "zero data length"},
        {"format tag 2", join({good(), wav(Format{.tag = 2}, pattern(400)), good()}), 3, 1, 1,
         "format tag other than PCM (1) or float (3)", ""},
        {"data past the end", wav({}, pattern(400), 1000), 1, std::nullopt, 0, "", "data runs 600 bytes past the end"},
        {"no WAVE", withTagAt(good(), 8, "AVI "), 1, std::nullopt, 0, "", "no \"WAVE\" tag at offset 8 (found \"AVI \")"},
        {"no fmt", withTagAt(good(), 12, "JUNK"), 1, std::nullopt, 0, "", "no \"fmt \" tag at offset 12"},
        {"18-byte fmt chunk", eighteenByteFmt(), 1, 0, 0, "data length above",
         "no \"data\" tag at offset 36 (found \"\\x00\\x00da\")"},
        // The sample found in the tail reads "fmt " of the next header as
        // its channel count.
        {"RIFF in a tail", join({wav({}, riffTail), good()}), 2, 1, 1, "not mono or stereo",
         "starts inside instrument 0"},
        {"no sample", testwav::text("nothing here"), 0, std::nullopt, 0, "", ""},
        {"header cut short", testwav::text("RIFF$"), 1, 0, 0, "data length below", "header runs past the end of the file"},
    };
}

TEST(ListReport, FindsWhatThePlayerLoadsAndWhyNot) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.what);
        const BankReport r = inspectBytes(c.bank);
        ASSERT_EQ(r.samples.size(), c.count);
        EXPECT_EQ(r.firstRefused, c.firstRefused);
        EXPECT_EQ(r.allLoad(), c.count > 0 && !c.firstRefused);
        if (c.count == 0) continue;
        const auto& s = r.samples[c.sample];
        if (*c.refusal == '\0')
            EXPECT_EQ(s.refusal, "");
        else
            EXPECT_NE(s.refusal.find(c.refusal), std::string::npos) << s.refusal;
        if (*c.warning == '\0') {
            EXPECT_TRUE(s.warnings.empty()) << s.warnings.front();
        } else {
            std::string all;
            for (const auto& w : s.warnings) all += w + "\n";
            EXPECT_NE(all.find(c.warning), std::string::npos) << all;
        }
    }
}

TEST(ListReport, StopsAtThePlayersLimitAndSaysMoreFollow) {
    Bytes bank;
    for (int i = 0; i < 257; ++i) bank = join({bank, wav({}, pattern(8))});
    const BankReport r = inspectBytes(bank);
    EXPECT_EQ(r.samples.size(), 256u);
    EXPECT_TRUE(r.samplesIgnored);
    EXPECT_TRUE(r.allLoad());

    bank.resize(bank.size() - 52);  // exactly 256
    EXPECT_FALSE(inspectBytes(bank).samplesIgnored);
}

TEST(ListText, ShowsOneRowPerInstrumentWarningsBelowAndASummary) {
    const Bytes bank = join({wav(Format{.channels = 2, .rate = 22050}, pattern(8820)),
                             wav(Format{.tag = 7, .rate = 8000, .bits = 8}, pattern(80)),
                             wav(Format{.tag = 3, .rate = 48000, .bits = 32}, pattern(400), 1000)});
    auto image = bankplay::BankImage::fromBytes(std::as_bytes(std::span(bank)));
    std::string out;
    EXPECT_FALSE(bankplay::banktool::listBank(*image, {}, out));
    EXPECT_EQ(out,
              "inst     offset  tag  ch    rate  bits      length  duration\n"
              "   0          0    1   2   22050    16        8820  0.100 s\n"
              "   1       8864    7   1    8000     8          80  0.010 s\n"
              "     warning: the audio layer refuses it: format tag other than PCM (1) or float (3)\n"
              "   2       8988    3   1   48000    32        1000  0.005 s\n"
              "     warning: header not canonical: data runs 600 bytes past the end of the file\n"
              "3 instruments: instrument 1 is refused by the audio layer, and the player's load stops there\n");
}

TEST(ListJson, ParsesWithStableKeysAndEscapedText) {
    const Bytes bank = join({good(), eighteenByteFmt()});
    auto image = bankplay::BankImage::fromBytes(std::as_bytes(std::span(bank)));
    std::string out;
    EXPECT_FALSE(bankplay::banktool::listBank(*image, {.json = true}, out));

    const auto j = nlohmann::json::parse(out);  // throws on malformed JSON
    EXPECT_EQ(j.at("fileLength"), bank.size());
    EXPECT_EQ(j.at("count"), 2);
    EXPECT_EQ(j.at("allLoad"), false);
    EXPECT_EQ(j.at("firstRefused"), 1);
    EXPECT_EQ(j.at("samplesIgnored"), false);
    ASSERT_EQ(j.at("instruments").size(), 2u);
    for (const auto& s : j.at("instruments")) {
        for (const char* key : {"instrument", "offset", "formatTag", "channels", "sampleRate", "avgBytesPerSec",
                                "blockAlign", "bitsPerSample", "dataLength"})
            EXPECT_TRUE(s.at(key).is_number_unsigned()) << key;
        EXPECT_TRUE(s.at("durationSeconds").is_number());
        EXPECT_TRUE(s.at("warnings").is_array());
    }
    const auto& first = j["instruments"][0];
    EXPECT_TRUE(first.at("refusal").is_null());
    EXPECT_NEAR(first.at("durationSeconds").get<double>(), 400.0 / 2 / 44100, 1e-6);
    const auto& second = j["instruments"][1];
    EXPECT_EQ(second.at("offset"), good().size());
    EXPECT_EQ(second.at("refusal"), "data length above 0x0FFFFFFF bytes");
    EXPECT_EQ(second.at("warnings")[0], "no \"data\" tag at offset 36 (found \"\\x00\\x00da\")");

    EXPECT_EQ(bankplay::banktool::jsonString(std::string("a\"b\\c\n\x01\xE9", 8)), "\"a\\\"b\\\\c\\n\\u0001\\u00E9\"");
}

}  // namespace
