// How banktool's commands tell the user what happened, and the exit statuses.
#pragma once

#include <string_view>

namespace bankplay::banktool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // an input or the output failed
inline constexpr int kExitUsage = 2;   // the command line was wrong

class Reporter {
public:
    virtual ~Reporter() = default;
    // Something that stops the command, about a file or an argument.
    virtual void error(std::string_view subject, std::string_view reason) = 0;
    // Something done to a file's sound that the user should know about.
    virtual void note(std::string_view subject, std::string_view text) = 0;
    // A line of the command's normal output.
    virtual void info(std::string_view line) = 0;
};

}  // namespace bankplay::banktool
