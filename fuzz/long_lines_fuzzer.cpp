// md_to_html on lines of 64 KiB to 2 MiB, where its list form hands the
// buffer holding a line's inline result over as the output line and its
// streaming form writes the block tags around that result in place: both
// forms against the step-by-step reference with the any-length inline pass,
// and line_csv_to_json on the same lines against its own reference.
//
// Input: byte 0 picks the document's shape, bytes 1 and 2 the first line's
// length, byte 3 the separator that cuts the rest into pieces; each piece's
// first byte is its repeat count (1 to 8) and the rest its text. The pieces
// are tiled, in turn, into the first line; later lines are its prefixes of a
// half and a quarter of its length, with a short line between, so buffers
// left from a longer line get reused.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "key_value_reference.hpp"
#include "reference.hpp"
#include "zendral/key_value.hpp"
#include "zendral/markdown.hpp"

namespace {

using zendral::LineList;
using zendral::fuzz::fail;

constexpr std::size_t kMinLine = 64 * 1024;
constexpr std::size_t kLengthStep = 32;  // 2 MiB of lengths over the 16 bits of bytes 1 and 2

std::string tiled(std::string_view pieces, char separator, std::size_t length) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0; start <= pieces.size();) {
        std::size_t end = pieces.find(separator, start);
        if (end == std::string_view::npos) end = pieces.size();
        if (end > start + 1) parts.push_back(pieces.substr(start, end - start));
        start = end + 1;
    }
    std::string line;
    line.reserve(length + 8 * 64);
    while (!parts.empty() && line.size() < length) {
        for (const std::string_view part : parts) {
            for (unsigned repeat = 1 + static_cast<unsigned char>(part[0]) % 8; repeat > 0; --repeat) {
                line += part.substr(1);
            }
        }
    }
    return line;
}

// For reports: the lines' lengths and first bytes, not megabytes of them.
std::string summary(const LineList& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += "[" + std::to_string(line.size()) + " bytes: " + line.substr(0, 48) + "...]";
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) return -1;
    const std::string_view input = zendral::fuzz::as_text(data, size);
    const std::size_t length = kMinLine + (std::size_t{data[1]} << 8 | data[2]) * kLengthStep;
    const std::string line = tiled(input.substr(4), input[3], length);
    if (line.size() < kMinLine) return -1;

    static const char* const prefixes[] = {"", "# ", "- ", "<h", "###### ", "`", "**", "- _"};
    const unsigned shape = data[0];
    LineList markdown{prefixes[shape % 8] + line};
    if (shape & 8) {
        markdown.push_back("- short *line*");
        markdown.push_back(prefixes[(shape >> 4) % 8] + line.substr(0, line.size() / 2));
        markdown.push_back(prefixes[(shape >> 5) % 8] + line.substr(0, line.size() / 4));
    }

    const LineList html = zendral::md_to_html(markdown);
    const LineList want = zendral::reference::md_to_html(markdown, zendral::reference::render_inline_spans_any_length);
    if (html != want) fail("md_to_html differs from the reference", summary(markdown), summary(html), summary(want));
    const std::vector<std::string_view> views(markdown.begin(), markdown.end());
    LineList streamed;
    zendral::md_to_html(views, [&](std::string_view out) { streamed.emplace_back(out); });
    if (streamed != want) {
        fail("md_to_html's streaming form differs from the reference", summary(markdown), summary(streamed),
             summary(want));
    }

    zendral::fuzz::require_equal("line_csv_to_json on a long line", line.substr(0, 64),
                                 zendral::line_csv_to_json(line),
                                 zendral::fuzz::reference::line_csv_to_json(line));
    return 0;
}
