// The console layer end to end: key_echo (a stand-in for the player's loop)
// runs in a pseudo-terminal, and the tests type keys, send signals and look
// at the terminal's modes the way the program's side sees them.
#include <signal.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/pty_session.h"

namespace {

using testpty::ExitStatus;
using testpty::PtyOptions;
using testpty::PtySession;
using namespace std::chrono_literals;

// Long enough for a loaded machine; the waits end as soon as they can.
constexpr auto kPatience = 10s;

constexpr char kQuery[] = "\x1b[?u\x1b[c";
constexpr char kPush[] = "\x1b[>3u";
constexpr char kPop[] = "\x1b[<u";

PtyOptions keyEcho(std::vector<std::string> flags = {}, bool jobControl = false) {
    PtyOptions options;
    options.args = {KEY_ECHO_PATH};
    options.args.insert(options.args.end(), flags.begin(), flags.end());
    options.jobControl = jobControl;
    return options;
}

bool isRaw(const termios& modes) {
    return (modes.c_lflag & ICANON) == 0 && (modes.c_lflag & ECHO) == 0 && (modes.c_lflag & ISIG) != 0 &&
           modes.c_cc[VMIN] == 0 && modes.c_cc[VTIME] == 0;
}

bool restored(const PtySession& session) { return testpty::sameModes(session.modes(), session.initialModes()); }

// Starts key_echo and waits until it has set the terminal up.
std::unique_ptr<PtySession> startReady(const PtyOptions& options, bool staysRunning = true) {
    auto session = std::make_unique<PtySession>(options);
    EXPECT_TRUE(session->waitFor("ready", kPatience)) << session->output();
    if (staysRunning) {
        EXPECT_TRUE(isRaw(session->modes()));
    }
    return session;
}

ExitStatus exitOf(PtySession& session) {
    const auto status = session.waitExit(kPatience);
    if (!status) {
        ADD_FAILURE() << "still running; output so far: " << session.output();
        return ExitStatus{-1};
    }
    return *status;
}

TEST(ConsolePty, EscEndsTheRunAndRestoresTheTerminal) {
    auto session = startReady(keyEcho());
    EXPECT_NE(session->output().find(kQuery), std::string::npos) << "the protocol query is sent at start";

    session->write("w");
    ASSERT_TRUE(session->waitFor(": W", kPatience)) << session->output();
    session->write("\x1b");
    ASSERT_TRUE(session->waitFor("bye", kPatience)) << session->output();

    const ExitStatus status = exitOf(*session);
    EXPECT_TRUE(status.exited() && status.code() == 0) << status.describe();
    EXPECT_TRUE(restored(*session));
    EXPECT_EQ(session->output().find('w'), std::string::npos) << "typed keys are not echoed";
    EXPECT_EQ(session->output().find(kPush), std::string::npos) << "no protocol without the terminal's consent";
}

TEST(ConsolePty, FailedLoadAfterSetUpRestoresTheTerminal) {
    auto session = startReady(keyEcho({"--fail"}), /*staysRunning=*/false);
    const ExitStatus status = exitOf(*session);
    EXPECT_TRUE(status.exited() && status.code() == 1) << status.describe();
    EXPECT_TRUE(restored(*session));
}

TEST(ConsolePty, CrashRestoresTheTerminalAndStillCrashes) {
    auto session = startReady(keyEcho({"--abort"}));
    session->write("a");
    const ExitStatus status = exitOf(*session);
    EXPECT_TRUE(status.signaled() && status.signal() == SIGABRT) << status.describe();
    EXPECT_TRUE(restored(*session));
}

struct InterruptCase {
    const char* name;
    const char* typed;  // typed into the terminal, or nullptr to send the signal
    int signal;
};

void PrintTo(const InterruptCase& c, std::ostream* out) { *out << c.name; }

class ConsolePtyInterrupt : public testing::TestWithParam<InterruptCase> {};

// The run ends through the loop, like Esc, and the process still dies by the
// signal once the terminal is restored.
TEST_P(ConsolePtyInterrupt, EndsTheRunRestoresAndDiesByTheSignal) {
    auto session = startReady(keyEcho());
    if (GetParam().typed) session->write(GetParam().typed);
    else ::kill(session->pid(), GetParam().signal);

    EXPECT_TRUE(session->waitFor("bye", kPatience)) << session->output();
    const ExitStatus status = exitOf(*session);
    EXPECT_TRUE(status.signaled() && status.signal() == GetParam().signal) << status.describe();
    EXPECT_TRUE(restored(*session));
}

const InterruptCase kInterruptCases[] = {
    {"ctrl_c", "\x03", SIGINT},
    {"sigint", nullptr, SIGINT},
    {"sigterm", nullptr, SIGTERM},
    {"sighup", nullptr, SIGHUP},
};

INSTANTIATE_TEST_SUITE_P(Signals, ConsolePtyInterrupt, testing::ValuesIn(kInterruptCases),
                         [](const testing::TestParamInfo<InterruptCase>& p) { return std::string(p.param.name); });

TEST(ConsolePty, SecondInterruptWhileShutdownHangsEndsAtOnce) {
    auto session = startReady(keyEcho({"--hang"}));
    ::kill(session->pid(), SIGTERM);
    ASSERT_TRUE(session->waitFor("bye", kPatience)) << session->output();
    EXPECT_FALSE(session->waitExit(100ms)) << "--hang never returns by itself";

    session->write("\x03");
    const ExitStatus status = exitOf(*session);
    EXPECT_TRUE(status.signaled() && status.signal() == SIGINT) << status.describe();
    EXPECT_TRUE(restored(*session));
}

TEST(ConsolePty, ClosingTheTerminalEndsTheProgram) {
    auto session = startReady(keyEcho());
    const pid_t pid = session->pid();
    session->closeMaster();

    const ExitStatus status = exitOf(*session);
    EXPECT_TRUE(status.signaled() && status.signal() == SIGHUP) << status.describe();
    errno = 0;
    EXPECT_EQ(::kill(-pid, 0), -1);
    EXPECT_EQ(errno, ESRCH) << "nothing of the program's process group is left";
}

// Replies to the start-up query as a terminal with the keyboard protocol does
// and waits until the program has pushed its flags.
void agreeToProtocol(PtySession& session) {
    session.write("\x1b[?0u\x1b[?62;22c");
    ASSERT_TRUE(session.waitFor(kPush, kPatience)) << session.output();
}

TEST(ConsolePtyProtocol, EscTapDoesNotEndTheRunButHoldingItDoes) {
    auto session = startReady(keyEcho());
    agreeToProtocol(*session);

    // Press and release within one poll, then a letter: the letter is only
    // printed if the tap did not end the loop first.
    session->write("\x1b[27u\x1b[27;1:3uw");
    ASSERT_TRUE(session->waitFor(": W", kPatience)) << session->output();
    session->write("\x1b[27u");
    ASSERT_TRUE(session->waitFor("bye", kPatience)) << session->output();
    EXPECT_TRUE(session->waitFor(kPop, kPatience)) << "the protocol is popped at exit";

    const ExitStatus status = exitOf(*session);
    EXPECT_TRUE(status.exited() && status.code() == 0) << status.describe();
    EXPECT_TRUE(restored(*session));
}

TEST(ConsolePtyProtocol, CtrlCAsAKeyInterruptsLikeSigint) {
    auto session = startReady(keyEcho());
    agreeToProtocol(*session);

    session->write("\x1b[99;5u");
    ASSERT_TRUE(session->waitFor("bye", kPatience)) << session->output();
    EXPECT_TRUE(session->waitFor(kPop, kPatience));
    const ExitStatus status = exitOf(*session);
    EXPECT_TRUE(status.signaled() && status.signal() == SIGINT) << status.describe();
    EXPECT_TRUE(restored(*session));
}

struct SuspendCase {
    const char* name;
    bool protocol;
    const char* typed;  // Ctrl+Z as the terminal sends it
};

void PrintTo(const SuspendCase& c, std::ostream* out) { *out << c.name; }

class ConsolePtySuspend : public testing::TestWithParam<SuspendCase> {};

TEST_P(ConsolePtySuspend, StopsWithTheTerminalRestoredAndIsRawAgainOnContinue) {
    auto session = startReady(keyEcho({}, /*jobControl=*/true));
    if (GetParam().protocol) agreeToProtocol(*session);

    session->write(GetParam().typed);
    ASSERT_TRUE(session->waitStopped(kPatience)) << session->output();
    EXPECT_TRUE(restored(*session));
    if (GetParam().protocol) {
        EXPECT_TRUE(session->waitFor(kPop, kPatience)) << "popped before stopping";
    }

    ::kill(session->pid(), SIGCONT);
    EXPECT_TRUE(session->waitUntil([&] { return isRaw(session->modes()); }, kPatience));
    if (GetParam().protocol) {
        EXPECT_TRUE(session->waitFor(kPush, kPatience)) << "pushed again on continue";
    }

    session->write("w");
    ASSERT_TRUE(session->waitFor(": W", kPatience)) << session->output();
    session->write(GetParam().protocol ? "\x1b[27u" : "\x1b");
    const ExitStatus status = exitOf(*session);
    EXPECT_TRUE(status.exited() && status.code() == 0) << status.describe();
    EXPECT_TRUE(restored(*session));
}

const SuspendCase kSuspendCases[] = {
    {"ctrl_z", false, "\x1a"},
    {"ctrl_z_as_a_protocol_key", true, "\x1b[122;5u"},
};

INSTANTIATE_TEST_SUITE_P(JobControl, ConsolePtySuspend, testing::ValuesIn(kSuspendCases),
                         [](const testing::TestParamInfo<SuspendCase>& p) { return std::string(p.param.name); });

TEST(ConsolePipe, ScriptedKeysPlayInTheFirstRoundAndEndOfInputEndsTheNext) {
    PtyOptions options;
    options.args = {"/bin/sh", "-c", "printf 'asdf' | exec \"$0\"", KEY_ECHO_PATH};
    PtySession session(options);

    const ExitStatus status = exitOf(session);
    EXPECT_TRUE(status.exited() && status.code() == 0) << status.describe();
    EXPECT_NE(session.output().find("1: A S D F"), std::string::npos) << session.output();
    EXPECT_NE(session.output().find("bye 2"), std::string::npos) << session.output();
    EXPECT_EQ(session.output().find('\x1b'), std::string::npos) << "no protocol sequences without a terminal";
    EXPECT_TRUE(restored(session));
}

}  // namespace
