// The object text of a simple line, the common case, in one pass: every
// field holds "=" (and, when escaping, no byte needs it). Such a text is the
// line itself with "{\"" before it, "\"}" after it, and each separator (a
// comma, or the first "=" of a field) replaced by four bytes. So the line is
// written 16 bytes at a time, from a copy of it that may be read past its
// end, with the separators found 64 bytes at a time as bit masks: each block
// is stored whole where its first byte belongs, and after each separator the
// four bytes and the 16 bytes that follow are stored again, three bytes
// further on. A store that goes past the next separator puts bytes where the
// next one's stores overwrite them, so every byte ends up right.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "../common/bytes.hpp"
#include "../common/escape.hpp"
#include "object_text.hpp"

namespace zendral::key_value {
namespace {

constexpr std::size_t kBlock = 16;

// The four bytes that replace a separator: after a key, after a value. In a
// simple line the two alternate, one after every key and one after every
// value but the last, so the pass toggles between them.
constexpr std::uint32_t separator_text(const char (&text)[5]) {
    std::uint32_t word = 0;
    for (int i = 3; i >= 0; --i) word = word << 8 | static_cast<unsigned char>(text[i]);
    return word;
}
constexpr std::uint32_t kAfterKey = separator_text("\": \"");
constexpr std::uint32_t kAfterValue = separator_text("\", \"");

// The bytes of one stretch of the line that the pass needs, a bit each.
struct Stretch {
    std::uint64_t commas = 0;
    std::uint64_t equal_signs = 0;
    std::uint64_t to_escape = 0;  // with kEscape only
};

template <bool kEscape>
[[gnu::always_inline]] inline Stretch mark_stretch(const char* at) {
    Stretch marks;
    for (unsigned block = 0; block < kSimpleStretch; block += kBlock) {
#if defined(ZENDRAL_BYTE_BLOCKS)
        using namespace bytes::block;
        const Block bytes = load(at + block);
        marks.commas |= std::uint64_t{lane_bits(equal(bytes, splat(',')))} << block;
        marks.equal_signs |= std::uint64_t{lane_bits(equal(bytes, splat('=')))} << block;
        if (kEscape) marks.to_escape |= std::uint64_t{lane_bits(escape::Json::has(bytes))} << block;
#else
        for (unsigned i = block; i < block + kBlock; ++i) {
            const auto byte = static_cast<unsigned char>(at[i]);
            marks.commas |= std::uint64_t{byte == ','} << i;
            marks.equal_signs |= std::uint64_t{byte == '='} << i;
            if (kEscape) marks.to_escape |= std::uint64_t{escape::Json::has(byte)} << i;
        }
#endif
    }
    return marks;
}

// What the search for fields' first "=" carries from one stretch to the next.
struct Search {
    // The stretch before ended inside a field that holds no "=" so far.
    bool searching = false;
    // The stretch before ended in a comma, so a field starts here (as one
    // does at the line's start).
    bool after_comma = true;
};

// Which "=" bytes of a stretch are the first of their field, or ~0 when a
// field ends without one. A field is searched by adding 1 at its first byte
// to a mask of the bytes that are neither separator: the carry runs through
// the field and lands on its first "=", or on the comma (or the line's end)
// that ends it.
[[gnu::always_inline]] inline std::uint64_t first_equal_signs(const Stretch& marks, std::uint64_t in_line,
                                                              Search& search) {
    // A comma that ends the line starts a field at its end, which then lands
    // there at once.
    const std::uint64_t starts = (marks.commas << 1) | std::uint64_t{search.after_comma};
    const std::uint64_t others = ~(marks.commas | marks.equal_signs) & in_line;
    std::uint64_t landed = 0;
    const bool carried = __builtin_add_overflow(others, starts, &landed);
    const bool carried_on = __builtin_add_overflow(landed, std::uint64_t{search.searching}, &landed);
    search.searching = carried || carried_on;
    search.after_comma = (marks.commas >> (kSimpleStretch - 1)) != 0;
    if ((landed & (marks.commas | ~in_line)) != 0) return ~std::uint64_t{0};
    return landed & marks.equal_signs;
}

// How many separators come before each block of a stretch, three bytes
// each: the 16-bit lanes' bit counts, summed along (SWAR, for CPUs without
// a popcount instruction).
[[gnu::always_inline]] inline std::uint64_t separators_before_blocks(std::uint64_t separators) {
    std::uint64_t counts = separators - ((separators >> 1) & 0x5555555555555555u);
    counts = (counts & 0x3333333333333333u) + ((counts >> 2) & 0x3333333333333333u);
    counts = (counts + (counts >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    counts = (counts + (counts >> 8)) & 0x00FF00FF00FF00FFu;
    return counts * 0x0001000100010000u;  // lane k: the lanes below it
}

// Stores each block of the stretch at `from` where its first byte belongs,
// then each separator and the 16 bytes after it, three bytes further on each
// time; leaves `out` where the next stretch goes. A store of the bytes after
// a separator that runs past the next one is overwritten by that one's, so
// the blocks can all go first, and the separators in one run.
[[gnu::always_inline]] inline void write_stretch(const char* from, std::uint64_t separators, char*& out,
                                                 std::uint32_t& separator) {
    const std::uint64_t before = separators_before_blocks(separators);
    for (unsigned block = 0; block < kSimpleStretch; block += kBlock) {
        std::memcpy(out + block + 3 * (before >> block & 0xFFFFu), from + block, kBlock);
    }
    char* shifted = out;
    for (; separators != 0; separators &= separators - 1) {
        const auto bit = static_cast<unsigned>(__builtin_ctzll(separators));
        std::memcpy(shifted + bit, &separator, 4);
        separator ^= kAfterKey ^ kAfterValue;
        shifted += 3;
        std::memcpy(shifted + bit + 1, from + bit + 1, kBlock);
    }
    out = shifted + kSimpleStretch;
}

}  // namespace

template <bool kEscape>
char* write_simple_object(std::string_view line, char* copy, char* out) {
    const std::size_t size = line.size();
    if (size == 0) return nullptr;  // no field at all
    std::memcpy(copy, line.data(), size);
    char* next = out + 2;  // where byte `base` goes, after "{\""
    std::uint32_t separator = kAfterKey;
    Search search;
    for (std::size_t base = 0; base < size; base += kSimpleStretch) {
        const std::uint64_t in_line =
            size - base >= kSimpleStretch ? ~std::uint64_t{0} : (std::uint64_t{1} << (size - base)) - 1;
        Stretch marks = mark_stretch<kEscape>(copy + base);
        if (kEscape && (marks.to_escape & in_line) != 0) return nullptr;
        marks.commas &= in_line;
        const std::uint64_t firsts = first_equal_signs(marks, in_line, search);
        if (firsts == ~std::uint64_t{0}) return nullptr;
        // Blocks past the line's end are written too: into the room, where
        // the closing bytes then go over them.
        const std::uint64_t separators = firsts | marks.commas;
        write_stretch(copy + base, separators, next, separator);
    }
    // A field still searching, or one that starts where the line ends (a
    // comma ends a stretch that ends it), has no "=".
    if (search.searching || search.after_comma) return nullptr;
    // `next` is where byte `base` would go: the line's end is before it.
    char* const end = next - (kSimpleStretch - 1 - (size - 1) % kSimpleStretch);
    std::memcpy(out, "{\"", 2);
    std::memcpy(end, "\"}", 2);
    return end + 2;
}

template char* write_simple_object<false>(std::string_view line, char* copy, char* out);
template char* write_simple_object<true>(std::string_view line, char* copy, char* out);

}  // namespace zendral::key_value
