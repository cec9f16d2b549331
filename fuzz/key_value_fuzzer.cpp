// The key=value converters against the plain reference in
// key_value_reference.hpp: every line of the document (see split_lines), the
// whole list at once and streamed, the input after its first byte as one
// line, and the same bytes read back as a file from an in-memory file
// descriptor, as a list and streamed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "key_value_reference.hpp"
#include "zendral/key_value.hpp"

namespace {

using zendral::LineList;
using zendral::fuzz::fail;
using zendral::fuzz::file_holding;
using zendral::fuzz::listed;
using zendral::fuzz::require_equal;
namespace reference = zendral::fuzz::reference;

LineList converted(const LineList& lines) {
    LineList objects;
    for (const std::string& line : lines) objects.push_back(reference::line_csv_to_json(line));
    return objects;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(zendral::fuzz::as_text(data, size));
    const LineList lines = zendral::fuzz::split_lines(input);

    for (const std::string& line : lines) {
        require_equal("line_csv_to_json", line, zendral::line_csv_to_json(line),
                      reference::line_csv_to_json(line));
    }
    const LineList objects = zendral::csv_lines_to_json(lines);
    if (objects != converted(lines)) {
        fail("csv_lines_to_json", input, listed(objects), listed(converted(lines)));
    }
    const std::vector<std::string_view> views(lines.begin(), lines.end());
    LineList streamed;
    zendral::csv_lines_to_json(views, [&](std::string_view object) { streamed.emplace_back(object); });
    if (streamed != objects) fail("csv_lines_to_json, streamed", input, listed(streamed), listed(objects));

    const std::string body = size ? input.substr(1) : input;
    require_equal("line_csv_to_json on the whole input", body, zendral::line_csv_to_json(body),
                  reference::line_csv_to_json(body));

    const std::string& path = file_holding(body);
    const LineList from_file = zendral::csv_file_to_json(path);
    const LineList want = converted(reference::file_lines(body));
    if (from_file != want) fail("csv_file_to_json", body, listed(from_file), listed(want));
    streamed.clear();
    zendral::csv_file_to_json(path, [&](std::string_view object) { streamed.emplace_back(object); });
    if (streamed != want) fail("csv_file_to_json, streamed", body, listed(streamed), listed(want));
    return 0;
}
