// Byte helpers for the converters' hot loops. Lines in real input are short
// (tens of bytes), where a libc call per search or copy costs more than the
// work itself: searches run inline, 16 bytes at a time (SSE2, part of every
// x86-64 CPU; a plain loop elsewhere), and short copies are plain moves.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zendral::bytes {

// Position of the first `byte` in [from, to) of `text`, or npos. Inline, so
// that the many short searches of a line cost no call.
inline std::size_t find(std::string_view text, char byte, std::size_t from, std::size_t to) {
    if (from >= to) return std::string_view::npos;
    const char* const data = text.data();
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i want = _mm_set1_epi8(byte);
    const auto hits_at = [&](std::size_t start) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + start));
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, want)));
    };
    for (; i + 16 <= to; i += 16) {
        if (const unsigned hits = hits_at(i)) return i + static_cast<std::size_t>(__builtin_ctz(hits));
    }
    if (i < to && to >= 16) {
        // The last 16 bytes before `to`, minus those before `i`: one more
        // block instead of a byte loop.
        const std::size_t start = to - 16;
        if (const unsigned hits = hits_at(start) & ~((1u << (i - start)) - 1u)) {
            return start + static_cast<std::size_t>(__builtin_ctz(hits));
        }
        return std::string_view::npos;
    }
#endif
    for (; i < to; ++i) {
        if (data[i] == byte) return i;
    }
    return std::string_view::npos;
}

// Bit i tells whether byte `base + i` of `text` is `byte`, for the up to 64
// bytes from `base` (bits past the end of `text` are 0). Reads nothing
// outside `text`.
inline std::uint64_t mask_of(std::string_view text, std::size_t base, char byte) {
    const char* const data = text.data();
    const std::size_t size = text.size();
    std::uint64_t mask = 0;
#if defined(__SSE2__)
    if (size >= 16) {
        const __m128i want = _mm_set1_epi8(byte);
        const auto hits_at = [&](std::size_t start) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + start));
            return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, want))));
        };
        for (std::size_t block = 0; block < 64; block += 16) {
            const std::size_t start = base + block;
            if (start + 16 <= size) {
                mask |= hits_at(start) << block;
            } else {
                // The last 16 bytes of the text, shifted so that bit 0 is `start`.
                if (start < size) mask |= (hits_at(size - 16) >> (start + 16 - size)) << block;
                break;
            }
        }
        return mask;
    }
#endif
    const std::size_t end = std::min(size, base + 64);
    for (std::size_t i = base; i < end; ++i) mask |= static_cast<std::uint64_t>(data[i] == byte) << (i - base);
    return mask;
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
        return;
    }
#endif
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == a || data[i] == b) on_hit(i);
    }
}

// How often each of the given bytes occurs in `text`.
template <std::size_t N>
std::array<std::size_t, N> count_each(std::string_view text, const char (&wanted)[N]) {
    std::array<std::size_t, N> counts{};
    const char* const data = text.data();
    const std::size_t size = text.size();
    const auto count_byte = [&](char byte) {
        for (std::size_t k = 0; k < N; ++k) counts[k] += byte == wanted[k] ? 1 : 0;
    };
#if defined(__SSE2__)
    if (size >= 16) {
        __m128i want[N];
        for (std::size_t k = 0; k < N; ++k) want[k] = _mm_set1_epi8(wanted[k]);
        // Blocks without any of the bytes, the common case, cost a few vector
        // ops; the bytes found are counted one by one.
        const auto count_block = [&](std::size_t start, unsigned skip) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + start));
            __m128i any = _mm_cmpeq_epi8(bytes, want[0]);
            for (std::size_t k = 1; k < N; ++k) any = _mm_or_si128(any, _mm_cmpeq_epi8(bytes, want[k]));
            auto hits = static_cast<unsigned>(_mm_movemask_epi8(any)) & ~skip;
            while (hits != 0) {
                count_byte(data[start + static_cast<std::size_t>(__builtin_ctz(hits))]);
                hits &= hits - 1;
            }
        };
        std::size_t block = 0;
        for (; block + 16 <= size; block += 16) count_block(block, 0);
        // The last 16 bytes, minus those already counted.
        if (block < size) count_block(size - 16, (1u << (block - (size - 16))) - 1u);
        return counts;
    }
#endif
    for (std::size_t i = 0; i < size; ++i) count_byte(data[i]);
    return counts;
}

// Whether every byte of `text` is below 0x80.
inline bool is_ascii(std::string_view text) {
    const char* const data = text.data();
    const std::size_t size = text.size();
    std::size_t i = 0;
#if defined(__SSE2__)
    __m128i high = _mm_setzero_si128();
    for (; i + 16 <= size; i += 16) high = _mm_or_si128(high, _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)));
    if (_mm_movemask_epi8(high) != 0) return false;
#endif
    unsigned char bits = 0;
    for (; i < size; ++i) bits = static_cast<unsigned char>(bits | static_cast<unsigned char>(data[i]));
    return bits < 0x80;
}

// Copies at most 16 bytes to `out` and returns the end: two overlapping
// fixed-size moves, which compile to plain loads and stores and touch nothing
// outside the two ranges.
inline char* copy_short(char* out, const char* from, std::size_t size) {
    if (size >= 8) {
        std::memcpy(out, from, 8);
        std::memcpy(out + size - 8, from + size - 8, 8);
    } else if (size >= 4) {
        std::memcpy(out, from, 4);
        std::memcpy(out + size - 4, from + size - 4, 4);
    } else {
        for (std::size_t i = 0; i < size; ++i) out[i] = from[i];
    }
    return out + size;
}

inline char* copy_short(char* out, std::string_view bytes) { return copy_short(out, bytes.data(), bytes.size()); }

// Copies `size` bytes to `out` and returns the end; short runs without a call.
inline char* copy(char* out, const char* from, std::size_t size) {
    if (size <= 16) return copy_short(out, from, size);
    std::memcpy(out, from, size);
    return out + size;
}

inline char* copy(char* out, std::string_view bytes) { return copy(out, bytes.data(), bytes.size()); }

}  // namespace zendral::bytes
