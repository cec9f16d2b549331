// key=value line -> flat JSON object text, in two sweeps over the line's
// commas and "=" bytes: one sizes the text exactly, one writes it. Pairs are
// views into the line, never stored, so memory stays constant however many
// fields a line holds.
#include <cstring>
#include <string>
#include <string_view>

#include "../common/bytes.hpp"
#include "zendral/key_value.hpp"

namespace zendral {
namespace {

constexpr std::size_t kNone = std::string_view::npos;

// One pair, cut from a field at its first "="; both views point into the line.
struct KeyValuePair {
    std::string_view key;
    std::string_view value;
};

// Calls visit(pair) for every comma-separated field that holds "=", in line
// order; the pair is cut at the field's first "=".
template <class Visit>
void for_each_pair(std::string_view line, Visit&& visit) {
    std::size_t field = 0;
    std::size_t equals = kNone;  // the current field's first "="
    const auto end_field = [&](std::size_t field_end) {
        if (equals != kNone) {
            visit(KeyValuePair{std::string_view(line.data() + field, equals - field),
                               std::string_view(line.data() + equals + 1, field_end - equals - 1)});
        }
    };
    bytes::for_each_of(line, ',', '=', [&](std::size_t at) {
        if (line[at] == '=') {
            if (equals == kNone) equals = at;
            return;
        }
        end_field(at);
        field = at + 1;
        equals = kNone;
    });
    end_field(line.size());
}

template <std::size_t N>
char* put(char* out, const char (&literal)[N]) {
    std::memcpy(out, literal, N - 1);  // a constant size: plain stores
    return out + N - 1;
}

}  // namespace

std::string line_csv_to_json(std::string_view line) {
    // {"k": "v", "k2": "v2"}: six bytes around each pair, two between pairs.
    std::size_t size = 2;
    std::size_t pairs = 0;
    for_each_pair(line, [&](const KeyValuePair& pair) {
        size += pair.key.size() + pair.value.size() + 6;
        ++pairs;
    });
    if (pairs > 1) size += 2 * (pairs - 1);

    std::string text(size, '\0');
    char* out = text.data();
    *out++ = '{';
    bool first = true;
    for_each_pair(line, [&](const KeyValuePair& pair) {
        if (!first) out = put(out, ", ");
        first = false;
        out = put(out, "\"");
        out = bytes::copy(out, pair.key);
        out = put(out, "\": \"");
        out = bytes::copy(out, pair.value);
        out = put(out, "\"");
    });
    *out = '}';
    return text;
}

LineList csv_lines_to_json(LineList lines) {
    // The result has the argument's shape, so its vector is reused.
    for (std::string& line : lines) line = line_csv_to_json(line);
    return lines;
}

}  // namespace zendral
