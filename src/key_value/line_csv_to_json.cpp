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
    // The next byte to escape at or after the current field: most lines have
    // none, and most pairs of those that do have none either. Each byte is
    // searched once, dropped fields included.
    std::size_t special = kNone;
    if constexpr (kEscape) {
        special = bytes::find_in_class<escape::Json>(line, 0, line.size());
        escaping_ = special != kNone;
        escaped_pairs_ = 0;
    }
    const auto next_special = [&](std::size_t from) { return bytes::find_in_class<escape::Json>(line, from, line.size()); };
    for_each_pair(line, [&](std::size_t field, std::size_t equals, std::size_t end) {
        if (count < kKeptPairs) pairs_[count] = Pair{field, equals, end};
        pair_bytes += end - field;
        if constexpr (kEscape) {
            while (special < field) special = next_special(special + 1);
            if (special < end) {
                // The "=" between key and value needs no escape, so the
                // field's bytes to escape are those of its key and value.
                for (; special < end; special = next_special(special + 1)) {
                    pair_bytes += escape::Json::growth(static_cast<unsigned char>(line[special]));
                }
                if (count < kKeptPairs) escaped_pairs_ |= std::uint32_t{1} << count;
            }
        }
        ++count;
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
    const auto write_pair = [&](std::size_t field, std::size_t equals, std::size_t end, bool escaped) {
        out = first ? put(out, "{\"") : put(out, ", \"");
        first = false;
        if (kEscape && escaped) {
            out = escape::copy_escaped<escape::Json>(out, line_, field, equals);
            out = put(out, "\": \"");
            out = escape::copy_escaped<escape::Json>(out, line_, equals + 1, end);
        } else {
            out = bytes::copy(out, data + field, equals - field);
            out = put(out, "\": \"");
            out = bytes::copy(out, data + equals + 1, end - equals - 1);
        }
        *out++ = '"';
    };
    if (count_ <= kKeptPairs) {
        for (std::size_t i = 0; i < count_; ++i) {
            const bool escaped = kEscape && (escaped_pairs_ >> i & 1u) != 0;
            write_pair(pairs_[i].field, pairs_[i].equals, pairs_[i].end, escaped);
        }
    } else {
        for_each_pair(line_, [&](std::size_t field, std::size_t equals, std::size_t end) {
            write_pair(field, equals, end, kEscape && escaping_);
        });
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
