// A benchmark-only extension: the floors that every zendral call pays, with
// no conversion at all, and the regular-expression technique that zendral's
// inline scanners replace. Three floors per shape:
//  - pybind11's: the same lists through pybind11's casters (each line
//    copied into a std::string and copied again into a new str);
//  - copy-once: the module's own boundary (each line read in place and
//    copied once, into its new str);
//  - the interface floor: the least any implementation of the functions
//    must do. Every item and every byte of it read, one str per output line
//    of that line's length and kind (its bytes written once), one list.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "../src/bindings/boundary.hpp"
#include "../tests/cpp/reference.hpp"
#include "zendral/key_value.hpp"
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
    zendral::csv_file_lines(path, [&](std::string_view line) { lines.emplace_back(line); });
    return lines;
}

// Every line read in place and made into a new str: the boundary alone.
StrList copy_once(const Lines& lines) {
    return zendral::bindings::pybind11_errors([&] {
        StrList copies(lines.size());
        for (const std::string_view line : lines.views()) copies.add(line, lines.all_ascii());
        return copies;
    });
}

StrList read_once(const std::string& path) {
    return zendral::bindings::pybind11_errors([&] {
        StrList lines;
        zendral::csv_file_lines(path, [&](std::string_view line) { lines.add(line, false); });
        return lines;
    });
}

// The output's shape, as zendral gave it: per line its length in code points
// and its largest code point, packed as pairs of int64 (array('q').tobytes()).
struct Shape {
    const std::int64_t* pairs;
    std::size_t lines;
};

Shape shape_of(const pybind11::bytes& packed) {
    const std::string_view bytes = packed;
    return {reinterpret_cast<const std::int64_t*>(bytes.data()), bytes.size() / (2 * sizeof(std::int64_t))};
}

// Every byte of a run, folded so that the compiler cannot drop the reads.
std::uint64_t fold(const char* data, std::size_t size) {
    std::uint64_t folded = 0;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        folded |= word;
    }
    for (; i < size; ++i) folded |= static_cast<unsigned char>(data[i]);
    return folded;
}

// One str per line of the shape, each written once, in one new list.
pybind11::object make_shape(const Shape& shape, std::uint64_t folded) {
    pybind11::list result(static_cast<Py_ssize_t>(shape.lines));
    for (std::size_t i = 0; i < shape.lines; ++i) {
        const auto length = static_cast<Py_ssize_t>(shape.pairs[2 * i]);
        const auto widest = static_cast<Py_UCS4>(shape.pairs[2 * i + 1]);
        PyObject* text;
        if (length <= 1 && widest < 256) {
            // Shared objects, as the interpreter's decoder gives them.
            text = length ? PyUnicode_FromOrdinal(static_cast<int>(widest)) : PyUnicode_New(0, 0);
        } else {
            text = PyUnicode_New(length, widest);
            if (!text) throw pybind11::error_already_set();
            const int kind = PyUnicode_KIND(text);
            void* data = PyUnicode_DATA(text);
            const Py_UCS4 fill = widest < 128 ? 'a' + (folded & 1) : widest;
            if (kind == PyUnicode_1BYTE_KIND) {
                std::memset(data, static_cast<int>(fill), static_cast<std::size_t>(length));
            } else {
                for (Py_ssize_t j = 0; j < length; ++j) PyUnicode_WRITE(kind, data, j, fill);
            }
        }
        if (!text) throw pybind11::error_already_set();
        PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), text);
    }
    return std::move(result);
}

pybind11::object interface_floor(const pybind11::list& lines, const pybind11::bytes& packed) {
    std::uint64_t folded = 0;
    for (const pybind11::handle item : lines) {
        PyObject* const object = item.ptr();
        if (PyUnicode_Check(object)) {
            folded |= fold(static_cast<const char*>(PyUnicode_DATA(object)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(object) * PyUnicode_KIND(object)));
        } else if (PyBytes_Check(object)) {
            folded |= fold(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
        } else {
            throw pybind11::type_error("str or bytes items only");
        }
    }
    return make_shape(shape_of(packed), folded);
}

pybind11::object interface_floor_file(const std::string& path, const pybind11::bytes& packed) {
    std::uint64_t folded = 0;
    zendral::csv_file_lines(path, [&](std::string_view line) { folded |= fold(line.data(), line.size()); });
    return make_shape(shape_of(packed), folded);
}

}  // namespace

PYBIND11_MODULE(zendral_bench_ext, module) {
    module.def("copy_lines", &copy_lines);
    module.def("pass_lines", &pass_lines);
    module.def("read_lines", &read_lines);
    module.def("copy_once", &copy_once);
    module.def("read_once", &read_once);
    module.def("interface_floor", &interface_floor);
    module.def("interface_floor_file", &interface_floor_file);
    // std::regex recurses per byte of a span: callers keep lines short.
    module.def("regex_md_to_html", [](const LineList& lines) { return zendral::reference::md_to_html(lines); });
}
