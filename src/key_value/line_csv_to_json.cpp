// key=value line -> flat JSON object text: one sweep over the line's commas
// and "=" bytes finds the pairs and sizes the text exactly, then the text is
// written from the pairs found.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "../common/bytes.hpp"
#include "../common/escape.hpp"
#include "object_text.hpp"
#include "zendral/key_value.hpp"

namespace zendral {
namespace key_value {
namespace {

constexpr std::size_t kNone = std::string_view::npos;

// Calls visit(field, equals, end) for every comma-separated field that holds
// "=", in line order: the field's first byte, its first "=", and one past its
// last byte. Works on masks of 64 bytes at a time, one step per field: the
// next comma ends it, and the first "=" before that comma cuts it; the other
// "=" of a value cost nothing.
template <class Visit>
void for_each_pair(std::string_view line, Visit&& visit) {
    std::size_t field = 0;
    std::size_t equals = kNone;  // the current field's first "="
    for (std::size_t base = 0; base < line.size(); base += 64) {
        static constexpr char kSeparators[] = {',', '='};
        auto [commas, equal_signs] = bytes::masks_of(line, base, kSeparators);
        while (commas != 0) {
            const auto comma = static_cast<unsigned>(__builtin_ctzll(commas));
            if (equals == kNone && equal_signs != 0) {
                const auto first = static_cast<unsigned>(__builtin_ctzll(equal_signs));
                if (first < comma) equals = base + first;
            }
            if (equals != kNone) visit(field, equals, base + comma);
            field = base + comma + 1;
            equals = kNone;
            const std::uint64_t done = (std::uint64_t{2} << comma) - 1;  // bits 0..comma (all of them at 63)
            commas &= ~done;
            equal_signs &= ~done;
        }
        if (equals == kNone && equal_signs != 0) equals = base + static_cast<unsigned>(__builtin_ctzll(equal_signs));
    }
    if (equals != kNone) visit(field, equals, line.size());
}

template <std::size_t N>
char* put(char* out, const char (&literal)[N]) {
    std::memcpy(out, literal, N - 1);  // a constant size: plain stores
    return out + N - 1;
}

}  // namespace

template <bool kEscape>
BasicObjectText<kEscape>::BasicObjectText(std::string_view line) : line_(line) {
    std::size_t count = 0;
    std::size_t pair_bytes = 0;
    if constexpr (kEscape) {
        // One quick search tells most lines apart: nothing to escape.
        escaping_ = bytes::find_in_class<escape::Json>(line, 0) != kNone;
    }
    for_each_pair(line, [&](std::size_t field, std::size_t equals, std::size_t end) {
        if (count < kKeptPairs) pairs_[count] = Pair{field, equals, end};
        ++count;
        pair_bytes += end - field;
        // The "=" between key and value needs no escape, so the field's
        // growth is that of its key and value.
        if (kEscape && escaping_) pair_bytes += escape::growth<escape::Json>(line.substr(field, end - field));
    });
    count_ = count;
    // {"k": "v", "k2": "v2"}: each pair's bytes less its "=", six around them,
    // two between pairs.
    size_ = 2 + pair_bytes + 5 * count + (count > 1 ? 2 * (count - 1) : 0);
}

template <bool kEscape>
void BasicObjectText<kEscape>::write(char* out) const {
    const char* const data = line_.data();
    bool first = true;
    const auto copy = [&](std::size_t from, std::size_t to) {
        if (kEscape && escaping_) return escape::copy_escaped<escape::Json>(out, line_.substr(from, to - from));
        return bytes::copy(out, data + from, to - from);
    };
    const auto write_pair = [&](std::size_t field, std::size_t equals, std::size_t end) {
        out = first ? put(out, "{\"") : put(out, ", \"");
        first = false;
        out = copy(field, equals);
        out = put(out, "\": \"");
        out = copy(equals + 1, end);
        *out++ = '"';
    };
    if (count_ <= kKeptPairs) {
        for (std::size_t i = 0; i < count_; ++i) write_pair(pairs_[i].field, pairs_[i].equals, pairs_[i].end);
    } else {
        for_each_pair(line_, write_pair);
    }
    if (first) *out++ = '{';
    *out = '}';
}

template class BasicObjectText<false>;
template class BasicObjectText<true>;

template <bool kEscape>
std::string object_string(std::string_view line) {
    const BasicObjectText<kEscape> object(line);
    std::string text(object.size(), '\0');
    object.write(text.data());
    return text;
}

template std::string object_string<false>(std::string_view line);
template std::string object_string<true>(std::string_view line);

namespace {

template <bool kEscape>
LineList convert_in_place(LineList lines) {
    // The result has the argument's shape, so its vector is reused.
    for (std::string& line : lines) line = object_string<kEscape>(line);
    return lines;
}

template <bool kEscape>
void convert_streamed(LineViews lines, LineSink sink) {
    BasicObjectWriter<kEscape> object;
    for (const std::string_view line : lines) sink(object(line));
}

}  // namespace
}  // namespace key_value

std::string line_csv_to_json(std::string_view line) { return key_value::object_string<false>(line); }

std::string line_csv_to_json(std::string_view line, KeyValueOptions options) {
    return options.escape ? key_value::object_string<true>(line) : key_value::object_string<false>(line);
}

LineList csv_lines_to_json(LineList lines) { return key_value::convert_in_place<false>(std::move(lines)); }

LineList csv_lines_to_json(LineList lines, KeyValueOptions options) {
    return options.escape ? key_value::convert_in_place<true>(std::move(lines))
                          : key_value::convert_in_place<false>(std::move(lines));
}

void csv_lines_to_json(LineViews lines, LineSink sink) { key_value::convert_streamed<false>(lines, sink); }

void csv_lines_to_json(LineViews lines, LineSink sink, KeyValueOptions options) {
    return options.escape ? key_value::convert_streamed<true>(lines, sink)
                          : key_value::convert_streamed<false>(lines, sink);
}

}  // namespace zendral
