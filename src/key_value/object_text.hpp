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

// Object texts made one line at a time into storage reused from line to line.
template <bool kEscape>
class BasicObjectWriter {
public:
    // The line's object text, valid until the next call.
    std::string_view operator()(std::string_view line) {
        // Up to a long line's length, one sweep into storage sized for the
        // most the text can take; past it, or with bytes to escape, the
        // text is sized exactly first.
        if (line.size() < scratch::kLongLine / 4 && (!kEscape || !bytes::any_in_class<escape::Json>(line))) {
            char* const text = storage_.take(unescaped_object_room(line.size()));
            return {text, static_cast<std::size_t>(write_unescaped_object(line, text) - text)};
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
