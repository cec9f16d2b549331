// Byte helpers for the converters' hot loops. Lines in real input are short
// (tens of bytes), where a libc call per search or copy costs more than the
// work itself: searches run inline, 16 bytes at a time (SSE2, part of every
// x86-64 CPU; a plain loop elsewhere), and short copies are plain moves.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zendral::bytes {

// Position of the first `byte` in [from, to) of `text`, or npos. Inline, so
// that the many short searches of a line cost no call.
inline std::size_t find(std::string_view text, char byte, std::size_t from, std::size_t to) {
    const char* const data = text.data();
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i want = _mm_set1_epi8(byte);
    for (; i + 16 <= to; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, want)));
        if (hits != 0) return i + static_cast<std::size_t>(__builtin_ctz(hits));
    }
#endif
    for (; i < to; ++i) {
        if (data[i] == byte) return i;
    }
    return std::string_view::npos;
}

// How many bytes of `text` equal `byte`.
inline std::size_t count(std::string_view text, char byte) {
    const char* const data = text.data();
    const std::size_t size = text.size();
    std::size_t i = 0;
    std::size_t found = 0;
#if defined(__SSE2__)
    const __m128i want = _mm_set1_epi8(byte);
    for (; i + 16 <= size; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        found += static_cast<std::size_t>(
            __builtin_popcount(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, want)))));
    }
#endif
    for (; i < size; ++i) found += data[i] == byte ? 1 : 0;
    return found;
}

// Calls on_hit(position) for every byte of `text` equal to `a` or `b`, in order.
template <class OnHit>
void for_each_of(std::string_view text, char a, char b, OnHit&& on_hit) {
    const char* const data = text.data();
    const std::size_t size = text.size();
#if defined(__SSE2__)
    const __m128i want_a = _mm_set1_epi8(a);
    const __m128i want_b = _mm_set1_epi8(b);
    const auto hits_in = [&](const char* block) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
        return static_cast<unsigned>(_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(bytes, want_a), _mm_cmpeq_epi8(bytes, want_b))));
    };
    const auto report = [&](std::size_t base, unsigned hits) {
        while (hits != 0) {
            on_hit(base + static_cast<std::size_t>(__builtin_ctz(hits)));
            hits &= hits - 1;
        }
    };
    if (size >= 16) {
        std::size_t block = 0;
        for (; block + 16 <= size; block += 16) report(block, hits_in(data + block));
        if (block < size) {
            // The last 16 bytes, minus those the loop has already reported.
            const std::size_t start = size - 16;
            report(start, hits_in(data + start) & ~((1u << (block - start)) - 1u));
        }
    } else if (size != 0) {
        char padded[16];
        std::memset(padded, a == '\0' || b == '\0' ? 1 : 0, sizeof padded);
        std::memcpy(padded, data, size);
        report(0, hits_in(padded) & ((1u << size) - 1u));
    }
#else
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == a || data[i] == b) on_hit(i);
    }
#endif
}

// Which of the given bytes occur in `text`: bit k of the result is set when
// wanted[k] does. Takes at most 8 bytes.
template <std::size_t N>
unsigned which_occur(std::string_view text, const char (&wanted)[N]) {
    static_assert(N <= 8, "one bit per byte in an unsigned");
    const char* const data = text.data();
    const std::size_t size = text.size();
    unsigned found = 0;
#if defined(__SSE2__)
    __m128i want[N];
    __m128i seen[N];
    for (std::size_t k = 0; k < N; ++k) {
        want[k] = _mm_set1_epi8(wanted[k]);
        seen[k] = _mm_setzero_si128();
    }
    const auto look = [&](const char* block) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
        for (std::size_t k = 0; k < N; ++k) seen[k] = _mm_or_si128(seen[k], _mm_cmpeq_epi8(bytes, want[k]));
    };
    if (size >= 16) {
        for (std::size_t i = 0; i + 16 <= size; i += 16) look(data + i);
        look(data + size - 16);  // the tail, overlapping bytes already seen
    } else {
        for (std::size_t i = 0; i < size; ++i) {
            for (std::size_t k = 0; k < N; ++k) found |= data[i] == wanted[k] ? 1u << k : 0u;
        }
    }
    for (std::size_t k = 0; k < N; ++k) {
        if (_mm_movemask_epi8(seen[k]) != 0) found |= 1u << k;
    }
#else
    for (std::size_t i = 0; i < size; ++i) {
        for (std::size_t k = 0; k < N; ++k) {
            if (data[i] == wanted[k]) found |= 1u << k;
        }
    }
#endif
    return found;
}

// Copies `size` bytes to `out` and returns the end. Up to 16 bytes move as two
// overlapping fixed-size copies, which compile to plain loads and stores and
// touch nothing outside the two ranges.
inline char* copy(char* out, const char* from, std::size_t size) {
    if (size >= 8 && size <= 16) {
        std::memcpy(out, from, 8);
        std::memcpy(out + size - 8, from + size - 8, 8);
    } else if (size >= 4 && size < 8) {
        std::memcpy(out, from, 4);
        std::memcpy(out + size - 4, from + size - 4, 4);
    } else if (size < 4) {
        for (std::size_t i = 0; i < size; ++i) out[i] = from[i];
    } else {
        std::memcpy(out, from, size);
    }
    return out + size;
}

inline char* copy(char* out, std::string_view bytes) { return copy(out, bytes.data(), bytes.size()); }

}  // namespace zendral::bytes
