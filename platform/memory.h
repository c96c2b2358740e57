// Large zero-filled blocks straight from the system, for the bank image and
// sample staging: pages cost nothing until touched, and large blocks are
// offered huge pages, so filling hundreds of megabytes takes a few hundred
// page faults instead of a hundred thousand.
#pragma once

#include "platform/types.h"

inline constexpr DWORD MEM_COMMIT = 0x1000;
inline constexpr DWORD MEM_RESERVE = 0x2000;
inline constexpr DWORD MEM_RELEASE = 0x8000;
inline constexpr DWORD PAGE_READWRITE = 0x04;

// With address null, MEM_COMMIT | MEM_RESERVE and PAGE_READWRITE: a new block
// of size zero bytes, or null when the memory cannot be had. Other uses are
// not supported and return null.
LPVOID VirtualAlloc(LPVOID address, SIZE_T size, DWORD allocationType, DWORD protect);

// With size 0 and MEM_RELEASE: gives back a block from VirtualAlloc.
BOOL VirtualFree(LPVOID address, SIZE_T size, DWORD freeType);
