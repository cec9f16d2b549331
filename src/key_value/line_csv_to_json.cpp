// key=value line -> flat JSON object text. One sweep over the line finds its
// commas and "=" bytes and cuts the pairs (views into the line, no copies);
// the object text is then sized exactly and written in one go.
#include <cstring>
#include <string>
#include <string_view>

#include "../common/bytes.hpp"
#include "pair_list.hpp"
#include "zendral/key_value.hpp"

namespace zendral {
namespace key_value {
namespace {

constexpr std::size_t kNone = std::string_view::npos;

char* put(char* out, std::string_view bytes) { return bytes::copy(out, bytes); }

template <std::size_t N>
char* put(char* out, const char (&literal)[N]) {
    std::memcpy(out, literal, N - 1);  // a constant size: plain stores
    return out + N - 1;
}

}  // namespace

void collect_pairs(std::string_view line, PairList& pairs) {
    pairs.clear();
    std::size_t field = 0;
    std::size_t equals = kNone;  // the current field's first "="
    const auto end_field = [&](std::size_t field_end) {
        if (equals != kNone) {
            // Filled in place: a pair built aside and copied in stalls on the
            // wide reload of its narrow stores.
            KeyValuePair& pair = pairs.emplace_back();
            pair.key = std::string_view(line.data() + field, equals - field);
            pair.value = std::string_view(line.data() + equals + 1, field_end - equals - 1);
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

std::string object_text(const PairList& pairs) {
    // {"k": "v", "k2": "v2"}: six bytes around each pair, two between pairs.
    std::size_t size = 2;
    for (const KeyValuePair& pair : pairs) size += pair.key.size() + pair.value.size() + 8;
    if (!pairs.empty()) size -= 2;

    std::string text(size, '\0');
    char* out = text.data();
    *out++ = '{';
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (i != 0) out = put(out, ", ");
        out = put(out, "\"");
        out = put(out, pairs[i].key);
        out = put(out, "\": \"");
        out = put(out, pairs[i].value);
        out = put(out, "\"");
    }
    *out = '}';
    return text;
}

}  // namespace key_value

std::string line_csv_to_json(std::string_view line) {
    key_value::PairList pairs;
    key_value::collect_pairs(line, pairs);
    return key_value::object_text(pairs);
}

LineList csv_lines_to_json(LineList lines) {
    // The result has the argument's shape, so its vector is reused, and so is
    // one pair list for all lines.
    key_value::PairList pairs;
    for (std::string& line : lines) {
        key_value::collect_pairs(line, pairs);
        line = key_value::object_text(pairs);
    }
    return lines;
}

}  // namespace zendral
