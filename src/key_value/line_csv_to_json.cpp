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
// last byte. Works on masks of 64 bytes at a time, one step per field, with
// no branch on the field's shape: the next comma ends it, and the first "="
// between that comma and the one after it starts the next field's value.
template <class Visit>
void for_each_pair(std::string_view line, Visit&& visit) {
    // The "=" bits of `equal_signs` before the lowest comma of `commas` (all
    // of them when there is none).
    const auto first_before_comma = [](std::uint64_t equal_signs, std::uint64_t commas) {
        return equal_signs & (commas ^ (commas - 1));
    };
    std::size_t field = 0;
    std::size_t equals = kNone;  // the current field's first "="
    for (std::size_t base = 0; base < line.size(); base += 64) {
        static constexpr char kSeparators[] = {',', '='};
        auto [commas, equal_signs] = bytes::masks_of(line, base, kSeparators);
        if (equals == kNone) {
            // The field that goes on from the chunk before may find its "=" here.
            if (const std::uint64_t first = first_before_comma(equal_signs, commas)) {
                equals = base + static_cast<unsigned>(__builtin_ctzll(first));
            }
        }
        while (commas != 0) {
            const auto comma = static_cast<unsigned>(__builtin_ctzll(commas));
            if (equals != kNone) visit(field, equals, base + comma);
            field = base + comma + 1;
            commas &= commas - 1;
            const std::uint64_t after = equal_signs & ~((std::uint64_t{2} << comma) - 1);  // none at 63
            const std::uint64_t first = first_before_comma(after, commas);
            equals = first != 0 ? base + static_cast<unsigned>(__builtin_ctzll(first)) : kNone;
        }
    }
    if (equals != kNone) visit(field, equals, line.size());
}

template <std::size_t N>
char* put(char* out, const char (&literal)[N]) {
    std::memcpy(out, literal, N - 1);  // a constant size: plain stores
    return out + N - 1;
}

// `key": "value` of the pair at field, equals, end: with kWide in wide moves
// that spill past what they copy, else exactly.
template <bool kWide>
char* put_key_and_value(char* out, const char* data, std::size_t field, std::size_t equals, std::size_t end) {
    constexpr auto copy = kWide ? bytes::copy_wide : static_cast<char* (*)(char*, const char*, std::size_t)>(bytes::copy);
    out = copy(out, data + field, equals - field);
    out = put(out, "\": \"");
    return copy(out, data + equals + 1, end - equals - 1);
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
    bool first = true;
    const auto write_pair = [&](std::size_t field, std::size_t equals, std::size_t end, bool escaped) {
        out = first ? put(out, "{\"") : put(out, ", \"");
        first = false;
        if (kEscape && escaped) {
            out = escape::copy_escaped<escape::Json>(out, line_, field, equals);
            out = put(out, "\": \"");
            out = escape::copy_escaped<escape::Json>(out, line_, equals + 1, end);
        } else {
            out = put_key_and_value<false>(out, line_.data(), field, equals, end);
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

char* write_unescaped_object(std::string_view line, char* out) {
    const char* const data = line.data();
    char* const start = out;
    *out++ = '{';
    // Each pair as `"key": "value", `, so that every pair is written alike;
    // the last separator then makes room for the closing brace.
    for_each_pair(line, [&](std::size_t field, std::size_t equals, std::size_t end) {
        *out++ = '"';
        // Wide moves read up to kWideMove bytes past the value: they may
        // while the line goes on that far (all pairs but the last one or two).
        out = end + bytes::kWideMove <= line.size() ? put_key_and_value<true>(out, data, field, equals, end)
                                                    : put_key_and_value<false>(out, data, field, equals, end);
        out = put(out, "\", ");
    });
    if (out - start > 1) out -= 2;
    *out++ = '}';
    return out;
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
