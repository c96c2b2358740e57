// The console interface over a POSIX terminal: keys come from standard input,
// which is put into raw, non-echoing, non-blocking mode when it is a terminal
// and read as it is when it is a pipe or a file.
//
// Terminal modes and the keyboard enhancement protocol are undone on every way
// out: at exit (atexit), on SIGINT/SIGTERM/SIGHUP (which end the run like Esc
// and are re-raised at exit, so the process still dies by them), on the crash
// signals (restored, then re-raised with the default action) and on Ctrl+Z
// (restored, stopped, and raw again on SIGCONT).
//
// A second SIGINT, SIGTERM or SIGHUP while one is already recorded restores
// the terminal and kills the process at once: if shutting down hangs, the
// user can still get out.
//
// Input is pumped (everything available read without blocking) at the end
// of each Sleep and at the first key query. The end of a pipe or file, or a
// terminal that is gone, counts as Esc held from the pump after the one that
// found it, so the keys read with it are seen by one round of queries first.
//
// At start-up the terminal is asked whether it speaks the keyboard
// enhancement protocol (CSI ? u, then CSI c); nothing waits for the answers.
// If it does, our flags are pushed (disambiguate, report event types) and
// popped again on every way out and before a stop.
//
// Nothing here allocates or blocks once started, except Sleep; the only
// output is the protocol's sequences, written to the terminal itself.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/console/console.h"
#include "platform/console/key_state.h"
#include "platform/idle.h"

namespace {

using bankplay::console::KeyState;

constexpr char kQueryProtocol[] = "\x1b[?u\x1b[c";  // protocol flags, then primary device attributes
constexpr char kPushProtocol[] = "\x1b[>3u";        // disambiguate keys, report event types
constexpr char kPopProtocol[] = "\x1b[<u";

// How long the exit waits for the terminal's answer to the start-up query, so
// that a late answer does not land in the shell's input.
constexpr int kAnswerDrainMs = 150;
constexpr int kMaxReadsPerPump = 8;

constexpr int kTerminatingSignals[] = {SIGINT, SIGTERM, SIGHUP};
// Their default action ends the process at once (SIGQUIT with a core dump).
constexpr int kCrashSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGQUIT};

// Set up once by start(), then read by the signal handlers.
int gInputFd = STDIN_FILENO;
int gTerminalOutFd = -1;  // where protocol sequences go; -1 when stdin is no terminal
bool gIsTerminal = false;
termios gSavedModes{};
termios gRawModes{};

volatile sig_atomic_t gStarted = 0;
volatile sig_atomic_t gFinished = 0;        // the exit has restored the terminal for good
volatile sig_atomic_t gRawActive = 0;       // raw modes are in force
volatile sig_atomic_t gProtocolWanted = 0;  // the terminal agreed to the protocol
volatile sig_atomic_t gProtocolPushed = 0;  // our flags are on the terminal's stack now
volatile sig_atomic_t gStopSignal = 0;      // the first terminating signal received
volatile sig_atomic_t gResumed = 0;         // continued after a stop: held keys are stale

bool gQueried = false;
bool gEverPumped = false;
KeyState gKeys;
std::uint8_t gReadBuffer[512];
alignas(16) char gAltStack[64 * 1024];
struct {
} gConsoleToken;

// --- System calls, retried on EINTR -----------------------------------------

void writeAll(int fd, const char* data, std::size_t size) {
    while (fd >= 0 && size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // gone or would block: the sequence is lost, nothing waits for it
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

template <std::size_t N>
void writeSequence(const char (&sequence)[N]) {
    writeAll(gTerminalOutFd, sequence, N - 1);
}

void setModes(const termios& modes) {
    while (::tcsetattr(gInputFd, TCSANOW, &modes) != 0 && errno == EINTR) {
    }
}

std::chrono::milliseconds monotonicNow() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::chrono::milliseconds{static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000};
}

bool inForeground() { return ::tcgetpgrp(gInputFd) == ::getpgrp(); }

// --- Terminal modes; async-signal-safe ---------------------------------------

void enterRaw() {
    setModes(gRawModes);
    gRawActive = 1;
    if (gProtocolWanted && !gProtocolPushed) {
        writeSequence(kPushProtocol);
        gProtocolPushed = 1;
    }
}

void leaveRaw() {
    if (gProtocolPushed) {
        writeSequence(kPopProtocol);
        gProtocolPushed = 0;
    }
    if (gRawActive) {
        setModes(gSavedModes);
        gRawActive = 0;
    }
}

void blockHandledSignals(sigset_t& previous) {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);
}

// Restores the terminal, then ends the process by sig with its default action.
[[noreturn]] void dieBy(int sig) {
    const int saved = errno;
    if (gIsTerminal) leaveRaw();
    gFinished = 1;
    ::signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    ::raise(sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    errno = saved;
    ::_exit(128 + sig);  // reached only if the signal did not end the process
}

// --- Signal handlers ---------------------------------------------------------

void onTerminatingSignal(int sig) {
    if (gStopSignal != 0) dieBy(sig);
    gStopSignal = sig;
}

void onCrashSignal(int sig) {
    // SA_RESETHAND has put back the default action; the signal is blocked
    // until the handler returns, then the raised one (or the fault itself,
    // happening again) ends the process.
    const int saved = errno;
    if (gIsTerminal) leaveRaw();
    ::raise(sig);
    errno = saved;
}

void installHandler(int sig, void (*handler)(int), int flags);

void onSuspendSignal(int sig) {
    const int saved = errno;
    const bool wasRaw = gRawActive != 0;
    leaveRaw();
    ::signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(sig);  // stops here until SIGCONT, whose handler enters raw modes again
    sigprocmask(SIG_BLOCK, &only, nullptr);
    installHandler(sig, onSuspendSignal, SA_RESTART);
    // A stop is discarded in an orphaned process group, so no SIGCONT came.
    if (wasRaw && !gRawActive && !gFinished && inForeground()) enterRaw();
    gResumed = 1;
    errno = saved;
}

void onContinueSignal(int) {
    const int saved = errno;
    // A job continued in the background leaves the terminal alone: the shell
    // sends SIGCONT again when it brings the job to the foreground.
    if (!gFinished && inForeground()) {
        // The modes may have been changed while stopped, so set them even
        // when this process had not left them.
        enterRaw();
    }
    gResumed = 1;
    errno = saved;
}

void installHandler(int sig, void (*handler)(int), int flags) {
    struct sigaction action{};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    for (int blocked : {SIGINT, SIGTERM, SIGHUP, SIGTSTP, SIGCONT}) sigaddset(&action.sa_mask, blocked);
    ::sigaction(sig, &action, nullptr);
}

bool ignoredAtStart(int sig) {
    struct sigaction current{};
    ::sigaction(sig, nullptr, &current);
    return current.sa_handler == SIG_IGN;
}

// A stack for the crash handlers, so a stack overflow still restores the
// terminal; left alone when something (a sanitizer) has set one already.
void installAltStack() {
    stack_t current{};
    if (::sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) return;
    stack_t stack{};
    stack.ss_sp = gAltStack;
    stack.ss_size = sizeof gAltStack;
    ::sigaltstack(&stack, nullptr);
}

// --- Input -------------------------------------------------------------------

// Sends a signal the way the terminal would for a key: to the foreground
// process group when that is ours, else to this process only.
void signalAsTerminalWould(int sig) {
    if (gIsTerminal && inForeground()) ::kill(0, sig);
    else ::raise(sig);
}

void carryOut(unsigned requests) {
    using namespace bankplay::console;
    if (requests & kRequestPushProtocol) {
        sigset_t previous;
        blockHandledSignals(previous);
        gProtocolWanted = 1;
        if (gRawActive) enterRaw();
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        gKeys.setProtocolActive(true);
    }
    if (requests & kRequestInterrupt) signalAsTerminalWould(SIGINT);
    if (requests & kRequestQuit) signalAsTerminalWould(SIGQUIT);
    if (requests & kRequestSuspend) signalAsTerminalWould(SIGTSTP);
}

enum class ReadResult { Data, Nothing, Ended };

// One non-blocking read into gReadBuffer. A terminal in raw modes has
// VMIN = VTIME = 0; a pipe or a file is polled first, so neither blocks.
ReadResult readAvailable(ssize_t& count, int waitMs) {
    pollfd request{gInputFd, POLLIN, 0};
    const int ready = ::poll(&request, 1, waitMs);
    if (ready < 0) return errno == EINTR ? ReadResult::Nothing : ReadResult::Ended;
    if (ready == 0) return ReadResult::Nothing;
    if (request.revents & POLLNVAL) return ReadResult::Ended;
    if ((request.revents & POLLIN) == 0) return ReadResult::Ended;  // POLLHUP or POLLERR alone
    for (;;) {
        count = ::read(gInputFd, gReadBuffer, sizeof gReadBuffer);
        if (count > 0) return ReadResult::Data;
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && errno == EAGAIN) return ReadResult::Nothing;
        // End of file, or a terminal that is gone (0 or EIO after hangup).
        return ReadResult::Ended;
    }
}

void pump() {
    gEverPumped = true;
    if (gResumed) {
        gResumed = 0;
        gKeys.releaseAll();
    }
    gKeys.beginPump();
    if (!gKeys.inputEnded()) {
        for (int i = 0; i < kMaxReadsPerPump; ++i) {
            ssize_t count = 0;
            const ReadResult result = readAvailable(count, 0);
            if (result == ReadResult::Nothing) break;
            if (result == ReadResult::Ended) {
                gKeys.endOfInput();
                break;
            }
            carryOut(gKeys.feed({gReadBuffer, static_cast<std::size_t>(count)}, monotonicNow()));
        }
    }
    gKeys.endPump(monotonicNow());
}

// Reads until the terminal has answered the device attributes query, so the
// answer is not left for the shell to read; gives up after kAnswerDrainMs.
void drainAnswers() {
    const auto deadline = monotonicNow() + std::chrono::milliseconds{kAnswerDrainMs};
    while (!gKeys.deviceAttributesAnswered() && !gKeys.inputEnded()) {
        const auto left = deadline - monotonicNow();
        if (left.count() <= 0) return;
        ssize_t count = 0;
        const ReadResult result = readAvailable(count, static_cast<int>(left.count()));
        if (result == ReadResult::Ended) return;
        if (result == ReadResult::Data) gKeys.feed({gReadBuffer, static_cast<std::size_t>(count)}, monotonicNow());
    }
}

void restoreAtExit() {
    sigset_t previous;
    blockHandledSignals(previous);
    if (gIsTerminal) {
        if (gQueried && gRawActive) drainAnswers();
        leaveRaw();
    }
    gFinished = 1;
    const int sig = gStopSignal;
    if (sig != 0) {
        // Die by the signal that ended the run, as its sender expects.
        std::fflush(nullptr);
        dieBy(sig);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// The terminal's own device, opened anew for writing so that non-blocking
// writes do not change the file status of the shared standard input.
int openTerminalForWriting() {
    char name[256];
    if (::ttyname_r(gInputFd, name, sizeof name) == 0) {
        const int fd = ::open(name, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) return fd;
    }
    return gInputFd;
}

void start() {
    gStarted = 1;
    gIsTerminal = ::isatty(gInputFd) == 1 && ::tcgetattr(gInputFd, &gSavedModes) == 0;

    for (int sig : kTerminatingSignals) {
        // A signal ignored at start (nohup, a background job) stays ignored.
        if (!ignoredAtStart(sig)) installHandler(sig, onTerminatingSignal, SA_RESTART);
    }
    std::atexit(restoreAtExit);
    if (!gIsTerminal) return;

    gTerminalOutFd = openTerminalForWriting();
    gRawModes = gSavedModes;
    gRawModes.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);  // ISIG stays: Ctrl+C still interrupts
    gRawModes.c_cc[VMIN] = 0;
    gRawModes.c_cc[VTIME] = 0;

    installAltStack();
    for (int sig : kCrashSignals) {
        if (!ignoredAtStart(sig)) installHandler(sig, onCrashSignal, static_cast<int>(SA_RESETHAND | SA_ONSTACK));
    }
    installHandler(SIGTSTP, onSuspendSignal, SA_RESTART);
    installHandler(SIGCONT, onContinueSignal, SA_RESTART);

    sigset_t previous;
    blockHandledSignals(previous);
    enterRaw();
    sigprocmask(SIG_SETMASK, &previous, nullptr);

    // Answers are read as keys arrive; nothing waits for them here.
    writeSequence(kQueryProtocol);
    gQueried = true;
}

// The player ignores errors of its output, so output must not be able to end
// or stall it: a closed pipe would kill it with SIGPIPE, and a pipe nobody
// reads would block its loop in a print once full. Set up before main, so the
// messages printed before the console starts are covered too.
struct OutputGuard {
    OutputGuard() {
        struct sigaction current {};
        if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) ::signal(SIGPIPE, SIG_IGN);
        struct stat out {};
        if (::fstat(STDOUT_FILENO, &out) == 0 && (S_ISFIFO(out.st_mode) || S_ISSOCK(out.st_mode))) {
            const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
            if (flags >= 0) ::fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK);
        }
    }
} gOutputGuard;

}  // namespace

HWND GetConsoleWindow() {
    if (!gStarted) start();
    return reinterpret_cast<HWND>(&gConsoleToken);
}

SHORT GetAsyncKeyState(int virtualKey) {
    if (!gStarted) start();
    if (!gEverPumped) pump();
    SHORT state = gKeys.query(virtualKey);
    if (virtualKey == VK_ESCAPE && gStopSignal != 0) state = static_cast<SHORT>(state | KeyState::kDown);
    return state;
}

void Sleep(DWORD milliseconds) {
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1'000'000;
    if (deadline.tv_nsec >= 1'000'000'000) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1'000'000'000;
    }
    // An absolute deadline, so a handled signal resumes the same pause rather
    // than starting a new one; a terminating signal ends it early.
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
        if (gStopSignal != 0) break;
    }
    if (gStarted) pump();
    bankplay::platform::runIdleTask();
}
