// Peak memory of md_to_html on one huge line, in a fresh process: what a C++
// caller holding the LineList pays for the conversion beyond its input.
//   line_memory spans|dense MIB
// spans: one line of five long spans, one of each inline rule;
// dense: one line of short spans of every rule, repeated.
// Prints the line's size, the output's size and capacity, and the peak
// address space and resident memory, all in MiB and as multiples of the line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "zendral/markdown.hpp"

namespace {

// A field of /proc/self/status ("VmPeak", "VmHWM", ...), in bytes.
double status_bytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line[length] == ':') {
            return std::strtod(line.c_str() + length + 1, nullptr) * 1024.0;
        }
    }
    return 0;
}

std::string make_line(const std::string& kind, std::size_t bytes) {
    std::string line;
    line.reserve(bytes);
    if (kind == "spans") {
        const std::size_t each = bytes / 5 - 4;
        for (const char* delimiter : {"**", "__", "*", "_", "`"}) {
            line += delimiter;
            line.append(each, 'x');
            line += delimiter;
        }
    } else {
        const std::string piece = "a **b** _c_ `d` *e* __f__ ";
        while (line.size() + piece.size() <= bytes) line += piece;
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "spans") != 0 && std::strcmp(argv[1], "dense") != 0)) {
        std::fprintf(stderr, "usage: %s spans|dense MIB\n", argv[0]);
        return 2;
    }
    const double mib = 1 << 20;
    const zendral::LineList lines{make_line(argv[1], std::strtoull(argv[2], nullptr, 10) << 20)};
    const double line_bytes = static_cast<double>(lines[0].size());
    const double before = status_bytes("VmSize");  // the line is in here already

    const zendral::LineList html = zendral::md_to_html(lines);

    const double peak = status_bytes("VmPeak") - before + line_bytes;
    const double resident = status_bytes("VmHWM");
    std::printf("%s: line %.0f MiB, output %.0f MiB (capacity %.0f MiB); peak address space %.0f MiB "
                "(%.2fx the line), peak resident %.0f MiB (%.2fx)\n",
                argv[1], line_bytes / mib, static_cast<double>(html[0].size()) / mib,
                static_cast<double>(html[0].capacity()) / mib, peak / mib, peak / line_bytes,
                resident / mib, resident / line_bytes);
}
