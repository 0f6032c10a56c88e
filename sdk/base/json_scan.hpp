// Finding where a plain run of string bytes ends, sixteen bytes at a time: shared by the strict
// JSON reader and the journal's fast envelope reader, which must agree on every byte.
#pragma once

#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvalle::json::scan {

// Bytes that end a plain run inside a string: the quote, the backslash, controls and, unless
// the text is known to be UTF-8 already, every non-ASCII byte (which then needs a UTF-8 check).
struct SpecialTable {
    bool special[256] = {};
    constexpr explicit SpecialTable(bool non_ascii) {
        for (int c = 0; c < 0x20; ++c) special[c] = true;
        for (int c = 0x80; c < 0x100; ++c) special[c] = non_ascii;
        special[static_cast<unsigned char>('"')] = true;
        special[static_cast<unsigned char>('\\')] = true;
    }
};
inline constexpr SpecialTable kSpecial(true);
inline constexpr SpecialTable kSpecialInUtf8(false);

// Offset of the first special byte at or after i, or n. In text known to be UTF-8 a non-ASCII
// byte is not special: every sequence is whole, and none holds a quote, backslash or control.
[[gnu::always_inline]] inline std::size_t find_special(const char* p, std::size_t i, std::size_t n, bool utf8) {
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    if (utf8) {
        const __m128i below_space = _mm_set1_epi8(0x1F);
        while (i + 16 <= n) {
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            // Unsigned: min(x, 0x1F) == x only for the controls.
            __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                                       _mm_cmpeq_epi8(_mm_min_epu8(x, below_space), x));
            int mask = _mm_movemask_epi8(hit);
            if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
            i += 16;
        }
    } else {
        const __m128i space = _mm_set1_epi8(0x20);
        while (i + 16 <= n) {
            __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            // Signed comparison: bytes >= 0x80 are negative, so "less than space" also catches them.
            __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)),
                                       _mm_cmplt_epi8(x, space));
            int mask = _mm_movemask_epi8(hit);
            if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
            i += 16;
        }
    }
#endif
    const bool* special = utf8 ? kSpecialInUtf8.special : kSpecial.special;
    while (i < n && !special[static_cast<unsigned char>(p[i])]) ++i;
    return i;
}

}  // namespace korvalle::json::scan
