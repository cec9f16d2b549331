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
        const zendral::MarkdownOptions escape{true};
        ASSERT_EQ(streamed(markdown, [](LineViews lines, LineSink sink) { zendral::md_to_html(lines, sink, {true}); }),
                  zendral::md_to_html(markdown, escape))
            << "escaped document: " << testing::PrintToString(markdown);
    }
}

// MarkdownStream fed the document in three blocks cut at every pair of line
// boundaries (so every cut, empty blocks included), and one line per block
// with an empty block between: always the list form's lines. One stream
// serves every document of the test, so each starts after a finish().
TEST(Streaming, MarkdownStreamGivesTheListFormsLinesAtEveryCut) {
    std::mt19937 random(2512);
    for (const bool escape : {false, true}) {
        zendral::MarkdownStream stream({escape});
        LineList out;
        const auto sink = [&](std::string_view line) { out.emplace_back(line); };
        for (int i = 0; i < 300; ++i) {
            const LineList markdown = zendral::testing::random_markdown_document(random, 10);
            const LineList whole = zendral::md_to_html(markdown, {escape});
            const std::vector<std::string_view> views(markdown.begin(), markdown.end());
            const std::size_t n = views.size();
            for (std::size_t first = 0; first <= n; ++first) {
                for (std::size_t second = first; second <= n; ++second) {
                    out.clear();
                    stream.feed(LineViews(views.data(), first), sink);
                    stream.feed(LineViews(views.data() + first, second - first), sink);
                    stream.feed(LineViews(views.data() + second, n - second), sink);
                    stream.finish(sink);
                    ASSERT_EQ(out, whole) << "cut at " << first << " and " << second << " of "
                                          << testing::PrintToString(markdown);
                }
            }
            out.clear();
            for (std::size_t line = 0; line < n; ++line) {
                stream.feed(LineViews(views.data() + line, 1), sink);
                stream.feed(LineViews(), sink);
            }
            stream.finish(sink);
            ASSERT_EQ(out, whole) << "line by line: " << testing::PrintToString(markdown);
        }
    }
}

// A sink's exception cuts the document: the stream starts the next one fresh,
// with no list left open from the one cut.
TEST(Streaming, MarkdownStreamIsFreshAfterASinksException) {
    const LineList first = {"- a", "- b"};
    const LineList second = {"- c", "d"};
    const std::vector<std::string_view> first_views(first.begin(), first.end());
    const std::vector<std::string_view> second_views(second.begin(), second.end());
    zendral::MarkdownStream stream;
    stream.feed(LineViews(first_views.data(), 1), [](std::string_view) {});  // a list is open
    EXPECT_THROW(stream.feed(LineViews(first_views.data() + 1, 1), [](std::string_view) {
        throw std::out_of_range("enough");
    }), std::out_of_range);
    LineList out;
    const auto sink = [&](std::string_view line) { out.emplace_back(line); };
    stream.feed(second_views, sink);
    stream.finish(sink);
    EXPECT_EQ(out, zendral::md_to_html(second));
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
        ASSERT_EQ(streamed(lines, [](LineViews views, LineSink sink) { zendral::csv_lines_to_json(views, sink, {true}); }),
                  zendral::csv_lines_to_json(lines, {true}))
            << "escaped lines: " << testing::PrintToString(lines);
    }
}

TEST(Streaming, KeyValueFileGivesTheListFormsLines) {
    std::mt19937 random(171207);
    zendral::testing::TempDir dir;
    for (int i = 0; i < 50; ++i) {
        std::string bytes;
        for (std::size_t lines = random() % 400; lines > 0; --lines) bytes += random_key_value_line(random) + "\n";
        const std::string path = dir.write("data.csv", bytes);
        for (const bool escape : {false, true}) {
            LineList objects;
            zendral::csv_file_to_json(path, [&](std::string_view object) { objects.emplace_back(object); }, {escape});
            ASSERT_EQ(objects, zendral::csv_file_to_json(path, {escape})) << "file: " << testing::PrintToString(bytes);
        }
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
