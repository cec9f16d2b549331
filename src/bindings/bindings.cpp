// The Python module: three registrations on pybind11's defaults, with two
// repairs so that running out of memory is a MemoryError and nothing worse:
//  - Line lists cross the boundary through the caster below. pybind11's own
//    list and string casters report a str they could not encode for lack of
//    memory as "incompatible function arguments" (TypeError), and a result
//    list they could not allocate as RuntimeError.
//  - Each function's entry point is wrapped (guard_entry). pybind11 builds the
//    TypeError text for a bad call, the repr of every argument, outside its
//    own try block; a std::bad_alloc there unwound into the interpreter and
//    aborted the process.
#include <new>
#include <string>
#include <utility>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "zendral/key_value.hpp"
#include "zendral/line_list.hpp"
#include "zendral/markdown.hpp"

namespace pybind11::detail {

// Accepts what pybind11's list caster accepts: any sequence but str and
// bytes, whose items are str (taken as UTF-8), bytes or bytearray; a str
// with a lone surrogate is no valid text, so not an accepted item.
template <>
struct type_caster<zendral::LineList> {
    PYBIND11_TYPE_CASTER(zendral::LineList, const_name("List[str]"));

    bool load(handle source, bool convert) {
        if (!isinstance<sequence>(source) || isinstance<bytes>(source) || isinstance<str>(source)) {
            return false;
        }
        const auto items = reinterpret_borrow<sequence>(source);
        value.clear();
        value.reserve(items.size());
        for (const auto entry : items) {
            const object item = entry;
            if (PyUnicode_Check(item.ptr())) {
                Py_ssize_t size = 0;
                const char* utf8 = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
                if (!utf8) {
                    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw error_already_set();
                    PyErr_Clear();
                    return false;
                }
                value.emplace_back(utf8, static_cast<std::size_t>(size));
            } else {
                make_caster<std::string> raw;  // bytes or bytearray
                if (!raw.load(item, convert)) return false;
                value.push_back(cast_op<std::string&&>(std::move(raw)));
            }
        }
        return true;
    }

    // A new list of str, each line decoded as strict UTF-8; any failure
    // (MemoryError, UnicodeDecodeError) propagates and drops the partial list.
    static handle cast(const zendral::LineList& lines, return_value_policy, handle) {
        auto list = reinterpret_steal<object>(PyList_New(static_cast<Py_ssize_t>(lines.size())));
        if (!list) throw error_already_set();
        for (std::size_t i = 0; i < lines.size(); ++i) {
            PyObject* text =
                PyUnicode_DecodeUTF8(lines[i].data(), static_cast<Py_ssize_t>(lines[i].size()), nullptr);
            if (!text) throw error_already_set();
            PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), text);
        }
        return list.release();
    }
};

}  // namespace pybind11::detail

namespace {

// pybind11's dispatcher, the entry point that every function shares.
PyCFunctionWithKeywords g_dispatcher = nullptr;

PyObject* guarded_dispatcher(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    try {
        return g_dispatcher(self, args, kwargs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in zendral");
        return nullptr;
    }
}

void guard_entry(const pybind11::object& function) {
    PyMethodDef* method = reinterpret_cast<PyCFunctionObject*>(function.ptr())->m_ml;
    g_dispatcher = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(method->ml_meth));
    method->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded_dispatcher));
}

}  // namespace

PYBIND11_MODULE(zendral, module) {
    module.def("md_to_html", &zendral::md_to_html,
               "Convert Markdown lines to HTML lines. Returns an array of lines.");
    module.def("csv_lines_to_json", &zendral::csv_lines_to_json,
               "Convert CSV lines to JSON lines. Returns an array of lines.");
    module.def("csv_file_to_json", &zendral::csv_file_to_json,
               "Convert a CSV file to JSON. Returns an array of lines.");
    for (const char* name : {"md_to_html", "csv_lines_to_json", "csv_file_to_json"}) {
        guard_entry(module.attr(name));
    }
}
