// The object text of one key=value line, laid out by one sweep over the
// line's commas and "=" bytes and then written wherever the caller keeps it:
// a string of its own, or storage reused from line to line.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "../common/scratch.hpp"

namespace zendral::key_value {

class ObjectText {
public:
    explicit ObjectText(std::string_view line);

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
};

// Object texts made one line at a time into storage reused from line to line.
class ObjectWriter {
public:
    // The line's object text, valid until the next call.
    std::string_view operator()(std::string_view line) {
        const ObjectText object(line);
        char* const text = storage_.take(object.size());
        object.write(text);
        return {text, object.size()};
    }

private:
    scratch::Bytes storage_;
};

}  // namespace zendral::key_value
