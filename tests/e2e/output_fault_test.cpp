// The player's output failing under it: a closed standard output, a pipe
// whose reader is gone, and a full pipe nobody reads. Printing errors are
// ignored; the player neither dies of SIGPIPE nor stalls in a print.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "tests/support/wav_bytes.h"

namespace {

using namespace std::chrono_literals;

// One directory per test process: ctest runs the cases side by side.
const std::string kDir = ::testing::TempDir() + "/output_fault." + std::to_string(getpid());

std::string bank() {
    mkdir(kDir.c_str(), 0755);
    const auto w = testwav::wav({}, testwav::sine16(440, 44100, 4410));
    std::ofstream(kDir + "/one.bank", std::ios::binary).write(reinterpret_cast<const char*>(w.data()), static_cast<std::streamsize>(w.size()));
    std::ofstream(kDir + "/alsoft.conf") << "[general]\ndrivers = wave\n[wave]\nfile = " << kDir << "/out.wav\n";
    return kDir + "/one.bank";
}

// Starts the player with the given descriptors as stdin and stdout (-1: closed).
pid_t start(int in, int out, const std::string& path) {
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(in, 0);
        if (out >= 0) dup2(out, 1);
        else close(1);
        setenv("ALSOFT_CONF", (kDir + "/alsoft.conf").c_str(), 1);
        execl(BANKPLAY_PATH, BANKPLAY_PATH, path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

// The wait status, or -1 when it has not ended within the patience.
int waitFor(pid_t pid, std::chrono::seconds patience = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(20ms);
    }
    return status;
}

TEST(OutputFaults, ClosedOutputOrGoneReaderIsIgnored) {
    const std::string path = bank();
    for (bool closedOutput : {true, false}) {
        int keys[2], out[2];
        ASSERT_EQ(pipe2(keys, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        close(out[0]);  // nobody will ever read
        const pid_t pid = start(keys[0], closedOutput ? -1 : out[1], path);
        close(keys[0]);
        close(out[1]);
        std::this_thread::sleep_for(300ms);  // prints help and status lines into the void
        close(keys[1]);                      // end of input: Esc
        const int status = waitFor(pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "closed output " << closedOutput << ": status " << status;
    }
}

TEST(OutputFaults, FullPipeDoesNotStallTheLoop) {
    int keys[2], out[2];
    ASSERT_EQ(pipe2(keys, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    // The smallest pipe: the status lines fill it within a few seconds.
    fcntl(out[1], F_SETPIPE_SZ, 4096);
    const pid_t pid = start(keys[0], out[1], bank());
    close(keys[0]);
    close(out[1]);
    std::this_thread::sleep_for(5s);
    close(keys[1]);  // Esc, which a stalled loop would never see
    const int status = waitFor(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    close(out[0]);
}

}  // namespace
