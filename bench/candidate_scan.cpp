#include "bench/candidate_scan.h"

#include <immintrin.h>

#include <cstring>

namespace bench {

namespace {

constexpr std::size_t kNone = SIZE_MAX;

bool isMagic(const std::uint8_t* p) { return std::memcmp(p, "RIFF", 4) == 0; }

// Positions [from, last] one at a time.
std::size_t scalarTail(const std::uint8_t* base, std::size_t from, std::size_t last) {
    for (std::size_t i = from; i <= last; ++i)
        if (base[i] == 'R' && isMagic(base + i)) return i;
    return kNone;
}

__attribute__((target("avx2"))) std::size_t findAvx2(const std::uint8_t* base, std::size_t start, std::size_t last) {
    const __m256i r = _mm256_set1_epi8('R');
    const __m256i f = _mm256_set1_epi8('F');
    std::size_t i = start;
    for (; i + 32 <= last + 1; i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + i));
        const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + i + 3));
        auto mask = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a, r), _mm256_cmpeq_epi8(d, f))));
        while (mask != 0) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
            if (isMagic(base + at)) return at;
            mask &= mask - 1;
        }
    }
    return scalarTail(base, i, last);
}

std::size_t findSse2(const std::uint8_t* base, std::size_t start, std::size_t last) {
    const __m128i r = _mm_set1_epi8('R');
    const __m128i f = _mm_set1_epi8('F');
    std::size_t i = start;
    for (; i + 16 <= last + 1; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + i + 3));
        auto mask = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, r), _mm_cmpeq_epi8(d, f))));
        while (mask != 0) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
            if (isMagic(base + at)) return at;
            mask &= mask - 1;
        }
    }
    return scalarTail(base, i, last);
}

bool haveAvx2() {
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
}

}  // namespace

std::size_t findMagic(const std::uint8_t* base, std::size_t start, std::size_t last) {
    if (start > last) return kNone;
    return haveAvx2() ? findAvx2(base, start, last) : findSse2(base, start, last);
}

const char* findMagicVariant() { return haveAvx2() ? "avx2" : "sse2"; }

}  // namespace bench
