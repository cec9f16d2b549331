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

// Position of the first byte in [from, to) of `text` that belongs to `Class`,
// or npos. A class says whether one byte belongs to it
// (`Class::has(unsigned char)`) and, with SSE2, which of 16 do
// (`Class::has(__m128i)`, all ones in their lanes). Blocks are read from
// anywhere in `text`, so a short range inside a long text (a key or value
// of a line) is searched 16 bytes at a time too.
template <class Class>
inline std::size_t find_in_class(std::string_view text, std::size_t from, std::size_t to) {
    const char* const data = text.data();
    std::size_t i = from;
#if defined(__SSE2__)
    const std::size_t size = text.size();
    const auto hits_at = [&](std::size_t start) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + start));
        return static_cast<unsigned>(_mm_movemask_epi8(Class::has(bytes)));
    };
    for (; i + 16 <= to; i += 16) {
        if (const unsigned hits = hits_at(i)) return i + static_cast<std::size_t>(__builtin_ctz(hits));
    }
    if (i < to && size >= 16) {
        // Fewer than 16 bytes left: one more block, from `i` if the text goes
        // on for 16 bytes, else its last 16, with the bits outside [i, to)
        // cleared.
        const std::size_t start = i + 16 <= size ? i : size - 16;
        const unsigned in_range = ((1u << (to - start)) - 1u) & ~((1u << (i - start)) - 1u);
        if (const unsigned hits = hits_at(start) & in_range) return start + static_cast<std::size_t>(__builtin_ctz(hits));
        return std::string_view::npos;
    }
#endif
    for (; i < to; ++i) {
        if (Class::has(static_cast<unsigned char>(data[i]))) return i;
    }
    return std::string_view::npos;
}

// Whether any byte of `text` belongs to `Class` (as for find_in_class): a
// quicker test than the search when most texts hold none, with no branch
// per block (the last block overlapping the one before).
template <class Class>
inline bool any_in_class(std::string_view text) {
    const char* const data = text.data();
    const std::size_t size = text.size();
#if defined(__SSE2__)
    if (size >= 16) {
        const auto load = [&](std::size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at)); };
        __m128i any = Class::has(load(size - 16));
        for (std::size_t i = 0; i + 16 <= size; i += 16) any = _mm_or_si128(any, Class::has(load(i)));
        return _mm_movemask_epi8(any) != 0;
    }
#endif
    for (std::size_t i = 0; i < size; ++i) {
        if (Class::has(static_cast<unsigned char>(data[i]))) return true;
    }
    return false;
}

// Bit i of mask k tells whether byte `base + i` of `text` is `wanted[k]`, for
// the up to 64 bytes from `base` (bits past the end of `text` are 0). Reads
// nothing outside `text`.
template <std::size_t N>
[[gnu::always_inline]] inline std::array<std::uint64_t, N> masks_of(std::string_view text, std::size_t base, const char (&wanted)[N]) {
    const char* const data = text.data();
    const std::size_t size = text.size();
    std::array<std::uint64_t, N> masks{};
#if defined(__SSE2__)
    if (size >= 16) {
        const auto add_block = [&](std::size_t start, unsigned shift_right, unsigned shift_left) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + start));
            for (std::size_t k = 0; k < N; ++k) {
                const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(wanted[k]))));
                masks[k] |= static_cast<std::uint64_t>(hits >> shift_right) << shift_left;
            }
        };
        for (unsigned block = 0; block < 64; block += 16) {
            const std::size_t start = base + block;
            if (start + 16 <= size) {
                add_block(start, 0, block);
            } else {
                // The last 16 bytes of the text, shifted so that bit 0 is `start`.
                if (start < size) add_block(size - 16, static_cast<unsigned>(start + 16 - size), block);
                break;
            }
        }
        return masks;
    }
#endif
    const std::size_t end = std::min(size, base + 64);
    for (std::size_t i = base; i < end; ++i) {
        for (std::size_t k = 0; k < N; ++k) masks[k] |= static_cast<std::uint64_t>(data[i] == wanted[k]) << (i - base);
    }
    return masks;
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

// Copies `size` bytes to `out` and returns the end; runs of up to 32 bytes
// (most keys, values and words) without a call.
inline char* copy(char* out, const char* from, std::size_t size) {
    if (size <= 16) return copy_short(out, from, size);
    if (size <= 32) {
        std::memcpy(out, from, 16);
        std::memcpy(out + size - 16, from + size - 16, 16);
        return out + size;
    }
    std::memcpy(out, from, size);
    return out + size;
}

inline char* copy(char* out, std::string_view bytes) { return copy(out, bytes.data(), bytes.size()); }

// The width of copy_wide's moves.
constexpr std::size_t kWideMove = 16;

// Copies `size` bytes in moves of kWideMove bytes, the first one whatever the
// size, so that a short run costs one move and no branch, and returns the
// end. Reads and writes up to kWideMove bytes past the range: only for
// callers that know both buffers go on that far.
inline char* copy_wide(char* out, const char* from, std::size_t size) {
    std::memcpy(out, from, kWideMove);
    for (std::size_t i = kWideMove; i < size; i += kWideMove) std::memcpy(out + i, from + i, kWideMove);
    return out + size;
}

#if defined(__SSE2__)
// Lanes from `first` on all ones, those before it zero (first: 0 to 16).
inline __m128i lanes_from(std::size_t first) {
    static constexpr unsigned char kFromSixteen[32] = {
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255};
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kFromSixteen + 16 - first));
}

namespace detail {

// count_each for long texts, where hits can be dense: each byte lane counts
// its own hits (a match compares as -1, so it is subtracted), with no branch
// per hit, and the lanes are summed every 255 blocks that had any, before a
// lane can overflow. Blocks without hits, most of real text, cost one test.
// Out of line: inlined into a caller with vector registers of its own in use,
// the loop spills one at every block.
template <std::size_t N>
[[gnu::noinline]] std::array<std::size_t, N> count_each_long(const char* data, std::size_t size,
                                                            const char (&wanted)[N]) {
    std::array<std::size_t, N> counts{};
    __m128i want[N];
    __m128i lanes[N];
    for (std::size_t k = 0; k < N; ++k) {
        want[k] = _mm_set1_epi8(wanted[k]);
        lanes[k] = _mm_setzero_si128();
    }
    const auto sum_lanes = [&] {
        for (std::size_t k = 0; k < N; ++k) {
            const __m128i halves = _mm_sad_epu8(lanes[k], _mm_setzero_si128());
            counts[k] += static_cast<std::size_t>(_mm_cvtsi128_si32(halves)) +
                         static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(halves, 8)));
            lanes[k] = _mm_setzero_si128();
        }
    };
    const auto count_block = [&](__m128i bytes, __m128i keep) {
        for (std::size_t k = 0; k < N; ++k) {
            lanes[k] = _mm_sub_epi8(lanes[k], _mm_and_si128(_mm_cmpeq_epi8(bytes, want[k]), keep));
        }
    };
    std::size_t block = 0;
    for (unsigned since_sum = 0; block + 16 <= size; block += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + block));
        __m128i any = _mm_cmpeq_epi8(bytes, want[0]);
        for (std::size_t k = 1; k < N; ++k) any = _mm_or_si128(any, _mm_cmpeq_epi8(bytes, want[k]));
        if (_mm_movemask_epi8(any) == 0) continue;
        count_block(bytes, _mm_set1_epi8(-1));
        if (++since_sum == 255) {
            sum_lanes();
            since_sum = 0;
        }
    }
    // The last 16 bytes, less those at their start already counted.
    if (block < size) {
        count_block(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + size - 16)),
                    lanes_from(block - (size - 16)));
    }
    sum_lanes();
    return counts;
}

}  // namespace detail
#endif

// From this length on, count_each leaves out blocks without hits, out of line.
constexpr std::size_t kCountLaneByLane = 1024;

#if defined(__SSE2__)
namespace detail {

// count_each for 16 bytes up to kCountLaneByLane: every block counted lane by
// lane with no branch, hits or not (a line of real text has some in most of
// its blocks, and a branch per hit costs more than the count), the lanes
// summed once at the end.
template <std::size_t N>
[[gnu::always_inline]] inline std::array<std::size_t, N> count_each_short(const char* data, std::size_t size,
                                                                          const char (&wanted)[N]) {
    static_assert(kCountLaneByLane / 16 <= 255, "a byte lane counts every block of a short text");
    __m128i want[N];
    __m128i lanes[N];
    for (std::size_t k = 0; k < N; ++k) {
        want[k] = _mm_set1_epi8(wanted[k]);
        lanes[k] = _mm_setzero_si128();
    }
    const auto count_block = [&](__m128i bytes) {
        for (std::size_t k = 0; k < N; ++k) lanes[k] = _mm_sub_epi8(lanes[k], _mm_cmpeq_epi8(bytes, want[k]));
    };
    std::size_t block = 0;
    for (; block + 16 <= size; block += 16) count_block(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + block)));
    // The last 16 bytes, less those at their start already counted.
    if (block < size) {
        const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + size - 16));
        const __m128i keep = lanes_from(block - (size - 16));
        for (std::size_t k = 0; k < N; ++k) {
            lanes[k] = _mm_sub_epi8(lanes[k], _mm_and_si128(_mm_cmpeq_epi8(last, want[k]), keep));
        }
    }
    std::array<std::size_t, N> counts{};
    for (std::size_t k = 0; k < N; ++k) {
        const __m128i halves = _mm_sad_epu8(lanes[k], _mm_setzero_si128());
        counts[k] = static_cast<std::size_t>(_mm_cvtsi128_si32(halves)) +
                    static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(halves, 8)));
    }
    return counts;
}

}  // namespace detail
#endif

// How often each of the given bytes occurs in `text`. Inline: a call for
// each of many short lines costs more than the count.
template <std::size_t N>
[[gnu::always_inline]] inline std::array<std::size_t, N> count_each(std::string_view text, const char (&wanted)[N]) {
    const char* const data = text.data();
    const std::size_t size = text.size();
#if defined(__SSE2__)
    if (size >= kCountLaneByLane) return detail::count_each_long(data, size, wanted);
    if (size >= 16) return detail::count_each_short(data, size, wanted);
#endif
    std::array<std::size_t, N> counts{};
    for (std::size_t i = 0; i < size; ++i) {
        for (std::size_t k = 0; k < N; ++k) counts[k] += data[i] == wanted[k] ? 1 : 0;
    }
    return counts;
}

// Whether every byte of `text` is below 0x80: 16 bytes at a time from 16 on
// (the last block overlapping the one before, one test at the end), two
// overlapping words from 8, bytes one by one below that.
inline bool is_ascii(std::string_view text) {
    const char* const data = text.data();
    const std::size_t size = text.size();
#if defined(__SSE2__)
    if (size >= 16) {
        const auto load = [&](std::size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at)); };
        __m128i high = load(size - 16);
        for (std::size_t i = 0; i + 16 <= size; i += 16) high = _mm_or_si128(high, load(i));
        return _mm_movemask_epi8(high) == 0;
    }
#endif
    std::uint64_t words[2] = {0, 0};
    if (size >= 8 && size <= 16) {
        std::memcpy(&words[0], data, 8);
        std::memcpy(&words[1], data + size - 8, 8);
    } else {
        for (std::size_t i = 0; i < size; ++i) words[0] |= static_cast<unsigned char>(data[i]);
    }
    return ((words[0] | words[1]) & 0x8080808080808080u) == 0;
}

// Copies `size` bytes to `out` and tells whether every one was below 0x80:
// the check rides along with the copy instead of reading the bytes twice.
inline bool copy_ascii(char* out, const char* from, std::size_t size) {
#if defined(__SSE2__)
    if (size >= 16) {
        const auto load = [](const char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
        const auto store = [](char* at, __m128i bytes) { _mm_storeu_si128(reinterpret_cast<__m128i*>(at), bytes); };
        const __m128i last = load(from + size - 16);
        __m128i high = last;
        for (std::size_t i = 0; i + 16 <= size; i += 16) {
            const __m128i bytes = load(from + i);
            store(out + i, bytes);
            high = _mm_or_si128(high, bytes);
        }
        store(out + size - 16, last);
        return _mm_movemask_epi8(high) == 0;
    }
#endif
    copy(out, from, size);  // short, or any length without SSE2
    return is_ascii(std::string_view(out, size));
}

}  // namespace zendral::bytes
