// Benchmark inputs: real Markdown text found on the machine at run time, and
// a generated application log of key=value lines.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "zendral/line_list.hpp"

namespace zendral::bench {

// Every *.md and *.markdown file under $ZENDRAL_BENCH_MARKDOWN_ROOT (default:
// the system's documentation folder), in path order, joined into one text.
inline std::string markdown_corpus() {
    namespace fs = std::filesystem;
    const char* root = std::getenv("ZENDRAL_BENCH_MARKDOWN_ROOT");
    const fs::path base = root && *root ? root : "/usr/share/doc";
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(base, error), end; !error && it != end; it.increment(error)) {
        const std::string extension = it->path().extension().string();
        if ((extension == ".md" || extension == ".markdown") && it->is_regular_file(error)) {
            files.push_back(it->path());
        }
    }
    std::sort(files.begin(), files.end());
    std::string text;
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        text += content.str();
        if (!text.empty() && text.back() != '\n') text += '\n';
    }
    return text;
}

// Lines end at LF; a final LF adds no empty line.
inline LineList split_lines(std::string_view text) {
    LineList lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

inline std::size_t text_bytes(const LineList& lines) {
    std::size_t bytes = 0;
    for (const std::string& line : lines) bytes += line.size() + 1;
    return bytes;
}

// Lines shaped like a web service's log, deterministic for a given count.
inline LineList application_log(std::size_t count) {
    static const char* const levels[] = {"info", "info", "info", "warn", "error", "debug"};
    static const char* const paths[] = {"/api/items", "/api/items?page=2&sort=name", "/api/search",
                                        "/login", "/static/app.js", "/api/export"};
    static const char* const messages[] = {"request served", "slow upstream", "cache miss",
                                           "upstream timeout", "user signed in"};
    static const int statuses[] = {200, 200, 200, 201, 304, 404, 500, 504};
    std::mt19937 random(42);
    const auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    LineList lines;
    lines.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::string line = "ts=2026-12-07T09:" + std::to_string(10 + i / 60000 % 50) + ":" +
                           std::to_string(10 + i / 1000 % 50) + "." + std::to_string(100 + i % 900) + "Z";
        line += ",level=";
        line += levels[pick(std::size(levels))];
        line += ",host=web-" + std::to_string(1 + pick(12));
        line += ",msg=";
        line += messages[pick(std::size(messages))];
        line += ",path=";
        line += paths[pick(std::size(paths))];
        line += ",status=" + std::to_string(statuses[pick(std::size(statuses))]);
        line += ",bytes=" + std::to_string(pick(100000));
        if (pick(10) == 0) line += ",latency_ms=" + std::to_string(pick(5000));
        lines.push_back(std::move(line));
    }
    return lines;
}

// `piece` repeated to exactly `bytes` bytes (the last copy cut short).
inline std::string repeat_to(std::string_view piece, std::size_t bytes) {
    std::string line;
    line.reserve(bytes + piece.size());
    while (line.size() < bytes) line += piece;
    line.resize(bytes);
    return line;
}

// The inputs every benchmark shares, made once per process: the docs as one
// text and as lines, and the 200,000-line log (a million lines below).
inline const std::string& docs_text() {
    static const std::string text = markdown_corpus();
    return text;
}

inline const LineList& docs_lines() {
    static const LineList lines = split_lines(docs_text());
    return lines;
}

inline const LineList& log_lines() {
    static const LineList lines = application_log(200000);
    return lines;
}

// The same log at a million lines (107 MB), the size the command is timed on.
inline const LineList& million_log_lines() {
    static const LineList lines = application_log(1000000);
    return lines;
}

// The log with every message in double quotes: each line has bytes for the
// escaping converter to escape.
inline const LineList& quoted_log_lines() {
    static const LineList lines = [] {
        LineList quoted = log_lines();
        for (std::string& line : quoted) {
            const std::size_t msg = line.find(",msg=") + 5;
            line.insert(line.find(",path="), "\"");
            line.insert(msg, "\"");
        }
        return quoted;
    }();
    return lines;
}

}  // namespace zendral::bench
