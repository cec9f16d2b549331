// UTF-8 as CPython's strict decoder takes it: no overlong form, no
// surrogate, nothing above U+10FFFF, nothing cut off. The library's one
// reading of UTF-8: the engine checks its output with it, and the Python
// bindings size a str by it before they decode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zendral::utf8 {

// How many bytes from `from` on are below 0x80, up to the first that is
// not: ASCII runs, which most text is made of, are skipped 16 bytes at a time.
// With kCopy they are copied to `out` (from `from` on) as they are read,
// so that ASCII text is checked and copied in one pass.
template <bool kCopy = false>
inline std::size_t ascii_run(const unsigned char* p, std::size_t from, std::size_t size, char* out = nullptr) {
    std::size_t i = from;
#if defined(__SSE2__)
    for (; i + 16 <= size; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        if (_mm_movemask_epi8(block)) break;
        if constexpr (kCopy) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (i - from)), block);
    }
    if (i < size && i + 16 > size && size - from >= 16) {
        // All ASCII so far, and less than 16 bytes left: the last 16 bytes,
        // overlapping those before, instead of a loop over the rest.
        const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + size - 16));
        if (!_mm_movemask_epi8(last)) {
            if constexpr (kCopy) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (size - 16 - from)), last);
            return size - from;
        }
    }
#endif
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080u) break;
        if constexpr (kCopy) std::memcpy(out + (i - from), &word, 8);
    }
    if (i < size && i + 8 > size && size - from >= 8) {
        // The same with the last 8 bytes.
        std::uint64_t last;
        std::memcpy(&last, p + size - 8, 8);
        if (!(last & 0x8080808080808080u)) {
            if constexpr (kCopy) std::memcpy(out + (size - 8 - from), &last, 8);
            return size - from;
        }
    }
    for (; i < size && p[i] < 0x80; ++i) {
        if constexpr (kCopy) out[i - from] = static_cast<char>(p[i]);
    }
    return i - from;
}

// Whether every byte is below 0x80, without stopping early, so that a line
// of text is one OR of its blocks and one test; with kCopy, the bytes are
// copied to `out` on the way (all of them when they are ASCII).
template <bool kCopy = false>
inline bool all_ascii(std::string_view bytes, char* out = nullptr) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
#if defined(__SSE2__)
    if (n >= 16) {
        const auto block = [p](std::size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at)); };
        const __m128i last = block(n - 16);
        __m128i high = last;
        for (std::size_t i = 0; i + 16 <= n; i += 16) {
            const __m128i next = block(i);
            if constexpr (kCopy) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), next);
            high = _mm_or_si128(high, next);
        }
        if constexpr (kCopy) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n - 16), last);
        return _mm_movemask_epi8(high) == 0;
    }
#endif
    return ascii_run<kCopy>(p, 0, n, out) == n;
}

inline bool is_ascii(std::string_view bytes) { return all_ascii(bytes); }

// The length of the sequence at p[i] (1 to 4) and its code point, or 0 when
// no valid sequence starts there.
inline std::size_t sequence(const unsigned char* p, std::size_t i, std::size_t n, std::uint32_t& c) {
    const unsigned lead = p[i];
    const auto follows = [&](std::size_t at) { return at < n && (p[at] & 0xC0) == 0x80; };
    if (lead < 0x80) {
        c = lead;
        return 1;
    }
    if (lead < 0xC2) return 0;
    if (lead < 0xE0) {
        if (!follows(i + 1)) return 0;
        c = (lead & 0x1Fu) << 6 | (p[i + 1] & 0x3Fu);
        return 2;
    }
    if (lead < 0xF0) {
        if (i + 2 >= n) return 0;
        const unsigned next = p[i + 1];
        const bool ok = lead == 0xE0 ? next >= 0xA0 && next <= 0xBF
                      : lead == 0xED ? next >= 0x80 && next <= 0x9F
                                     : follows(i + 1);
        if (!ok || !follows(i + 2)) return 0;
        c = (lead & 0x0Fu) << 12 | (next & 0x3Fu) << 6 | (p[i + 2] & 0x3Fu);
        return 3;
    }
    if (lead >= 0xF5 || i + 3 >= n) return 0;
    const unsigned next = p[i + 1];
    const bool ok = lead == 0xF0 ? next >= 0x90 && next <= 0xBF
                  : lead == 0xF4 ? next >= 0x80 && next <= 0x8F
                                 : follows(i + 1);
    if (!ok || !follows(i + 2) || !follows(i + 3)) return 0;
    c = (lead & 0x07u) << 18 | (next & 0x3Fu) << 12 | (p[i + 2] & 0x3Fu) << 6 | (p[i + 3] & 0x3Fu);
    return 4;
}

// Whether `bytes` is UTF-8, and if so how many code points it holds and the
// largest: the length and kind of its str.
inline bool measure(std::string_view bytes, std::size_t& count, std::uint32_t& widest) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t continuations = 0;
    std::uint32_t max = 0;
    for (std::size_t i = ascii_run(p, 0, n); i < n; i += ascii_run(p, i, n)) {
        std::uint32_t c = 0;
        const std::size_t length = sequence(p, i, n, c);
        if (!length) return false;
        continuations += length - 1;
        if (c > max) max = c;
        i += length;
    }
    count = n - continuations;
    widest = max;
    return true;
}

inline bool is_valid(std::string_view bytes) {
    std::size_t count = 0;
    std::uint32_t widest = 0;
    return measure(bytes, count, widest);
}

}  // namespace zendral::utf8
