#include <string>
#include <vector>

#include "tools/banktool/bank_writer.h"
#include "tools/banktool/cli.h"

int main(int argc, char** argv) {
    bankplay::banktool::removeTemporaryFileOnSignal();
    const std::vector<std::string> args(argv + 1, argv + argc);
    return bankplay::banktool::runBanktool(args, stdout, stderr);
}
