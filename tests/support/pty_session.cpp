#include "tests/support/pty_session.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace testpty {
namespace {

using Duration = PtySession::Duration;

[[noreturn]] void throwErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

std::vector<std::string> buildEnvironment(const PtyOptions& options) {
    std::vector<std::string> env;
    if (options.inheritEnv) {
        for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
    }
    for (const std::string& change : options.env) {
        const std::string name = change.substr(0, change.find('='));
        std::erase_if(env, [&](const std::string& e) {
            return e.size() > name.size() && e.compare(0, name.size(), name) == 0 && e[name.size()] == '=';
        });
        if (change.find('=') != std::string::npos) env.push_back(change);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

// In a forked child: only async-signal-safe calls from here on.
void childFail(const char* what) {
    const char* reason = std::strerror(errno);
    (void)!::write(STDERR_FILENO, what, std::strlen(what));
    (void)!::write(STDERR_FILENO, ": ", 2);
    (void)!::write(STDERR_FILENO, reason, std::strlen(reason));
    (void)!::write(STDERR_FILENO, "\n", 1);
}

void resetSignals() {
    for (int sig = 1; sig < NSIG; ++sig) ::signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void execProgram(char** argv, char** envp) {
    ::execvpe(argv[0], argv, envp);
    childFail(argv[0]);
    ::_exit(127);
}

// The supervisor of a job: puts it in its own process group in the
// foreground, tells the test its pid, and ends the way the job ends.
[[noreturn]] void superviseJob(char** argv, char** envp, int pidPipe) {
    const pid_t job = ::fork();
    if (job < 0) {
        childFail("fork");
        ::_exit(126);
    }
    if (job == 0) {
        ::close(pidPipe);
        ::setpgid(0, 0);
        ::signal(SIGTTOU, SIG_IGN);  // taking the foreground from the background
        ::tcsetpgrp(STDIN_FILENO, ::getpid());
        ::signal(SIGTTOU, SIG_DFL);
        execProgram(argv, envp);
    }
    ::setpgid(job, job);
    (void)!::write(pidPipe, &job, sizeof job);
    ::close(pidPipe);
    int status = 0;
    while (::waitpid(job, &status, 0) < 0) {
        if (errno != EINTR) ::_exit(126);
    }
    if (WIFEXITED(status)) ::_exit(WEXITSTATUS(status));
    const int sig = WTERMSIG(status);
    ::signal(sig, SIG_DFL);
    ::kill(::getpid(), sig);
    ::_exit(128 + sig);
}

}  // namespace

bool ExitStatus::exited() const { return WIFEXITED(raw); }
int ExitStatus::code() const { return WEXITSTATUS(raw); }
bool ExitStatus::signaled() const { return WIFSIGNALED(raw); }
int ExitStatus::signal() const { return WTERMSIG(raw); }

std::string ExitStatus::describe() const {
    if (exited()) return "exited with code " + std::to_string(code());
    if (signaled()) return "killed by signal " + std::to_string(signal()) + " (" + ::strsignal(signal()) + ")";
    return "wait status " + std::to_string(raw);
}

PtySession::PtySession(const PtyOptions& options) {
    if (options.args.empty()) throw std::invalid_argument("PtySession: no program given");
    std::vector<std::string> args = options.args;
    std::vector<std::string> env = buildEnvironment(options);
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(env);

    winsize size{};
    size.ws_row = options.rows;
    size.ws_col = options.cols;
    int slave = -1;
    if (::openpty(&master_, &slave, nullptr, nullptr, &size) != 0) throwErrno("openpty");
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    if (::tcgetattr(slave, &initialModes_) != 0) {
        const int saved = errno;
        ::close(slave);
        ::close(master_);
        errno = saved;
        throwErrno("tcgetattr");
    }

    int pidPipe[2] = {-1, -1};
    if (options.jobControl && ::pipe2(pidPipe, O_CLOEXEC) != 0) {
        const int saved = errno;
        ::close(slave);
        ::close(master_);
        errno = saved;
        throwErrno("pipe2");
    }

    childPid_ = ::fork();
    if (childPid_ < 0) {
        const int saved = errno;
        for (int fd : {slave, master_, pidPipe[0], pidPipe[1]}) {
            if (fd >= 0) ::close(fd);
        }
        errno = saved;
        throwErrno("fork");
    }
    if (childPid_ == 0) {
        ::close(master_);
        if (::login_tty(slave) != 0) ::_exit(126);
        resetSignals();
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) {
            childFail("chdir");
            ::_exit(126);
        }
        if (options.jobControl) {
            ::close(pidPipe[0]);
            superviseJob(argv.data(), envp.data(), pidPipe[1]);
        }
        execProgram(argv.data(), envp.data());
    }

    ::close(slave);
    programPid_ = childPid_;
    if (options.jobControl) {
        ::close(pidPipe[1]);
        pid_t job = -1;
        ssize_t got;
        while ((got = ::read(pidPipe[0], &job, sizeof job)) < 0 && errno == EINTR) {
        }
        ::close(pidPipe[0]);
        if (got != static_cast<ssize_t>(sizeof job)) {
            stop();
            throw std::runtime_error("PtySession: the job did not start");
        }
        programPid_ = job;
    }
}

PtySession::~PtySession() { stop(); }

void PtySession::stop() {
    closeMaster();
    // The job's group under jobControl; else the child leads its own group,
    // and whatever it started there goes with it.
    if (programPid_ > 0 && programPid_ != childPid_ && ::kill(-programPid_, 0) == 0) ::kill(-programPid_, SIGKILL);
    if (!reaped_) {
        ::kill(-childPid_, SIGKILL);
        ::kill(childPid_, SIGKILL);
        while (::waitpid(childPid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
    }
}

void PtySession::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(master_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno("write to the terminal");
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

bool PtySession::pumpOutput(Duration wait) {
    if (outputEnded_) return false;
    pollfd request{master_, POLLIN, 0};
    const int ready = ::poll(&request, 1, static_cast<int>(wait.count()));
    if (ready <= 0) return true;
    if ((request.revents & POLLIN) == 0) {
        outputEnded_ = true;
        return false;
    }
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0) {
        output_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    outputEnded_ = true;  // EIO: no process has the terminal open any more
    return false;
}

bool PtySession::waitFor(std::string_view needle, Duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const std::size_t found = output_.find(needle, readPosition_);
        if (found != std::string::npos) {
            readPosition_ = found + needle.size();
            return true;
        }
        const auto left = std::chrono::duration_cast<Duration>(deadline - Clock::now());
        if (outputEnded_ || left.count() <= 0) return false;
        pumpOutput(std::min(left, Duration{50}));
    }
}

bool PtySession::waitUntil(const std::function<bool()>& condition, Duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        const auto left = std::chrono::duration_cast<Duration>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        if (!pumpOutput(std::min(left, Duration{5}))) std::this_thread::sleep_for(Duration{5});
    }
}

termios PtySession::modes() const {
    termios current{};
    // The master side reports the modes the program's side has.
    if (::tcgetattr(master_, &current) != 0) throwErrno("tcgetattr");
    return current;
}

void PtySession::closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
    outputEnded_ = true;
}

std::optional<ExitStatus> PtySession::waitExit(Duration timeout) {
    std::optional<ExitStatus> result;
    waitUntil(
        [&] {
            if (reaped_) return true;
            int status = 0;
            const pid_t r = ::waitpid(childPid_, &status, WNOHANG);
            if (r != childPid_) return false;
            reaped_ = true;
            result = ExitStatus{status};
            return true;
        },
        timeout);
    // Collect what the program wrote last.
    while (result && !outputEnded_) {
        pollfd request{master_, POLLIN, 0};
        if (::poll(&request, 1, 0) <= 0) break;
        pumpOutput(Duration{0});
    }
    return result;
}

bool PtySession::waitStopped(Duration timeout) {
    const std::string path = "/proc/" + std::to_string(programPid_) + "/stat";
    return waitUntil(
        [&] {
            std::ifstream stat(path);
            std::string line;
            std::getline(stat, line);
            // The state follows the command name, which is in parentheses.
            const std::size_t close = line.rfind(')');
            return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'T';
        },
        timeout);
}

bool sameModes(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::equal(std::begin(a.c_cc), std::end(a.c_cc), std::begin(b.c_cc)) &&
           ::cfgetispeed(&a) == ::cfgetispeed(&b) && ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

}  // namespace testpty
