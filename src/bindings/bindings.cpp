// The Python module: three registrations and nothing else. Argument and
// result conversion (pybind11/stl.h's list caster, the built-in string
// caster) and exception translation are pybind11's defaults.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "zendral/key_value.hpp"
#include "zendral/markdown.hpp"

PYBIND11_MODULE(zendral, module) {
    module.def("md_to_html", &zendral::md_to_html,
               "Convert Markdown lines to HTML lines. Returns an array of lines.");
    module.def("csv_lines_to_json", &zendral::csv_lines_to_json,
               "Convert CSV lines to JSON lines. Returns an array of lines.");
    module.def("csv_file_to_json", &zendral::csv_file_to_json,
               "Convert a CSV file to JSON. Returns an array of lines.");
}
