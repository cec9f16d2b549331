// key=value line -> flat JSON object text, as two scans over the bytes: one
// to size the result exactly, one to write it. No per-field strings.
#include <cstring>
#include <string>
#include <string_view>

#include "zendral/key_value.hpp"

namespace zendral {
namespace {

constexpr std::string_view kPairOpen = "\"";
constexpr std::string_view kKeyValueGlue = "\": \"";
constexpr std::string_view kPairClose = "\"";
constexpr std::string_view kPairSeparator = ", ";

const char* find_byte(const char* from, const char* end, char byte) {
    const void* hit = std::memchr(from, byte, static_cast<std::size_t>(end - from));
    return hit ? static_cast<const char*>(hit) : nullptr;
}

// Calls visit(pair) for every comma-separated field that holds "=", in
// line order; the pair is cut at the field's first "=".
template <class Visit>
void for_each_pair(std::string_view line, Visit&& visit) {
    const char* field = line.data();
    const char* const end = field + line.size();
    for (;;) {
        const char* comma = find_byte(field, end, ',');
        const char* field_end = comma ? comma : end;
        if (const char* eq = find_byte(field, field_end, '=')) {
            visit(KeyValuePair{std::string_view(field, static_cast<std::size_t>(eq - field)),
                               std::string_view(eq + 1, static_cast<std::size_t>(field_end - eq - 1))});
        }
        if (!comma) return;
        field = comma + 1;
    }
}

}  // namespace

std::string line_csv_to_json(std::string_view line) {
    constexpr std::size_t kPairOverhead = kPairOpen.size() + kKeyValueGlue.size() + kPairClose.size();
    std::size_t size = 2;  // "{" and "}"
    std::size_t pairs = 0;
    for_each_pair(line, [&](const KeyValuePair& pair) {
        size += pair.key.size() + pair.value.size() + kPairOverhead;
        ++pairs;
    });
    if (pairs > 1) size += (pairs - 1) * kPairSeparator.size();

    std::string text;
    text.reserve(size);
    text += '{';
    bool first = true;
    for_each_pair(line, [&](const KeyValuePair& pair) {
        if (!first) text += kPairSeparator;
        first = false;
        text += kPairOpen;
        text += pair.key;
        text += kKeyValueGlue;
        text += pair.value;
        text += kPairClose;
    });
    text += '}';
    return text;
}

LineList csv_lines_to_json(LineList lines) {
    // The result has the argument's shape, so reuse its vector.
    for (std::string& line : lines) line = line_csv_to_json(line);
    return lines;
}

}  // namespace zendral
