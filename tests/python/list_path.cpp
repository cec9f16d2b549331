// A test-only module: the converters' list forms behind pybind11's own list
// and string casters, which copy every line into a LineList and every result
// line out of one. The Python tests hold zendral's functions to what these
// give, result for result and error for error.
#include <string>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "zendral/key_value.hpp"
#include "zendral/markdown.hpp"

namespace {

using zendral::LineList;

LineList md_to_html(const LineList& lines) { return zendral::md_to_html(lines); }
LineList csv_lines_to_json(LineList lines) { return zendral::csv_lines_to_json(std::move(lines)); }
LineList csv_file_to_json(const std::string& path) { return zendral::csv_file_to_json(path); }

}  // namespace

PYBIND11_MODULE(zendral_list_path, module) {
    module.def("md_to_html", &md_to_html);
    module.def("csv_lines_to_json", &csv_lines_to_json);
    module.def("csv_file_to_json", &csv_file_to_json);
}
