// The streaming forms against the LineList forms: the same lines out, in the
// same order, whatever the input; and a sink's exception ends the call.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "random_text.hpp"
#include "temp_dir.hpp"
#include "zendral/key_value.hpp"
#include "zendral/markdown.hpp"

namespace {

using zendral::LineList;
using zendral::LineSink;
using zendral::LineViews;

// Runs a streaming form on views of `lines` and collects what reaches the sink.
LineList streamed(const LineList& lines, void (*convert)(LineViews, LineSink)) {
    const std::vector<std::string_view> views(lines.begin(), lines.end());
    LineList out;
    convert(views, [&](std::string_view line) { out.emplace_back(line); });
    return out;
}

// A line of at least `bytes` tiled from random short lines: long enough that
// md_to_html's list form hands the inline pass's buffer over as the line.
std::string long_line(std::mt19937& random, std::size_t bytes) {
    std::string line;
    while (line.size() < bytes) line += zendral::testing::random_markdown_line(random, 40);
    return line;
}

TEST(Streaming, MarkdownGivesTheListFormsLines) {
    std::mt19937 random(1207);
    const std::string_view prefixes[] = {"", "# ", "- ", "<h"};
    for (int i = 0; i < 2000; ++i) {
        LineList markdown = zendral::testing::random_markdown_document(random, 12);
        if (i % 50 == 0) {
            markdown.insert(markdown.begin() + static_cast<std::ptrdiff_t>(random() % (markdown.size() + 1)),
                            std::string(prefixes[random() % 4]) + long_line(random, 70000));
        }
        ASSERT_EQ(streamed(markdown, zendral::md_to_html), zendral::md_to_html(markdown))
            << "document: " << testing::PrintToString(markdown);
    }
}

std::string random_key_value_line(std::mt19937& random) {
    static const std::string pieces[] = {"=", "=", ",", ",", "k", "value", "\xC3\xA9", "\xFF", "\r", "\n",
                                         std::string(1, '\0'), " ", "\"", "\\", "0123456789abcdefghij"};
    std::string line;
    const std::size_t target = random() % 400;
    while (line.size() < target) line += pieces[random() % std::size(pieces)];
    return line;
}

TEST(Streaming, KeyValueLinesGiveTheListFormsLines) {
    std::mt19937 random(71207);
    for (int i = 0; i < 500; ++i) {
        LineList lines(random() % 20);
        for (std::string& line : lines) line = random_key_value_line(random);
        ASSERT_EQ(streamed(lines, zendral::csv_lines_to_json), zendral::csv_lines_to_json(lines))
            << "lines: " << testing::PrintToString(lines);
    }
}

TEST(Streaming, KeyValueFileGivesTheListFormsLines) {
    std::mt19937 random(171207);
    zendral::testing::TempDir dir;
    for (int i = 0; i < 50; ++i) {
        std::string bytes;
        for (std::size_t lines = random() % 400; lines > 0; --lines) bytes += random_key_value_line(random) + "\n";
        const std::string path = dir.write("data.csv", bytes);
        LineList objects;
        zendral::csv_file_to_json(path, [&](std::string_view object) { objects.emplace_back(object); });
        ASSERT_EQ(objects, zendral::csv_file_to_json(path)) << "file: " << testing::PrintToString(bytes);
    }
}

// A sink that throws on its third line: nothing more reaches it, the
// exception comes out as it was thrown, and no file is left open.
TEST(Streaming, ASinksExceptionEndsTheCall) {
    zendral::testing::TempDir dir;
    const std::string path = dir.write("data.csv", "a=1\nb=2\nc=3\nd=4\n");
    const LineList lines = {"a=1", "- b", "- c", "d", "e"};
    const std::vector<std::string_view> views(lines.begin(), lines.end());
    const std::function<void(LineSink)> calls[] = {
        [&](LineSink sink) { zendral::md_to_html(views, sink); },
        [&](LineSink sink) { zendral::csv_lines_to_json(views, sink); },
        [&](LineSink sink) { zendral::csv_file_to_json(path, sink); },
    };
    const int open_files = zendral::testing::count_open_fds();
    for (const auto& call : calls) {
        int seen = 0;
        const auto sink = [&](std::string_view) {
            if (++seen == 3) throw std::out_of_range("enough");
        };
        EXPECT_THROW(call(sink), std::out_of_range);
        EXPECT_EQ(seen, 3);
    }
    EXPECT_EQ(zendral::testing::count_open_fds(), open_files);
}

}  // namespace
