// A benchmark-only extension: the floor that every zendral call pays (the same
// lists crossing the same pybind11 casters with no conversion), and the
// regular-expression technique that zendral's inline scanners replace.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <string_view>

#include "../src/key_value/file_lines.hpp"
#include "../tests/cpp/reference.hpp"
#include "zendral/line_list.hpp"

namespace {

using zendral::LineList;

// md_to_html's shape: a read-only list in, a new list of as many lines out.
LineList copy_lines(const LineList& lines) { return lines; }

// csv_lines_to_json's shape: the argument consumed and handed back.
LineList pass_lines(LineList lines) { return lines; }

// csv_file_to_json's shape: the file's lines read the same way, unconverted.
LineList read_lines(const std::string& path) {
    LineList lines;
    zendral::key_value::for_each_file_line(path, [&](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

}  // namespace

PYBIND11_MODULE(zendral_bench_ext, module) {
    module.def("copy_lines", &copy_lines);
    module.def("pass_lines", &pass_lines);
    module.def("read_lines", &read_lines);
    // std::regex recurses per byte of a span: callers keep lines short.
    module.def("regex_md_to_html", &zendral::reference::md_to_html);
}
