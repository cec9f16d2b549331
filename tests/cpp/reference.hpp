// Straightforward references for differential tests: the inline pass as the
// five ECMAScript regular-expression substitutions that define it (slow and
// recursive, so for short lines only), the same pass for lines of any length,
// and the Markdown line rules written step by step on top of either.
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

// The same five substitutions for lines of any length, without a matching
// engine: each rule is tried at every position left to right, and what it
// needs to know there (where the next delimiter run, delimiter byte and line
// break are) is looked up in tables built right to left beforehand, so that
// every position costs constant time. Shares nothing with the library's
// scanners but the rules.
inline std::string render_inline_spans_any_length(std::string line) {
    struct Rule {
        std::string delimiter;
        bool lazy_within_line;  // (.*?) rather than ([^d]+)
        std::string open, close;
    };
    static const Rule rules[] = {
        {"**", true, "<strong>", "</strong>"}, {"__", false, "<strong>", "</strong>"},
        {"*", true, "<em>", "</em>"},          {"_", false, "<em>", "</em>"},
        {"`", false, "<code>", "</code>"},
    };
    for (const Rule& rule : rules) {
        const std::size_t n = line.size();
        const std::size_t width = rule.delimiter.size();
        const auto delimiter_at = [&](std::size_t i) { return line.compare(i, width, rule.delimiter) == 0; };
        std::vector<std::size_t> next_delimiter(n + 1, n), next_byte(n + 1, n), next_break(n + 1, n);
        for (std::size_t i = n; i-- > 0;) {
            next_delimiter[i] = delimiter_at(i) ? i : next_delimiter[i + 1];
            next_byte[i] = line[i] == rule.delimiter[0] ? i : next_byte[i + 1];
            next_break[i] = line[i] == '\n' || line[i] == '\r' ? i : next_break[i + 1];
        }
        std::string out;
        std::size_t copied = 0;
        for (std::size_t i = 0; i < n;) {
            if (!delimiter_at(i)) {
                ++i;
                continue;
            }
            const std::size_t content = i + width;
            std::size_t close = n;
            if (rule.lazy_within_line) {
                if (next_delimiter[content] < next_break[content]) close = next_delimiter[content];
            } else if (content < n && next_byte[content] > content && next_byte[content] < n &&
                       delimiter_at(next_byte[content])) {
                close = next_byte[content];
            }
            if (close == n) {
                ++i;
                continue;
            }
            out += line.substr(copied, i - copied) + rule.open + line.substr(content, close - content) + rule.close;
            i = copied = close + width;
        }
        line = out + line.substr(copied);
    }
    return line;
}

// The block rules step by step on top of an inline pass: by default the
// regular expressions (short lines only), or the any-length one.
inline LineList md_to_html(const LineList& lines,
                           std::string (*inline_pass)(std::string) = render_inline_spans) {
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
        working = inline_pass(working);
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
