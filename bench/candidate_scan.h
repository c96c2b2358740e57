// A candidate magic search for the bank scanner, measured side by side with
// bankplay::findNextSample. It filters 32 (or 16) positions at a time on two
// bytes of the magic, 'R' at +0 and 'F' at +3, and checks the rest only where
// both match, so a run of 'R' bytes costs no more than any other data, where
// a memchr for 'R' stops at each one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bench {

// The offset of the first "RIFF" that starts in [start, last], or SIZE_MAX
// when there is none. Reads only bytes in [start, last + 3], so last is the
// file's length minus 4 as in findNextSample.
std::size_t findMagic(const std::uint8_t* base, std::size_t start, std::size_t last);

// Which variant findMagic runs on this processor: "avx2" or "sse2".
const char* findMagicVariant();

}  // namespace bench
