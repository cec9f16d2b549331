// A C++ program using zendral as a library; check.cmake builds it.
#include <iostream>

#include "zendral/document.hpp"
#include "zendral/key_value.hpp"
#include "zendral/markdown.hpp"

int main() {
    for (const std::string& line : zendral::md_to_html({"# Hi", "- **x**"})) std::cout << line << '\n';
    std::cout << zendral::line_csv_to_json("a=1,b") << '\n';
    // The options and the stream, from the installed headers and library.
    zendral::MarkdownStream stream({true});
    const std::string_view lines[] = {"- <b>"};
    const auto print = [](std::string_view line) { std::cout << line << '\n'; };
    stream.feed(zendral::LineViews(lines, 1), print);
    stream.finish(print);
    std::cout << zendral::line_csv_to_json("q=\"", {true}) << '\n';
    // The block engine: a whole document in, its lines out, each with LF.
    zendral::ByteBuffer html;
    zendral::DocumentOptions escaped;
    escaped.escape = true;
    zendral::convert_document("# A & B\n- x", zendral::DocumentKind::markdown, escaped, html);
    std::cout << html.view();
}
