// Runs a program to its end with pipes on its output, for end-to-end tests.
#pragma once

#include <string>
#include <vector>

namespace testproc {

struct Result {
    int exitCode = -1;  // when it exited
    int signal = 0;     // when a signal ended it
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct Options {
    std::vector<std::string> env;  // NAME=value entries added to the environment
    std::string stdinPath = "/dev/null";
    std::string cwd;
    int timeoutMs = 20000;
};

Result run(const std::vector<std::string>& argv, const Options& options = {});

}  // namespace testproc
