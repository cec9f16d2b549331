// key=value lines the plainest way: split into fields, cut each at its first
// "=", glue the pieces together. No views, no sizing pass, no memchr: nothing
// shared with the library but the rules, so the fuzzer compares two ways of
// doing it.
#pragma once

#include <string>
#include <vector>

#include "zendral/line_list.hpp"

namespace zendral::fuzz::reference {

inline std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

inline std::string line_csv_to_json(const std::string& line) {
    std::string object = "{";
    for (const std::string& field : split(line, ',')) {
        const std::size_t eq = field.find('=');
        if (eq == std::string::npos) continue;
        if (object != "{") object += ", ";
        object += "\"" + field.substr(0, eq) + "\": \"" + field.substr(eq + 1) + "\"";
    }
    return object + "}";
}

// A file's bytes as lines: each LF ends one, and bytes after the last LF form
// a final line.
inline LineList file_lines(const std::string& bytes) {
    LineList lines = split(bytes, '\n');
    if (lines.back().empty()) lines.pop_back();  // nothing after the last LF (or no bytes)
    return lines;
}

}  // namespace zendral::fuzz::reference
