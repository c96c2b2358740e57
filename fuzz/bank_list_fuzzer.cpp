// banktool list's report, text and JSON, over arbitrary bytes as a bank.
#include <cstdint>
#include <span>
#include <string>

#include "bank/bank_image.h"
#include "tools/banktool/list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto image = bankplay::BankImage::fromBytes(std::as_bytes(std::span(data, size)));
    if (!image) return 0;
    std::string text, json;
    const bool textLoads = bankplay::banktool::listBank(*image, {false}, text);
    const bool jsonLoads = bankplay::banktool::listBank(*image, {true}, json);
    // Both forms judge the bank alike, and JSON never carries a raw control byte.
    if (textLoads != jsonLoads) __builtin_trap();
    for (unsigned char c : json)
        if (c < 0x20 && c != '\n') __builtin_trap();
    return 0;
}
