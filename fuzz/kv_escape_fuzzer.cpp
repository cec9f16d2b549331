// The key=value converters with escape set: every line of the document (see
// split_lines) and the input after its first byte as one line must read back,
// as strict JSON, to exactly the line's pairs; the list, streaming and file
// forms must give the same texts as line_csv_to_json.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.hpp"
#include "key_value_reference.hpp"
#include "reference.hpp"
#include "zendral/key_value.hpp"

namespace {

using zendral::LineList;
using zendral::fuzz::fail;
using zendral::fuzz::file_holding;
using zendral::fuzz::listed;

void check_line(const std::string& line, const std::string& object) {
    const auto pairs = zendral::reference::read_json_object(object);
    if (!pairs) fail("an escaped object text is no JSON object", line, object, "");
    if (*pairs != zendral::reference::key_value_pairs(line)) {
        fail("an escaped object text reads back to other pairs", line, object, "");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(zendral::fuzz::as_text(data, size));
    const LineList lines = zendral::fuzz::split_lines(input);
    const zendral::KeyValueOptions escape{true};

    LineList objects;
    for (const std::string& line : lines) {
        objects.push_back(zendral::line_csv_to_json(line, escape));
        check_line(line, objects.back());
    }
    const LineList listed_objects = zendral::csv_lines_to_json(lines, escape);
    if (listed_objects != objects) fail("escaped csv_lines_to_json", input, listed(listed_objects), listed(objects));
    const std::vector<std::string_view> views(lines.begin(), lines.end());
    LineList streamed;
    zendral::csv_lines_to_json(views, [&](std::string_view object) { streamed.emplace_back(object); }, escape);
    if (streamed != objects) fail("escaped csv_lines_to_json, streamed", input, listed(streamed), listed(objects));

    const std::string body = size ? input.substr(1) : input;
    check_line(body, zendral::line_csv_to_json(body, escape));

    LineList want;
    for (const std::string& line : zendral::fuzz::reference::file_lines(body)) {
        want.push_back(zendral::line_csv_to_json(line, escape));
    }
    const std::string& path = file_holding(body);
    const LineList from_file = zendral::csv_file_to_json(path, escape);
    if (from_file != want) fail("escaped csv_file_to_json", body, listed(from_file), listed(want));
    streamed.clear();
    zendral::csv_file_to_json(path, [&](std::string_view object) { streamed.emplace_back(object); }, escape);
    if (streamed != want) fail("escaped csv_file_to_json, streamed", body, listed(streamed), listed(want));
    return 0;
}
