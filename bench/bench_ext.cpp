// A benchmark-only extension: the floors that every zendral call pays, with
// no conversion at all, and the regular-expression technique that zendral's
// inline scanners replace. Two floors per shape:
//  - pybind11's: the same lists through pybind11's casters (each line
//    copied into a std::string and copied again into a new str);
//  - copy-once: the module's own boundary (each line read in place and
//    copied once, into its new str).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <string_view>

#include "../src/bindings/boundary.hpp"
#include "../src/key_value/file_lines.hpp"
#include "../tests/cpp/reference.hpp"
#include "zendral/line_list.hpp"

namespace {

using zendral::LineList;
using zendral::bindings::Lines;
using zendral::bindings::StrList;

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

// Every line read in place and made into a new str: the boundary alone.
StrList copy_once(const Lines& lines) {
    StrList copies(lines.size());
    for (const std::string_view line : lines.views()) copies.add(line, lines.all_ascii());
    return copies;
}

StrList read_once(const std::string& path) {
    StrList lines;
    zendral::key_value::for_each_file_line(path, [&](std::string_view line) { lines.add(line, false); });
    return lines;
}

}  // namespace

PYBIND11_MODULE(zendral_bench_ext, module) {
    module.def("copy_lines", &copy_lines);
    module.def("pass_lines", &pass_lines);
    module.def("read_lines", &read_lines);
    module.def("copy_once", &copy_once);
    module.def("read_once", &read_once);
    // std::regex recurses per byte of a span: callers keep lines short.
    module.def("regex_md_to_html", [](const LineList& lines) { return zendral::reference::md_to_html(lines); });
}
