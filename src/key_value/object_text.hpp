// The object text of one key=value line, laid out by one sweep over the
// line's commas and "=" bytes and then written wherever the caller keeps it:
// a string of its own, or storage reused from line to line. The escaping
// form (kEscape) is a type of its own, so that the plain one carries no test
// for it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "../common/bytes.hpp"
#include "../common/escape.hpp"
#include "../common/scratch.hpp"

namespace zendral::key_value {

template <bool kEscape>
class BasicObjectText {
public:
    explicit BasicObjectText(std::string_view line);

    std::size_t size() const { return size_; }
    // Writes the size() bytes of the text to `out`.
    void write(char* out) const;

private:
    // A field that holds "=": its first byte, its first "=", one past its end.
    struct Pair {
        std::size_t field;
        std::size_t equals;
        std::size_t end;
    };
    // Pairs remembered from the sweep; a line with more is swept again to
    // write them, so memory stays constant however many fields a line holds.
    static constexpr std::size_t kKeptPairs = 32;

    std::string_view line_;
    std::array<Pair, kKeptPairs> pairs_;
    std::size_t count_ = 0;
    std::size_t size_ = 0;
    // With kEscape (unset and unused without): whether the line holds a byte
    // to escape, and which of the kept pairs do (bit i for pair i).
    bool escaping_;
    std::uint32_t escaped_pairs_;
    static_assert(kKeptPairs <= 32, "one bit of escaped_pairs_ per kept pair");
};

using ObjectText = BasicObjectText<false>;
using EscapedObjectText = BasicObjectText<true>;  // KeyValueOptions::escape

// The object text of a line with no byte to escape, written in the same
// sweep that finds its pairs, without sizing it first, to `out`, which has
// room for unescaped_object_room(line.size()) bytes. Returns the end.
char* write_unescaped_object(std::string_view line, char* out);

// At most 4 bytes of text per byte of line (`=,=` gives `{"": "", "": ""}`),
// and room for wide moves to spill.
constexpr std::size_t unescaped_object_room(std::size_t line_bytes) { return 4 * line_bytes + 4 + bytes::kWideMove; }

// The same for a simple line, the common case, faster: one whose every
// field holds "=" and (with kEscape) no byte needs escaping. `copy` has room
// for simple_copy_room(line.size()) bytes, where the pass keeps the line to
// read it in blocks that go past its end, and `out` for
// simple_object_room(line.size()). Returns the end, or nullptr when the
// line is not simple (`out` then holds nothing of use).
template <bool kEscape>
char* write_simple_object(std::string_view line, char* copy, char* out);

// The pass goes 64 bytes at a time, blocks past the line's end included.
constexpr std::size_t kSimpleStretch = 64;
constexpr std::size_t simple_copy_room(std::size_t line_bytes) { return line_bytes + kSimpleStretch; }
constexpr std::size_t simple_object_room(std::size_t line_bytes) {
    return unescaped_object_room(line_bytes) + kSimpleStretch;
}

// A short line's text (shorter than kShortLine) in one pass into `out`, which
// has room for simple_object_room(line.size()) bytes, `copy` as for
// write_simple_object; nullptr when the text must be sized first (with
// kEscape: a field without "=", or a byte to escape).
constexpr std::size_t kShortLine = scratch::kLongLine / 4;
template <bool kEscape>
char* write_short_object(std::string_view line, char* copy, char* out) {
    char* const end = write_simple_object<kEscape>(line, copy, out);
    if (end || kEscape) return end;
    return write_unescaped_object(line, out);
}

// Object texts made one line at a time into storage reused from line to line.
template <bool kEscape>
class BasicObjectWriter {
public:
    // The line's object text, valid until the next call.
    std::string_view operator()(std::string_view line) {
        // Up to a long line's length, one pass into storage sized for the
        // most the text can take; past it, or with fields to drop or bytes
        // to escape, the text is sized exactly first.
        const std::size_t size = line.size();
        if (size < kShortLine) {
            char* const copy = storage_.take(simple_copy_room(size) + simple_object_room(size));
            char* const text = copy + simple_copy_room(size);
            if (const char* end = write_short_object<kEscape>(line, copy, text)) {
                return {text, static_cast<std::size_t>(end - text)};
            }
        }
        const BasicObjectText<kEscape> object(line);
        char* const text = storage_.take(object.size());
        object.write(text);
        return {text, object.size()};
    }

private:
    scratch::Bytes storage_;
};

using ObjectWriter = BasicObjectWriter<false>;
using EscapedObjectWriter = BasicObjectWriter<true>;

// The object text as a string of its own, sized exactly.
template <bool kEscape>
std::string object_string(std::string_view line);

}  // namespace zendral::key_value
