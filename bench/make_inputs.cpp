// make_inputs docs FILE | log LINES FILE: writes the C++ benchmarks' inputs
// to a file, so that whole processes convert the same bytes: the machine's
// Markdown docs joined, or LINES lines of the generated web-service log.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "inputs.hpp"

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (!((what == "docs" && argc == 3) || (what == "log" && argc == 4))) {
        std::fputs("usage: make_inputs docs FILE | log LINES FILE\n", stderr);
        return 2;
    }
    std::FILE* out = std::fopen(argv[argc - 1], "wb");
    if (out == nullptr) return std::perror(argv[argc - 1]), 1;
    if (what == "docs") {
        const std::string& text = zendral::bench::docs_text();
        std::fwrite(text.data(), 1, text.size(), out);
    } else {
        for (const std::string& line : zendral::bench::application_log(std::strtoul(argv[2], nullptr, 10))) {
            std::fwrite(line.data(), 1, line.size(), out);
            std::fputc('\n', out);
        }
    }
    return std::fclose(out) != 0;
}
