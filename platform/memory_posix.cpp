#include <sys/mman.h>

#include <cstring>

#include "platform/memory.h"

namespace {

// Each block starts with its mapped length, so a release needs only the
// pointer; 64 bytes keep what follows aligned for any use.
constexpr std::size_t kHeader = 64;
constexpr std::size_t kHugePage = 2u << 20;

}  // namespace

LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect) {
    if (address != nullptr || allocationType != (MEM_COMMIT | MEM_RESERVE) || protect != PAGE_READWRITE) return nullptr;
    if (size > SIZE_MAX - kHeader) return nullptr;
    const std::size_t length = size + kHeader;
    void* block = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return nullptr;
    // Only a hint: where the system has no transparent huge pages the block
    // is ordinary pages.
    if (length >= kHugePage) (void)::madvise(block, length, MADV_HUGEPAGE);
    std::memcpy(block, &length, sizeof length);
    return static_cast<char*>(block) + kHeader;
}

BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD freeType) {
    if (address == nullptr || size != 0 || freeType != MEM_RELEASE) return 0;
    void* block = static_cast<char*>(address) - kHeader;
    std::size_t length = 0;
    std::memcpy(&length, block, sizeof length);
    return ::munmap(block, length) == 0 ? 1 : 0;
}
