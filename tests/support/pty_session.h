// Runs a program in a pseudo-terminal for end-to-end tests: the test writes
// what a person would type, reads what the screen would show, looks at the
// terminal's modes as the program sees them, and collects the exit status.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testpty {

struct PtyOptions {
    // args[0] is the program: a path, or a name looked up in PATH.
    std::vector<std::string> args;
    // "NAME=value" sets a variable on top of the inherited environment;
    // "NAME" alone removes it.
    std::vector<std::string> env;
    bool inheritEnv = true;
    // Working directory of the program; empty for the test's own.
    std::string cwd;
    unsigned short rows = 24;
    unsigned short cols = 80;
    // Run the program as the foreground job of a small supervisor in the
    // terminal's session, as a shell does. Without one the program leads its
    // own session, its process group is orphaned, and the system discards
    // Ctrl+Z and SIGTSTP instead of stopping it.
    bool jobControl = false;
};

// What a wait status says, for assertions and their messages.
struct ExitStatus {
    int raw = 0;
    bool exited() const;
    int code() const;     // when exited()
    bool signaled() const;
    int signal() const;   // when signaled()
    std::string describe() const;
};

class PtySession {
public:
    using Clock = std::chrono::steady_clock;
    using Duration = std::chrono::milliseconds;

    // Starts the program; throws std::system_error when it cannot. The
    // program's signals are set to their defaults and unblocked, and core
    // dumps are off.
    explicit PtySession(const PtyOptions& options);
    // Closes the terminal, then kills and reaps the program if it still runs.
    ~PtySession();
    PtySession(const PtySession&) = delete;
    PtySession& operator=(const PtySession&) = delete;

    // The program's process (the job under jobControl).
    pid_t pid() const { return programPid_; }

    // Types bytes into the terminal.
    void write(std::string_view bytes);

    // Reads until needle appears after the read position, then moves the
    // position past it. False when the timeout passes or the output ends first.
    bool waitFor(std::string_view needle, Duration timeout);
    // Reads output while waiting for condition to hold; false on timeout.
    bool waitUntil(const std::function<bool()>& condition, Duration timeout);
    // Everything the program has written so far, and what follows the read
    // position.
    const std::string& output() const { return output_; }
    std::string_view unread() const { return std::string_view(output_).substr(readPosition_); }

    // The terminal's modes now, and as they were before the program started.
    termios modes() const;
    const termios& initialModes() const { return initialModes_; }

    // Closes the terminal's master side, as when a terminal window is closed.
    void closeMaster();
    // Waits for the program to end, reading its output meanwhile; nothing on
    // timeout.
    std::optional<ExitStatus> waitExit(Duration timeout);
    // Waits until the program is stopped (by a job-control signal).
    bool waitStopped(Duration timeout);

private:
    // Closes the terminal, kills what still runs and reaps the child.
    void stop();
    // Reads what arrives within wait; false once the output has ended.
    bool pumpOutput(Duration wait);

    int master_ = -1;
    pid_t childPid_ = -1;    // the process forked here
    pid_t programPid_ = -1;  // the program: the child, or its job
    bool reaped_ = false;
    bool outputEnded_ = false;
    std::string output_;
    std::size_t readPosition_ = 0;
    termios initialModes_{};
};

// Flags, control characters and speeds of two sets of modes are equal.
bool sameModes(const termios& a, const termios& b);

}  // namespace testpty
