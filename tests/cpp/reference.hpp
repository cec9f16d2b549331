// Straightforward references for differential tests: the inline pass as the
// five ECMAScript regular-expression substitutions that define it (slow and
// recursive, so for short lines only), the same pass for lines of any length,
// and the Markdown line rules written step by step on top of either; for the
// escape options, HTML escaping of a line, and a strict reader of the JSON
// object texts that escaped key=value lines give.
#pragma once

#include <algorithm>
#include <cctype>
#include <optional>
#include <regex>
#include <string>
#include <utility>
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

inline std::string html_escaped(const std::string& line) {
    std::string out;
    for (const char c : line) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

inline LineList html_escaped(const LineList& lines) {
    LineList out;
    for (const std::string& line : lines) out.push_back(html_escaped(line));
    return out;
}

// What escaped Markdown output may hold: with the converter's own tags taken
// out, no "<", ">" or '"' is left, and every "&" starts one of the four
// entities. Empty when it does, else what is wrong.
inline std::string markup_not_made_by_the_converter(const std::string& html) {
    static const std::regex tags("</?(h[1-6]|ul|li|p|strong|em|code)>");
    const std::string text = std::regex_replace(html, tags, "");
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '<' || text[at] == '>' || text[at] == '"') return "a raw " + text.substr(at, 1);
        if (text[at] != '&') continue;
        static const std::string entities[] = {"&amp;", "&lt;", "&gt;", "&quot;"};
        const bool entity = std::any_of(std::begin(entities), std::end(entities),
                                        [&](const std::string& name) { return text.compare(at, name.size(), name) == 0; });
        if (!entity) return "an & that starts no entity: " + text.substr(at, 8);
    }
    return "";
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

// The pairs of a key=value line, in order: each field with "=", cut at its first.
inline Pairs key_value_pairs(const std::string& line) {
    Pairs pairs;
    for (std::size_t start = 0;;) {
        const std::size_t end = std::min(line.find(',', start), line.size());
        const std::string field = line.substr(start, end - start);
        const std::size_t eq = field.find('=');
        if (eq != std::string::npos) pairs.emplace_back(field.substr(0, eq), field.substr(eq + 1));
        if (end == line.size()) return pairs;
        start = end + 1;
    }
}

// Reads `{"k": "v", ...}` as the escaped converter writes it, strictly: a
// string holds no raw '"', '\\' or byte below 0x20, and only JSON's escapes
// (\u for a byte below 0x100 here). Bytes from 0x7F up are taken as they are
// (UTF-8 validity is not this reader's concern). Nothing, if the text is not
// such an object.
inline std::optional<Pairs> read_json_object(const std::string& text) {
    std::size_t at = 0;
    const auto take = [&](const std::string& expected) {
        if (text.compare(at, expected.size(), expected) != 0) return false;
        at += expected.size();
        return true;
    };
    const auto string = [&](std::string& out) {
        if (!take("\"")) return false;
        while (at < text.size()) {
            const auto byte = static_cast<unsigned char>(text[at++]);
            if (byte == '"') return true;
            if (byte < 0x20) return false;
            if (byte != '\\') {
                out += static_cast<char>(byte);
                continue;
            }
            if (at >= text.size()) return false;
            const char escape = text[at++];
            const std::string simple = "\"\\/bfnrt", meaning = "\"\\/\b\f\n\r\t";
            if (const std::size_t k = simple.find(escape); k != std::string::npos && escape != '\0') {
                out += meaning[k];
            } else if (escape == 'u' && at + 4 <= text.size() && text.compare(at, 2, "00") == 0 &&
                       std::isxdigit(static_cast<unsigned char>(text[at + 2])) &&
                       std::isxdigit(static_cast<unsigned char>(text[at + 3]))) {
                out += static_cast<char>(std::stoi(text.substr(at + 2, 2), nullptr, 16));
                at += 4;
            } else {
                return false;
            }
        }
        return false;
    };
    Pairs pairs;
    if (!take("{")) return std::nullopt;
    if (take("}")) return at == text.size() ? std::optional<Pairs>(pairs) : std::nullopt;
    do {
        std::string key, value;
        if (!string(key) || !take(": ") || !string(value)) return std::nullopt;
        pairs.emplace_back(std::move(key), std::move(value));
    } while (take(", "));
    if (!take("}") || at != text.size()) return std::nullopt;
    return pairs;
}

}  // namespace zendral::reference
