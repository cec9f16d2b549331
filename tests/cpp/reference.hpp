// Straightforward references for differential tests: the inline pass as the
// five ECMAScript regular-expression substitutions that define it, and the
// Markdown line rules written step by step on top of it. Slow and recursive
// (std::regex), so for short lines only.
#pragma once

#include <regex>
#include <string>
#include <vector>

#include "zendral/line_list.hpp"

namespace zendral::reference {

inline std::string render_inline_spans(std::string line) {
    static const std::vector<std::pair<std::regex, std::string>> rules = {
        {std::regex(R"(\*\*(.*?)\*\*)"), "<strong>$1</strong>"},
        {std::regex(R"(__([^_]+)__)"), "<strong>$1</strong>"},
        {std::regex(R"(\*(.*?)\*)"), "<em>$1</em>"},
        {std::regex(R"(_([^_]+)_)"), "<em>$1</em>"},
        {std::regex(R"(`([^`]+)`)"), "<code>$1</code>"},
    };
    for (const auto& [pattern, replacement] : rules) line = std::regex_replace(line, pattern, replacement);
    return line;
}

inline LineList md_to_html(const LineList& lines) {
    LineList out;
    bool in_list = false;
    for (const std::string& line : lines) {
        std::string working = line;
        bool block_done = false;
        for (int level = 1; level <= 6 && !block_done; ++level) {
            const std::string prefix = std::string(static_cast<std::size_t>(level), '#') + " ";
            if (line.compare(0, prefix.size(), prefix) == 0) {
                const std::string tag = "h" + std::to_string(level);
                working = "<" + tag + ">" + line.substr(prefix.size()) + "</" + tag + ">";
                block_done = true;
            }
        }
        if (!block_done && line.compare(0, 2, "- ") == 0) {
            if (!in_list) out.push_back("<ul>");
            in_list = true;
            working = "<li>" + line.substr(2) + "</li>";
        } else if (!block_done && in_list) {
            out.push_back("</ul>");
            in_list = false;
        }
        working = render_inline_spans(working);
        bool exempt = false;
        for (const char* prefix : {"<h", "<ul>", "</ul>", "<li>", "<p>", "<code>"}) {
            exempt = exempt || working.find(prefix) == 0;
        }
        if (!working.empty() && !exempt) working = "<p>" + working + "</p>";
        out.push_back(working);
    }
    if (in_list) out.push_back("</ul>");
    return out;
}

}  // namespace zendral::reference
