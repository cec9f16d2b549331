// md_to_html with escape set, on any document (see split_lines): it must be
// the step-by-step reference run on the HTML-escaped lines, hold no markup
// but the converter's own tags and the four entities, and come out the same
// from MarkdownStream fed the lines in blocks of 0 to 3 lines (the sizes
// cycle, so lists meet every kind of cut) and from the streaming form.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = zendral::fuzz::as_text(data, size);
    const LineList lines = zendral::fuzz::split_lines(input);
    const zendral::MarkdownOptions escape{true};
    const LineList html = zendral::md_to_html(lines, escape);
    const LineList want = zendral::reference::md_to_html(zendral::reference::html_escaped(lines),
                                                         zendral::reference::render_inline_spans_any_length);
    if (html != want) fail("escaped md_to_html differs from the reference on escaped lines", input, listed(html), listed(want));
    for (const std::string& line : html) {
        const std::string wrong = zendral::reference::markup_not_made_by_the_converter(line);
        if (!wrong.empty()) fail("escaped output holds markup the converter did not make", input, line, wrong);
    }

    const std::vector<std::string_view> views(lines.begin(), lines.end());
    LineList streamed;
    const auto sink = [&](std::string_view line) { streamed.emplace_back(line); };
    static zendral::MarkdownStream stream(escape);  // reused: each input starts after a finish()
    std::size_t block = size % 4;
    for (std::size_t at = 0; at < views.size(); block = (block + 1) % 4) {
        const std::size_t count = std::min(block, views.size() - at);
        stream.feed(zendral::LineViews(views.data() + at, count), sink);
        at += count;
    }
    stream.finish(sink);
    if (streamed != html) fail("MarkdownStream differs from md_to_html", input, listed(streamed), listed(html));
    streamed.clear();
    zendral::md_to_html(views, sink, escape);
    if (streamed != html) fail("md_to_html's two escaped forms differ", input, listed(streamed), listed(html));
    return 0;
}
