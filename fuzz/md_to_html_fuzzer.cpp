// md_to_html on any document (see split_lines for how bytes become lines).
// Every document is checked for its shape, line by line: one output line per
// input line in the same order, a "<ul>" line before the first item of each
// run and its "</ul>" after it, before any other "<ul>"; headings and items
// wrapped in their tags around the inline pass of their text. Every document
// must also equal the step-by-step reference with the any-length inline pass
// (short ones the regular-expression reference too), and the streaming form
// must give the list form's lines.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "reference.hpp"
#include "zendral/markdown.hpp"

namespace {

using zendral::LineList;
using zendral::fuzz::fail;
using zendral::fuzz::listed;
using zendral::fuzz::require_equal;

// The regular-expression reference recurses per byte of a span.
constexpr std::size_t kRegexMaxBytes = 512;

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// 1..6 for "#"×level followed by a space, else 0.
std::size_t heading_level(std::string_view line) {
    for (std::size_t level = 1; level <= 6; ++level) {
        if (starts_with(line, std::string(level, '#') + " ")) return level;
    }
    return 0;
}

// For reports only: the lines one after another, each in brackets.
void check_shape(std::string_view input, const LineList& lines, const LineList& html) {
    std::size_t next = 0;  // the output line that the walk expects next
    const auto expect = [&](std::string_view want, const char* what) {
        if (next >= html.size()) fail(what, input, "(output ended)", want);
        require_equal(what, input, html[next], want);
        ++next;
    };
    bool in_list = false;
    for (const std::string& line : lines) {
        if (const std::size_t level = heading_level(line)) {
            const std::string tag = "h" + std::to_string(level);
            expect("<" + tag + ">" + zendral::render_inline_spans(line.substr(level + 1)) + "</" + tag + ">",
                   "a heading line");
        } else if (starts_with(line, "- ")) {
            if (!in_list) expect("<ul>", "the <ul> before a run of items");
            in_list = true;
            expect("<li>" + zendral::render_inline_spans(line.substr(2)) + "</li>", "an item line");
        } else {
            if (in_list) expect("</ul>", "the </ul> after a run of items");
            in_list = false;
            if (next >= html.size()) fail("a plain line", input, "(output ended)", line);
            const std::string inner = zendral::render_inline_spans(line);
            const std::string& got = html[next++];
            if (got != inner && got != "<p>" + inner + "</p>") {
                fail("a plain line is its inline pass, wrapped in <p> or not", input, got, inner);
            }
            if (got.empty() != line.empty()) fail("empty lines stay empty", input, got, line);
        }
    }
    if (in_list) expect("</ul>", "the </ul> closing the last run");
    if (next != html.size()) fail("no output line beyond the document", input, html[next], "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = zendral::fuzz::as_text(data, size);
    const LineList lines = zendral::fuzz::split_lines(input);
    const LineList html = zendral::md_to_html(lines);
    check_shape(input, lines, html);
    const LineList want = zendral::reference::md_to_html(lines, zendral::reference::render_inline_spans_any_length);
    if (html != want) fail("md_to_html differs from the step-by-step reference", input, listed(html), listed(want));
    if (size <= kRegexMaxBytes && zendral::reference::md_to_html(lines) != want) {
        fail("the two references differ", input, listed(want), listed(zendral::reference::md_to_html(lines)));
    }

    const std::vector<std::string_view> views(lines.begin(), lines.end());
    LineList streamed;
    zendral::md_to_html(views, [&](std::string_view line) { streamed.emplace_back(line); });
    if (streamed != html) fail("md_to_html's two forms differ", input, listed(streamed), listed(html));
    return 0;
}
