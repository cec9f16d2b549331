// The block engine against the list forms: the same bytes whatever the
// block size, the line whose output is not UTF-8 named, the source read
// before the target is touched, pages, and the caller's hooks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "random_text.hpp"
#include "temp_dir.hpp"
#include "zendral/document.hpp"
#include "zendral/key_value.hpp"
#include "zendral/markdown.hpp"
#include "zendral/utf8.hpp"

namespace {

using zendral::DocumentFile;
using zendral::DocumentKind;
using zendral::DocumentOptions;
using zendral::LineList;

struct Collect final : zendral::DocumentSink {
    std::string bytes;
    void write(std::string_view lines) override { bytes += lines; }
};

// Lines as a file holds them: LF ends a line, the last needs none.
LineList split(const std::string& bytes) {
    LineList lines;
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(bytes.substr(start, end - start));
    }
    if (start < bytes.size()) lines.push_back(bytes.substr(start));
    return lines;
}

LineList list_form(DocumentKind kind, const LineList& lines, bool escape) {
    return kind == DocumentKind::markdown ? zendral::md_to_html(lines, {escape})
                                          : zendral::csv_lines_to_json(lines, {escape});
}

// The list form's lines each followed by LF; or the number of the first line
// whose own output is not UTF-8.
std::string expected(DocumentKind kind, const std::string& bytes, bool escape, std::uint64_t& bad_line) {
    const LineList lines = split(bytes);
    bad_line = 0;
    for (std::size_t i = 0; i < lines.size() && !bad_line; ++i) {
        for (const std::string& out : list_form(kind, {lines[i]}, escape)) {
            if (!zendral::utf8::is_valid(out)) bad_line = i + 1;
        }
    }
    std::string joined;
    for (const std::string& line : list_form(kind, lines, escape)) joined += line + "\n";
    return joined;
}

std::string random_document(std::mt19937& random, DocumentKind kind) {
    static const std::string pairs[] = {"k=v", ",", "a=", "=", "\"", "\\", "\xC3\xA9", "\xFF", "\r", "x"};
    std::string bytes;
    for (std::size_t lines = random() % 12; lines > 0; --lines) {
        if (kind == DocumentKind::markdown) {
            bytes += zendral::testing::random_markdown_line(random, 30);
        } else {
            for (std::size_t pieces = random() % 8; pieces > 0; --pieces) bytes += pairs[random() % std::size(pairs)];
        }
        if (random() % 8) bytes += '\n';
    }
    return bytes;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// File to file on three threads at `block`: the bytes, the counts and the
// error of one thread; a failed run leaves whole lines before the bad one. A
// page, in a few blocks, as one thread makes it.
void check_threads(const std::string& path, const std::string& out, DocumentKind kind, bool escape,
                   std::size_t block, const std::string& want, std::uint64_t bad_line) {
    DocumentOptions options{escape};
    options.threads = 3;
    const auto run = [&] {
        return zendral::convert_file(DocumentFile::path(path), DocumentFile::path(out), kind, options, nullptr, block);
    };
    try {
        const auto counts = run();
        ASSERT_EQ(bad_line, 0u);
        ASSERT_EQ(read_file(out), want) << "block " << block;
        ASSERT_EQ(counts.input_bytes, static_cast<std::uint64_t>(read_file(path).size()));
        ASSERT_EQ(counts.output_bytes, want.size());
    } catch (const zendral::NotUtf8Error& error) {
        ASSERT_EQ(error.line(), bad_line) << "block " << block;
        const std::string written = read_file(out);
        ASSERT_EQ(want.compare(0, written.size(), written), 0) << "block " << block;
        ASSERT_TRUE(written.empty() || written.back() == '\n');
        if (kind == DocumentKind::key_value) {
            ASSERT_LT(std::count(written.begin(), written.end(), '\n'), static_cast<long>(bad_line));
        }
        return;
    }
    if (kind != DocumentKind::markdown || block > 3) return;
    options.page = true;
    options.threads = 1;
    run();
    const std::string one = read_file(out);
    options.threads = 3;
    run();
    ASSERT_EQ(read_file(out), one) << "page, block " << block;
}

// Every document at every block size from 1 to its length and beyond: every
// cut a read can make. In memory too, where nothing is checked.
TEST(Document, BlocksOfAnySizeGiveTheListFormsBytes) {
    std::mt19937 random(3107);
    zendral::testing::TempDir dir;
    for (int i = 0; i < 300; ++i) {
        for (const DocumentKind kind : {DocumentKind::markdown, DocumentKind::key_value}) {
            const std::string bytes = random_document(random, kind);
            const std::string path = dir.write("in", bytes);
            for (const bool escape : {false, true}) {
                std::uint64_t bad_line = 0;
                const std::string want = expected(kind, bytes, escape, bad_line);
                zendral::ByteBuffer whole;
                zendral::convert_document(bytes, kind, {escape}, whole);
                ASSERT_EQ(whole.view(), want) << testing::PrintToString(bytes);
                for (std::size_t block = 1; block <= bytes.size() + 1; ++block) {
                    Collect sink;
                    try {
                        const auto counts = zendral::convert_file(DocumentFile::path(path), sink, kind, {escape}, nullptr, block);
                        ASSERT_EQ(bad_line, 0u) << testing::PrintToString(bytes);
                        ASSERT_EQ(sink.bytes, want) << "block " << block << ": " << testing::PrintToString(bytes);
                        ASSERT_EQ(counts.input_bytes, bytes.size());
                        ASSERT_EQ(counts.output_bytes, want.size());
                    } catch (const zendral::NotUtf8Error& error) {
                        ASSERT_EQ(error.line(), bad_line) << "block " << block << ": " << testing::PrintToString(bytes);
                        ASSERT_FALSE(zendral::utf8::is_valid(error.output()));
                    }
                    if (block <= 16 || block % 16 == 0) {  // on threads, each with a block of its own
                        check_threads(path, dir.path() + "/out", kind, escape, block, want, bad_line);
                    }
                }
            }
        }
    }
}

TEST(Document, TheSourceIsReadBeforeTheTargetIsTouched) {
    zendral::testing::TempDir dir;
    const std::string source = dir.write("in", "a=1\n");
    const std::string target = dir.write("out", "kept");
    struct Case {
        std::string source;
        int error;  // 0: the same file, std::invalid_argument
    } cases[] = {{dir.path(), EISDIR}, {dir.path() + "/missing", ENOENT}, {source, 0}, {"/proc/self/mem", EIO}};
    for (const Case& c : cases) {
        if (::access(c.source.c_str(), F_OK) != 0 && c.error != ENOENT) continue;
        const DocumentFile to = DocumentFile::path(c.error ? target : source);
        try {
            zendral::convert_file(DocumentFile::path(c.source), to, DocumentKind::key_value, {});
            ADD_FAILURE() << c.source << " converted";
        } catch (const zendral::FileError& error) {
            EXPECT_EQ(error.side(), zendral::FileSide::source) << c.source;
            EXPECT_EQ(error.code().value(), c.error) << c.source;
        } catch (const std::invalid_argument&) {
            EXPECT_EQ(c.error, 0) << c.source;
        }
    }
    struct stat status;
    ASSERT_EQ(::stat(target.c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 4);  // "kept"
    ASSERT_EQ(::stat(source.c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 4);  // "a=1\n"
}

// The page's title line for a document, by where its heading stands and
// what the options give.
TEST(Document, PageTitles) {
    zendral::testing::TempDir dir;
    const std::string late(5000, 'x');
    struct Case {
        std::string bytes;
        std::optional<std::string> title;
        std::string name;       // the source file's name
        std::string want;       // the title line, from a regular file
        std::string from_pipe;  // the title line, from a pipe (block 64)
    } cases[] = {
        {"# A & <b> \"q\"\n- x\n", std::nullopt, "n.md", "<title>A &amp; &lt;b&gt; &quot;q&quot;</title>",
         "<title>A &amp; &lt;b&gt; &quot;q&quot;</title>"},
        {"####### no\n#no\ntext\n## *Two*", std::nullopt, "n.md", "<title>*Two*</title>", "<title>*Two*</title>"},
        {late + "\n# Late\n", std::string("Given"), "n.md", "<title>Late</title>", "<title>Given</title>"},
        {late + "\n# Late\n", std::nullopt, "bad\xFF<.md", "<title>Late</title>", "<title>Untitled</title>"},
        {"text\n", std::nullopt, "bad\xFF<.md", "<title>bad\xEF\xBF\xBD&lt;.md</title>", "<title>Untitled</title>"},
    };
    for (const Case& c : cases) {
        DocumentOptions options;
        options.page = true;
        options.title = c.title;
        const std::string path = dir.write(c.name, c.bytes);
        Collect from_file;
        zendral::convert_file(DocumentFile::path(path), from_file, DocumentKind::markdown, options, nullptr, 64);
        EXPECT_EQ(split(from_file.bytes)[4], c.want) << testing::PrintToString(c.bytes);
        int pipe_ends[2];
        ASSERT_EQ(::pipe(pipe_ends), 0);
        const pid_t writer = ::fork();
        if (writer == 0) {
            std::string rest = c.bytes;  // a writer process, so a pipe of any size fills
            while (!rest.empty()) rest.erase(0, static_cast<std::size_t>(::write(pipe_ends[1], rest.data(), rest.size())));
            ::_exit(0);
        }
        ::close(pipe_ends[1]);
        Collect from_pipe;
        zendral::convert_file(DocumentFile::descriptor(pipe_ends[0]), from_pipe, DocumentKind::markdown, options, nullptr, 64);
        ::close(pipe_ends[0]);
        ::waitpid(writer, nullptr, 0);
        EXPECT_EQ(split(from_pipe.bytes)[4], c.from_pipe) << testing::PrintToString(c.bytes);
        // Between the head's seven lines and the end's two, the conversion's own lines.
        const LineList out = split(from_file.bytes);
        EXPECT_EQ(LineList(out.begin() + 7, out.end() - 2), zendral::md_to_html(split(c.bytes)));
        EXPECT_EQ(LineList(out.end() - 2, out.end()), (LineList{"</body>", "</html>"}));
    }
}

// A checkpoint that throws ends the run between blocks; every work_begins()
// is matched by a work_ends().
TEST(Document, HooksBracketTheWorkAndMayStopIt) {
    struct Counting final : zendral::DocumentHooks {
        int begun = 0, ended = 0, checkpoints = 0, stop_at = 0;
        void work_begins() override { ++begun; }
        void work_ends() noexcept override { ++ended; }
        void checkpoint() override {
            if (++checkpoints == stop_at) throw std::out_of_range("stop");
        }
    };
    zendral::testing::TempDir dir;
    std::string bytes;
    for (int i = 0; i < 100; ++i) bytes += "- item " + std::to_string(i) + "\n";
    const std::string path = dir.write("in", bytes);
    for (const int stop_at : {0, 1, 3}) {
        Counting hooks;
        hooks.stop_at = stop_at;
        Collect sink;
        if (stop_at) {
            EXPECT_THROW(zendral::convert_file(DocumentFile::path(path), sink, DocumentKind::markdown, {}, &hooks, 100),
                         std::out_of_range);
            EXPECT_EQ(hooks.checkpoints, stop_at);
        } else {
            zendral::convert_file(DocumentFile::path(path), sink, DocumentKind::markdown, {}, &hooks, 100);
            EXPECT_GT(hooks.checkpoints, 10);  // one per block of 100 bytes at least
        }
        EXPECT_EQ(hooks.begun, hooks.ended);
    }
}

// UTF-8 as the strict decoder reads it, a code point at a time: the
// reference for utf8::measure and utf8::ascii_run.
bool reference_utf8(std::string_view text, std::size_t& count, std::uint32_t& widest) {
    count = 0;
    widest = 0;
    for (std::size_t i = 0; i < text.size(); ++count) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >> 5 == 6 ? 2 : lead >> 4 == 14 ? 3 : lead >> 3 == 30 ? 4 : 0;
        if (!length || i + length > text.size()) return false;
        std::uint32_t c = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if (next >> 6 != 2) return false;
            c = c << 6 | (next & 0x3Fu);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < least[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return false;
        widest = c > 0x7F && c > widest ? c : widest;
        i += length;
    }
    return true;
}

TEST(Document, Utf8AgreesWithTheStrictDecoder) {
    std::mt19937 random(808);
    const std::string pieces[] = {"a", "abcdefgh", "0123456789abcdef", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                  "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\xFF", "\x80"};
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        for (std::size_t n = random() % 8; n > 0; --n) text += pieces[random() % std::size(pieces)];
        std::size_t count = 0, want_count = 0;
        std::uint32_t widest = 0, want_widest = 0;
        const bool valid = reference_utf8(text, want_count, want_widest);
        ASSERT_EQ(zendral::utf8::measure(text, count, widest), valid) << testing::PrintToString(text);
        if (valid) {
            ASSERT_EQ(count, want_count) << testing::PrintToString(text);
            ASSERT_EQ(widest, want_widest) << testing::PrintToString(text);
        }
        const std::size_t ascii = std::min(text.size(), text.find_first_of(std::string("\x80\x81\x82\x83\x88\x90\x98\x9F"
                                                                                        "\xA0\xA9\xAC\xC0\xC3\xE2\xED\xF0\xF4\xFF")));
        std::string copy(text.size(), '\0');
        const auto* p = reinterpret_cast<const unsigned char*>(text.data());
        ASSERT_EQ(zendral::utf8::ascii_run<true>(p, 0, text.size(), copy.data()), ascii) << testing::PrintToString(text);
        ASSERT_EQ(copy.substr(0, ascii), text.substr(0, ascii));
    }
}

}  // namespace
