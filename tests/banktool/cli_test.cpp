// banktool's command line: help, version, usage errors and exit statuses.
#include <gtest/gtest.h>

#include "tests/banktool/support.h"
#include "tests/support/wav_bytes.h"

namespace {

using namespace banktest;

TEST(Cli, HelpVersionAndUsageErrors) {
    const struct {
        std::vector<std::string> args;
        int exit;
        const char* out;  // substring of stdout, or of stderr when exit != 0
    } cases[] = {
        {{"--help"}, 0, "Usage: banktool build [--force] OUT.bank FILE|DIR..."},
        {{"-h"}, 0, "banktool list [--json] BANK"},
        {{"build", "--help"}, 0, "Usage: banktool build"},
        {{"list", "x.bank", "-h"}, 0, "Usage: banktool list"},
        {{"demo", "--help"}, 0, "Usage: banktool demo OUT.bank"},
        {{"--version"}, 0, "banktool " BANKTOOL_VERSION "\n"},
        {{}, 2, "banktool: no command given (see 'banktool --help')"},
        {{"frob"}, 2, "banktool: frob: unknown command"},
        {{"--frob"}, 2, "banktool: --frob: unknown option"},
        {{"build", "out.bank"}, 2, "banktool: build: needs OUT.bank and at least one input (see 'banktool build --help')"},
        {{"build", "--quiet", "out.bank", "in.wav"}, 2, "banktool: build: unknown option --quiet"},
        {{"list"}, 2, "banktool: list: needs exactly one BANK"},
        {{"list", "a.bank", "b.bank"}, 2, "needs exactly one BANK"},
        {{"demo"}, 2, "banktool: demo: needs exactly one OUT.bank"},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        const auto r = banktool(c.args);
        EXPECT_EQ(r.exitCode, c.exit);
        if (c.exit == 0) {
            EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(c.out), std::string::npos) << r.err;
            EXPECT_EQ(lineCount(r.err), 1u) << r.err;
            EXPECT_EQ(r.out, "");
        }
    }
}

TEST(Cli, ListExitsZeroOnlyWhenEverySampleLoads) {
    TempDir dir;
    writeFile(dir / "good.bank", testwav::wav({}, testwav::pattern(400)));
    writeFile(dir / "bad.bank", testwav::join({testwav::wav({}, testwav::pattern(400)),
                                               testwav::wav(testwav::Format{.channels = 3}, testwav::pattern(402))}));
    fs::create_directory(dir / "folder");

    const auto good = banktool({"list", dir / "good.bank"});
    EXPECT_EQ(good.exitCode, 0);
    EXPECT_NE(good.out.find("1 instrument, which loads"), std::string::npos) << good.out;
    const auto bad = banktool({"list", "--json", dir / "bad.bank"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.out.find("\"refusal\": \"not mono or stereo\""), std::string::npos) << bad.out;

    for (const std::string name : {"missing.bank", "folder"}) {
        const auto r = banktool({"list", dir / name});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err.rfind("banktool: " + dir / name + ": ", 0), 0u) << r.err;
        EXPECT_EQ(lineCount(r.err), 1u);
    }
}

}  // namespace
