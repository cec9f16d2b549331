#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "reference.hpp"
#include "temp_dir.hpp"
#include "zendral/key_value.hpp"

namespace {

using zendral::LineList;

struct LineCase {
    std::string line;
    std::string object;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << testing::PrintToString(c.line); }

class LineToObject : public testing::TestWithParam<LineCase> {};

TEST_P(LineToObject, ConvertsByteForByte) {
    EXPECT_EQ(zendral::line_csv_to_json(GetParam().line), GetParam().object);
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, LineToObject, testing::Values(
    LineCase{"a=1,b=2", R"({"a": "1", "b": "2"})"},
    LineCase{"name=Ann", R"({"name": "Ann"})"},
    LineCase{"", "{}"},
    LineCase{"abc", "{}"},
    LineCase{",", "{}"},
    LineCase{"a=1,", R"({"a": "1"})"},
    LineCase{",a=1", R"({"a": "1"})"},
    LineCase{"a=1,,b=2", R"({"a": "1", "b": "2"})"},
    LineCase{"a=1,flag,b=2", R"({"a": "1", "b": "2"})"},
    LineCase{"=", R"({"": ""})"},
    LineCase{"=x", R"({"": "x"})"},
    LineCase{"k=", R"({"k": ""})"},
    LineCase{"a=b=c", R"({"a": "b=c"})"},
    LineCase{"a=1,a=2", R"({"a": "1", "a": "2"})"},
    LineCase{"b=2,a=1", R"({"b": "2", "a": "1"})"},
    LineCase{"k = v", R"({"k ": " v"})"},
    LineCase{"a=1, b=2", R"({"a": "1", " b": "2"})"},
    LineCase{"a=1;b=2", R"({"a": "1;b=2"})"},
    LineCase{R"(q="x")", R"({"q": ""x""})"},
    LineCase{R"(p=C:\dir)", R"({"p": "C:\dir"})"},
    LineCase{"a=1\r", "{\"a\": \"1\r\"}"},
    LineCase{"a=1,b\r", R"({"a": "1"})"}));

INSTANTIATE_TEST_SUITE_P(Bytes, LineToObject, testing::Values(
    // Control bytes, NUL and LF are data; the first "=" decides, even when it
    // is the field's last byte or the line holds only separators.
    LineCase{std::string("k\0=v\0", 5), std::string("{\"k\0\": \"v\0\"}", 12)},
    LineCase{"a=\n,b\n=2", "{\"a\": \"\n\", \"b\n\": \"2\"}"},
    LineCase{",,,,", "{}"},
    LineCase{"==,=", R"({"": "=", "": ""})"},
    LineCase{"x=\xC3\xA9,\xE2\x82\xAC=y", "{\"x\": \"\xC3\xA9\", \"\xE2\x82\xAC\": \"y\"}"},
    LineCase{"a=1,b=2,c=3,d=4", R"({"a": "1", "b": "2", "c": "3", "d": "4"})"}));

// With escape set, keys and values are JSON string contents; the rest of the
// text, and which fields make pairs, are as without.
class EscapedLineToObject : public testing::TestWithParam<LineCase> {};

TEST_P(EscapedLineToObject, WritesJsonStrings) {
    EXPECT_EQ(zendral::line_csv_to_json(GetParam().line, {true}), GetParam().object);
}

INSTANTIATE_TEST_SUITE_P(Cases, EscapedLineToObject, testing::Values(
    LineCase{"a=1,b=2", R"({"a": "1", "b": "2"})"},
    LineCase{"", "{}"},
    LineCase{R"(path=C:\new\folder\table.txt)", R"({"path": "C:\\new\\folder\\table.txt"})"},
    LineCase{R"(q="x",\"k"\=")", R"({"q": "\"x\"", "\\\"k\"\\": "\""})"},
    LineCase{"c=\b\f\n\r\t", R"({"c": "\b\f\n\r\t"})"},
    LineCase{std::string("u=\0\x01\x1A\x1F", 6), R"({"u": "\u0000\u0001\u001a\u001f"})"},
    LineCase{"h=\x20\x7F\x80\xC3\xA9\xFF", "{\"h\": \" \x7F\x80\xC3\xA9\xFF\"}"},
    // Bytes to escape in dropped fields add nothing.
    LineCase{"a=1,\"\\\x01\n,b=\n", R"({"a": "1", "b": "\n"})"},
    LineCase{"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"=\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\x01\\",
             R"({"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"": "\u0001\u0001\u0001\u0001\u0001\u0001\u0001\u0001)"
             R"(\u0001\u0001\u0001\u0001\u0001\u0001\u0001\u0001\u0001\\"})"}));

// Escaped object texts read back as JSON give exactly the line's pairs, in
// order, duplicates kept: lines of every byte value, of many pairs (past
// those the converter remembers from its sweep), and as a list.
TEST(CsvLinesToJson, EscapedObjectsReadBackAsTheLinesPairs) {
    std::mt19937 random(2026);
    LineList lines;
    for (int i = 0; i < 3000; ++i) {
        std::string line(random() % (i % 100 == 0 ? 3000 : 80), '\0');
        for (char& byte : line) byte = static_cast<char>(random() % 4 ? random() % 256 : ",=\"\\"[random() % 4]);
        lines.push_back(line);
    }
    const LineList objects = zendral::csv_lines_to_json(lines, {true});
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(zendral::reference::read_json_object(objects[i]), zendral::reference::key_value_pairs(lines[i]))
            << testing::PrintToString(lines[i]) << " gave " << testing::PrintToString(objects[i]);
    }
}

TEST(CsvLinesToJson, KeepsLengthAndOrder) {
    EXPECT_EQ(zendral::csv_lines_to_json({}), LineList{});
    EXPECT_EQ(zendral::csv_lines_to_json({"a=1", "", "b=2\nc=3"}),
              (LineList{R"({"a": "1"})", "{}", "{\"b\": \"2\nc=3\"}"}));
}

TEST(CsvLinesToJson, LongLineOfManyFields) {
    std::string line, object = "{";
    for (int i = 0; i < 100000; ++i) {
        line += (i ? ",k" : "k") + std::to_string(i) + "=v";
        object += (i ? ", \"k" : "\"k") + std::to_string(i) + "\": \"v\"";
    }
    object += "}";
    EXPECT_EQ(zendral::csv_lines_to_json({line}), LineList{object});
}

// Lines with more pairs than the converter remembers from its sweep are
// swept again to be written: both sides of that limit, and far past it.
TEST(CsvLinesToJson, LinesOfManyPairsAroundTheRememberedCount) {
    for (int pairs : {31, 32, 33, 64, 1000}) {
        std::string line = "flag";
        std::string object = "{";
        for (int i = 0; i < pairs; ++i) {
            line += ",k" + std::to_string(i) + "=v=" + std::to_string(i) + ",";
            object += (i ? ", \"k" : "\"k") + std::to_string(i) + "\": \"v=" + std::to_string(i) + "\"";
        }
        EXPECT_EQ(zendral::line_csv_to_json(line), object + "}") << pairs << " pairs";
    }
}

// The streaming form writes a line's text in the sweep that finds its pairs,
// in 16-byte moves where the line goes on far enough: keys and values on
// both sides of a move's width, pairs ending at every distance from the end
// of the line, and a line past the length where the text is sized first.
TEST(CsvLinesToJson, StreamedTextsEqualTheSizedOnes) {
    LineList lines;
    for (const std::size_t key : {0u, 1u, 15u, 16u, 17u, 33u}) {
        for (const std::size_t value : {0u, 1u, 15u, 16u, 17u, 33u}) {
            const std::string pair = std::string(key, 'k') + "=" + std::string(value, 'v') + "=";
            for (std::size_t tail = 0; tail < 20; ++tail) {
                lines.push_back(pair + "," + pair + "," + std::string(tail, tail % 2 ? 'x' : '='));
            }
        }
    }
    lines.push_back(std::string(20000, '=') + ",a=b");
    lines.push_back("flag," + std::string(5000, ',') + "=");
    // Lines of every length over three stretches of 64 bytes, tiled so that
    // separators fall on every offset of a block and a stretch; each whole,
    // then with a field without "=", with a comma at the end, and with a
    // quote (a byte to escape) at its last byte.
    for (const std::string_view piece : {"k=v,", "=,", "ab=c=d,", "key=value,", "kk=0123456789abcdefghij,"}) {
        for (std::size_t size = 0; size <= 200; ++size) {
            std::string line;
            while (line.size() < size) line += piece;
            line.resize(size);
            lines.push_back(line);
            lines.push_back(line.substr(0, size / 2) + ",flag," + line.substr(size / 2));
            lines.push_back(line + ",");
            if (size > 0) lines.push_back(line.substr(0, size - 1) + "\"");
        }
    }
    const std::vector<std::string_view> views(lines.begin(), lines.end());
    for (const bool escape : {false, true}) {
        std::size_t i = 0;
        zendral::csv_lines_to_json(views, [&](std::string_view object) {
            ASSERT_EQ(object, zendral::line_csv_to_json(lines[i], {escape})) << i;
            ++i;
        }, {escape});
        EXPECT_EQ(i, lines.size());
    }
}

// --- The file entry ------------------------------------------------------

struct FileCase {
    const char* name;
    std::string bytes;
    LineList objects;
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << testing::PrintToString(c.bytes); }

class FileToObjects : public testing::TestWithParam<FileCase> {};

TEST_P(FileToObjects, ConvertsEveryLine) {
    zendral::testing::TempDir dir;
    const std::string path = dir.write("data.csv", GetParam().bytes);
    EXPECT_EQ(zendral::csv_file_to_json(path), GetParam().objects);
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, FileToObjects, testing::Values(
    FileCase{"Empty", "", {}},
    FileCase{"OnlyNewline", "\n", {"{}"}},
    FileCase{"FinalNewline", "a=1\nb=2\n", {R"({"a": "1"})", R"({"b": "2"})"}},
    FileCase{"NoFinalNewline", "a=1\nb=2", {R"({"a": "1"})", R"({"b": "2"})"}},
    FileCase{"BlankLine", "a=1\n\nb=2\n", {R"({"a": "1"})", "{}", R"({"b": "2"})"}},
    FileCase{"NoHeader", "x,y\nk=v\n", {"{}", R"({"k": "v"})"}},
    FileCase{"Crlf", "a=1\r\n", {"{\"a\": \"1\r\"}"}},
    FileCase{"CrInDroppedField", "a=1,flag\r\n", {R"({"a": "1"})"}},
    FileCase{"NulIsData", std::string("a=\0\n", 4), {std::string("{\"a\": \"\0\"}", 10)}},
    FileCase{"OnlyCr", "\r", {"{}"}}),
    [](const testing::TestParamInfo<FileCase>& info) { return info.param.name; });

TEST(CsvFileToJson, Escaped) {
    zendral::testing::TempDir dir;
    const std::string path = dir.write("data.csv", "a=\"1\"\r\n\\=\t,x\n");
    EXPECT_EQ(zendral::csv_file_to_json(path, {true}), (LineList{R"({"a": "\"1\"\r"})", R"({"\\": "\t"})"}));
}

// Lines that straddle the reader's buffer must come out whole.
TEST(CsvFileToJson, LinesLongerThanAnyBuffer) {
    const std::string big_value(1 << 20, 'x');
    std::string bytes;
    LineList expected;
    for (std::size_t width : {1u, 4095u, 65535u, 65536u, 65537u, 200000u}) {
        const std::string value(width, 'v');
        bytes += "k=" + value + "\n";
        expected.push_back("{\"k\": \"" + value + "\"}");
    }
    bytes += "big=" + big_value;  // no final newline
    expected.push_back("{\"big\": \"" + big_value + "\"}");

    zendral::testing::TempDir dir;
    EXPECT_EQ(zendral::csv_file_to_json(dir.write("long.csv", bytes)), expected);
}

TEST(CsvFileToJson, ManyShortLinesAcrossBufferBoundaries) {
    std::string bytes;
    LineList expected;
    for (int i = 0; i < 50000; ++i) {
        bytes += "i=" + std::to_string(i) + ",flag\n";
        expected.push_back("{\"i\": \"" + std::to_string(i) + "\"}");
    }
    zendral::testing::TempDir dir;
    EXPECT_EQ(zendral::csv_file_to_json(dir.write("many.csv", bytes)), expected);
}

template <class Exception>
std::string failure_of(const std::string& path) {
    try {
        zendral::csv_file_to_json(path);
    } catch (const Exception& e) {
        return e.what();
    }
    return "no exception";
}

TEST(CsvFileToJson, OpenFailuresNameThePath) {
    zendral::testing::TempDir dir;
    const std::string missing = dir.path() + "/missing.csv";
    const std::string not_a_dir = dir.write("file", "a=1") + "/below";
    for (const std::string& path : {missing, not_a_dir, std::string()}) {
        EXPECT_EQ(failure_of<std::runtime_error>(path), "Could not open file: " + path);
    }
}

TEST(CsvFileToJson, ReadFailuresAreErrorsNotShortResults) {
    zendral::testing::TempDir dir;
    // A directory opens but cannot be read (EISDIR); /proc/self/mem opens but
    // its first page is unmapped (EIO).
    for (const std::string& path : {dir.path(), std::string("/proc/self/mem")}) {
        EXPECT_EQ(failure_of<std::runtime_error>(path), "Could not read file: " + path);
    }
}

TEST(CsvFileToJson, PathWithNulIsRejectedBeforeOpening) {
    zendral::testing::TempDir dir;
    const std::string real = dir.write("real.csv", "a=1\n");
    // Cut at the NUL this would name the real file; it must not be read.
    const std::string path = real + std::string("\0.ignored", 9);
    EXPECT_EQ(failure_of<std::invalid_argument>(path), "embedded null byte");
}

// Opening a FIFO waits for a writer; a signal handled meanwhile interrupts
// the wait, which must be resumed, not reported as a file that cannot be
// opened.
TEST(CsvFileToJson, OpeningWaitsThroughSignals) {
    zendral::testing::TempDir dir;
    const std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct sigaction ignore {};
    ignore.sa_handler = [](int) {};  // no SA_RESTART: system calls see EINTR
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &ignore, &previous), 0);

    const pthread_t reader = ::pthread_self();
    std::thread writer([&] {
        using namespace std::chrono_literals;
        for (int i = 0; i < 10; ++i) {
            std::this_thread::sleep_for(20ms);
            ::pthread_kill(reader, SIGUSR1);
        }
        // Non-blocking, so that the writer gives up if the reader already has.
        for (int tries = 0; tries < 100; ++tries, std::this_thread::sleep_for(20ms)) {
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0) continue;
            EXPECT_EQ(::write(fd, "a=1\n", 4), 4);
            ::close(fd);
            return;
        }
    });
    std::string failure;
    LineList objects;
    try {
        objects = zendral::csv_file_to_json(fifo);
    } catch (const std::exception& e) {
        failure = e.what();
    }
    writer.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(failure, "");
    EXPECT_EQ(objects, LineList{R"({"a": "1"})"});
}

TEST(CsvFileToJson, ClosesTheFileOnEveryWayOut) {
    zendral::testing::TempDir dir;
    const std::string good = dir.write("good.csv", "a=1\n");
    const auto open_fds = [] { return zendral::testing::count_open_fds(); };
    const int before = open_fds();
    for (int i = 0; i < 50; ++i) {
        zendral::csv_file_to_json(good);
        EXPECT_THROW(zendral::csv_file_to_json(dir.path()), std::runtime_error);
    }
    EXPECT_EQ(open_fds(), before);
}

}  // namespace
