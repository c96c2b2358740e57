// banktool's command line: parsing, help, and dispatch to the commands.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace bankplay::banktool {

// Runs banktool with the arguments after the program name; normal output goes
// to out, errors and notes to err as "banktool: SUBJECT: reason" lines.
// Returns the exit status.
int runBanktool(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace bankplay::banktool
