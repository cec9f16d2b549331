// Random Markdown-ish text for differential tests: short lines drawn from
// pieces that exercise every rule (delimiters, line breaks, NUL, "$1",
// multi-byte UTF-8, block prefixes, raw markup).
#pragma once

#include <random>
#include <string>

#include "zendral/line_list.hpp"

namespace zendral::testing {

inline std::string random_markdown_line(std::mt19937& random, std::size_t max_bytes) {
    static const std::string pieces[] = {
        "*", "*", "*", "**", "_", "_", "__", "`", "`", "a", "b", "xy", " ", " ",
        "\n", "\r", std::string(1, '\0'), "$1", "$&", "\xC3\xA9", "\xE2\x82\xAC",
        "\xE2\x80\xA8", "\xFF", "#", "# ", "## ", "###### ", "- ", "-", "<", "<h", "<p>",
        "<code>", "<li>", "</ul>", ">", "&", "\"", "&amp;",
    };
    std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
    std::uniform_int_distribution<std::size_t> length(0, max_bytes);
    const std::size_t target = length(random) % (random() % 4 == 0 ? max_bytes + 1 : 24);
    std::string line;
    while (line.size() < target) line += pieces[pick(random)];
    if (line.size() > max_bytes) line.resize(max_bytes);
    return line;
}

inline LineList random_markdown_document(std::mt19937& random, std::size_t max_lines) {
    LineList lines(std::uniform_int_distribution<std::size_t>(0, max_lines)(random));
    for (std::string& line : lines) line = random_markdown_line(random, 80);
    return lines;
}

}  // namespace zendral::testing
