// Byte helpers for the converters' hot loops. Lines in real input are short
// (tens of bytes), where a libc call per search or copy costs more than the
// work itself: searches run inline, 16 bytes at a time (SSE2, part of every
// x86-64 CPU, or NEON, part of every aarch64 one; a plain loop elsewhere, or
// wherever ZENDRAL_PLAIN_BYTES is defined), and short copies are plain moves.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if !defined(ZENDRAL_PLAIN_BYTES) && defined(__SSE2__)
#define ZENDRAL_BYTE_BLOCKS 1
#include <emmintrin.h>
#elif !defined(ZENDRAL_PLAIN_BYTES) && defined(__ARM_NEON) && defined(__aarch64__)
#define ZENDRAL_BYTE_BLOCKS 1
#include <arm_neon.h>
#endif

namespace zendral::bytes {

#if defined(ZENDRAL_BYTE_BLOCKS)
// 16 bytes at a time, in the few operations that the helpers below need, so
// that they are written once for both instruction sets. A comparison gives
// all ones in the lanes where it holds.
namespace block {

#if defined(__SSE2__)
using Block = __m128i;
inline Block load(const char* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }
inline void store(char* at, Block bytes) { _mm_storeu_si128(reinterpret_cast<__m128i*>(at), bytes); }
inline Block splat(char byte) { return _mm_set1_epi8(byte); }
inline Block zero() { return _mm_setzero_si128(); }
inline Block equal(Block a, Block b) { return _mm_cmpeq_epi8(a, b); }
inline Block either(Block a, Block b) { return _mm_or_si128(a, b); }
inline Block both(Block a, Block b) { return _mm_and_si128(a, b); }
// Lanes where a <= b, unsigned.
inline Block at_most(Block a, Block b) { return _mm_cmpeq_epi8(_mm_min_epu8(a, b), a); }
// Bit i set for a lane i that holds all ones (comparison results only).
inline unsigned lane_bits(Block lanes) { return static_cast<unsigned>(_mm_movemask_epi8(lanes)); }
inline bool any_lane(Block lanes) { return _mm_movemask_epi8(lanes) != 0; }
// Whether any byte is 0x80 or above.
inline bool any_high(Block bytes) { return _mm_movemask_epi8(bytes) != 0; }
// Lane counters: a hit (all ones, -1) counts one more.
inline Block count_hits(Block counters, Block hits) { return _mm_sub_epi8(counters, hits); }
inline std::size_t sum_lanes(Block counters) {
    const __m128i halves = _mm_sad_epu8(counters, _mm_setzero_si128());
    return static_cast<std::size_t>(_mm_cvtsi128_si32(halves)) +
           static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(halves, 8)));
}
#else
using Block = uint8x16_t;
inline Block load(const char* at) { return vld1q_u8(reinterpret_cast<const std::uint8_t*>(at)); }
inline void store(char* at, Block bytes) { vst1q_u8(reinterpret_cast<std::uint8_t*>(at), bytes); }
inline Block splat(char byte) { return vdupq_n_u8(static_cast<std::uint8_t>(byte)); }
inline Block zero() { return vdupq_n_u8(0); }
inline Block equal(Block a, Block b) { return vceqq_u8(a, b); }
inline Block either(Block a, Block b) { return vorrq_u8(a, b); }
inline Block both(Block a, Block b) { return vandq_u8(a, b); }
inline Block at_most(Block a, Block b) { return vcleq_u8(a, b); }
// NEON has no byte mask: each lane keeps its own bit, and the two halves'
// bits are summed across.
inline unsigned lane_bits(Block lanes) {
    static constexpr std::uint8_t kBits[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t bits = vandq_u8(lanes, vld1q_u8(kBits));
    return static_cast<unsigned>(vaddv_u8(vget_low_u8(bits))) |
           static_cast<unsigned>(vaddv_u8(vget_high_u8(bits))) << 8;
}
inline bool any_lane(Block lanes) { return vmaxvq_u8(lanes) != 0; }
inline bool any_high(Block bytes) { return vmaxvq_u8(bytes) >= 0x80; }
inline Block count_hits(Block counters, Block hits) { return vsubq_u8(counters, hits); }
inline std::size_t sum_lanes(Block counters) { return vaddlvq_u8(counters); }
#endif

// Lanes from `first` on all ones, those before it zero (first: 0 to 16).
inline Block lanes_from(std::size_t first) {
    static constexpr unsigned char kFromSixteen[32] = {
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255};
    return load(reinterpret_cast<const char*>(kFromSixteen) + 16 - first);
}

}  // namespace block
#endif

// Position of the first `byte` in [from, to) of `text`, or npos. Inline, so
// that the many short searches of a line cost no call.
inline std::size_t find(std::string_view text, char byte, std::size_t from, std::size_t to) {
    if (from >= to) return std::string_view::npos;
    const char* const data = text.data();
    std::size_t i = from;
#if defined(ZENDRAL_BYTE_BLOCKS)
    const block::Block want = block::splat(byte);
    const auto hits_at = [&](std::size_t start) { return block::lane_bits(block::equal(block::load(data + start), want)); };
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
// (`Class::has(unsigned char)`) and, with blocks, which of 16 do
// (`Class::has(block::Block)`, all ones in their lanes). Blocks are read from
// anywhere in `text`, so a short range inside a long text (a key or value
// of a line) is searched 16 bytes at a time too.
template <class Class>
inline std::size_t find_in_class(std::string_view text, std::size_t from, std::size_t to) {
    const char* const data = text.data();
    std::size_t i = from;
#if defined(ZENDRAL_BYTE_BLOCKS)
    const std::size_t size = text.size();
    const auto hits_at = [&](std::size_t start) { return block::lane_bits(Class::has(block::load(data + start))); };
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
#if defined(ZENDRAL_BYTE_BLOCKS)
    if (size >= 16) {
        block::Block any = Class::has(block::load(data + size - 16));
        for (std::size_t i = 0; i + 16 <= size; i += 16) any = block::either(any, Class::has(block::load(data + i)));
        return block::any_lane(any);
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
#if defined(ZENDRAL_BYTE_BLOCKS)
    if (size >= 16) {
        const auto add_block = [&](std::size_t start, unsigned shift_right, unsigned shift_left) {
            const block::Block bytes = block::load(data + start);
            for (std::size_t k = 0; k < N; ++k) {
                const unsigned hits = block::lane_bits(block::equal(bytes, block::splat(wanted[k])));
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

#if defined(ZENDRAL_BYTE_BLOCKS)
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
    block::Block want[N];
    block::Block lanes[N];
    for (std::size_t k = 0; k < N; ++k) {
        want[k] = block::splat(wanted[k]);
        lanes[k] = block::zero();
    }
    const auto sum_lanes = [&] {
        for (std::size_t k = 0; k < N; ++k) {
            counts[k] += block::sum_lanes(lanes[k]);
            lanes[k] = block::zero();
        }
    };
    const auto count_block = [&](block::Block bytes, block::Block keep) {
        for (std::size_t k = 0; k < N; ++k) {
            lanes[k] = block::count_hits(lanes[k], block::both(block::equal(bytes, want[k]), keep));
        }
    };
    std::size_t block = 0;
    for (unsigned since_sum = 0; block + 16 <= size; block += 16) {
        const block::Block bytes = block::load(data + block);
        block::Block any = block::equal(bytes, want[0]);
        for (std::size_t k = 1; k < N; ++k) any = block::either(any, block::equal(bytes, want[k]));
        if (!block::any_lane(any)) continue;
        count_block(bytes, block::splat(-1));
        if (++since_sum == 255) {
            sum_lanes();
            since_sum = 0;
        }
    }
    // The last 16 bytes, less those at their start already counted.
    if (block < size) {
        count_block(block::load(data + size - 16), block::lanes_from(block - (size - 16)));
    }
    sum_lanes();
    return counts;
}

}  // namespace detail
#endif

// From this length on, count_each leaves out blocks without hits, out of line.
constexpr std::size_t kCountLaneByLane = 1024;

#if defined(ZENDRAL_BYTE_BLOCKS)
namespace detail {

// count_each for 16 bytes up to kCountLaneByLane: every block counted lane by
// lane with no branch, hits or not (a line of real text has some in most of
// its blocks, and a branch per hit costs more than the count), the lanes
// summed once at the end.
template <std::size_t N>
[[gnu::always_inline]] inline std::array<std::size_t, N> count_each_short(const char* data, std::size_t size,
                                                                          const char (&wanted)[N]) {
    static_assert(kCountLaneByLane / 16 <= 255, "a byte lane counts every block of a short text");
    block::Block want[N];
    block::Block lanes[N];
    for (std::size_t k = 0; k < N; ++k) {
        want[k] = block::splat(wanted[k]);
        lanes[k] = block::zero();
    }
    const auto count_block = [&](block::Block bytes, block::Block keep) {
        for (std::size_t k = 0; k < N; ++k) {
            lanes[k] = block::count_hits(lanes[k], block::both(block::equal(bytes, want[k]), keep));
        }
    };
    std::size_t block = 0;
    for (; block + 16 <= size; block += 16) count_block(block::load(data + block), block::splat(-1));
    // The last 16 bytes, less those at their start already counted.
    if (block < size) count_block(block::load(data + size - 16), block::lanes_from(block - (size - 16)));
    std::array<std::size_t, N> counts{};
    for (std::size_t k = 0; k < N; ++k) counts[k] = block::sum_lanes(lanes[k]);
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
#if defined(ZENDRAL_BYTE_BLOCKS)
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
#if defined(ZENDRAL_BYTE_BLOCKS)
    if (size >= 16) {
        block::Block high = block::load(data + size - 16);
        for (std::size_t i = 0; i + 16 <= size; i += 16) high = block::either(high, block::load(data + i));
        return !block::any_high(high);
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
#if defined(ZENDRAL_BYTE_BLOCKS)
    if (size >= 16) {
        using block::load;
        using block::store;
        const block::Block last = load(from + size - 16);
        block::Block high = last;
        for (std::size_t i = 0; i + 16 <= size; i += 16) {
            const block::Block bytes = load(from + i);
            store(out + i, bytes);
            high = block::either(high, bytes);
        }
        store(out + size - 16, last);
        return !block::any_high(high);
    }
#endif
    copy(out, from, size);  // short, or any length without blocks
    return is_ascii(std::string_view(out, size));
}

}  // namespace zendral::bytes
