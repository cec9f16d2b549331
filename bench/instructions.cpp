// One run of a streaming converter, with callgrind counting only the
// conversion: instructions per byte, a figure that a noisy machine repeats
// exactly, unlike a time.
//   valgrind --tool=callgrind --collect-atstart=no zendral_instructions FORM
// FORM: md, md-escape (the docs corpus), kv, kv-escape (the log's lines),
// kv-file (the log read from a file). Prints the input's bytes; the count is
// callgrind's total (callgrind_annotate, or its summary line).
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "inputs.hpp"
#include "zendral/key_value.hpp"
#include "zendral/markdown.hpp"

namespace {

namespace bench = zendral::bench;

std::size_t sunk = 0;
// Looks at each line, as the benchmarks' sinks do, and keeps nothing.
const auto sink = [](std::string_view line) {
    sunk += line.size() + (line.empty() ? 0 : static_cast<unsigned char>(line[0]));
};

std::vector<std::string_view> views_of(const zendral::LineList& lines) {
    return std::vector<std::string_view>(lines.begin(), lines.end());
}

// Runs `convert` with instructions counted; returns the input's bytes.
template <class Convert>
std::size_t counted(std::size_t bytes, Convert&& convert) {
    CALLGRIND_TOGGLE_COLLECT;
    convert();
    CALLGRIND_TOGGLE_COLLECT;
    return bytes;
}

std::size_t run(std::string_view form) {
    if (form == "md" || form == "md-escape") {
        const std::vector<std::string_view> views = views_of(bench::docs_lines());
        const zendral::MarkdownOptions options{form == "md-escape"};
        return counted(bench::docs_text().size(), [&] { zendral::md_to_html(views, sink, options); });
    }
    if (form == "kv" || form == "kv-escape") {
        const std::vector<std::string_view> views = views_of(bench::log_lines());
        const zendral::KeyValueOptions options{form == "kv-escape"};
        return counted(bench::text_bytes(bench::log_lines()), [&] { zendral::csv_lines_to_json(views, sink, options); });
    }
    if (form == "kv-file") {
        const std::string path = "/tmp/zendral-instructions.log";
        {
            std::ofstream out(path, std::ios::binary);
            for (const std::string& line : bench::log_lines()) out << line << '\n';
        }
        const std::size_t bytes = counted(bench::text_bytes(bench::log_lines()),
                                          [&] { zendral::csv_file_to_json(path, sink); });
        std::remove(path.c_str());
        return bytes;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t bytes = argc == 2 ? run(argv[1]) : 0;
    if (bytes == 0) {
        std::fprintf(stderr, "usage: zendral_instructions md|md-escape|kv|kv-escape|kv-file\n");
        return 2;
    }
    std::printf("%zu bytes (%zu sunk)\n", bytes, sunk);
    return 0;
}
