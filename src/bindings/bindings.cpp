// The Python module: three registrations on pybind11's defaults (the list
// caster of pybind11/stl.h, the string caster, the default exception
// translation), with two repairs for when memory runs out:
//  - The string caster below lets a MemoryError raised while taking a str's
//    UTF-8 form propagate; pybind11's own discards it and reports the
//    argument as being of the wrong type (TypeError).
//  - Each function's entry point is guarded. When no overload accepts the
//    arguments, pybind11 builds the TypeError text (the repr of every
//    argument) outside its own try block: a std::bad_alloc there would unwind
//    into the interpreter and abort the process.
#include <new>
#include <string>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "zendral/key_value.hpp"
#include "zendral/markdown.hpp"

namespace pybind11::detail {

template <>
struct type_caster<std::string> : string_caster<std::string> {
    bool load(handle source, bool convert) {
        if (!source || !PyUnicode_Check(source.ptr())) return string_caster<std::string>::load(source, convert);
        Py_ssize_t size = -1;
        const char* utf8 = PyUnicode_AsUTF8AndSize(source.ptr(), &size);
        if (utf8 == nullptr) {
            // Out of memory is no property of the argument; a lone surrogate is.
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw error_already_set();
            PyErr_Clear();
            return false;
        }
        value.assign(utf8, static_cast<std::size_t>(size));
        return true;
    }
};

}  // namespace pybind11::detail

namespace {

// pybind11's dispatcher, which every bound function enters through.
struct Dispatcher : pybind11::cpp_function {
    using pybind11::cpp_function::dispatcher;
};

PyObject* guarded_dispatcher(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    try {
        return Dispatcher::dispatcher(self, args, kwargs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "zendral: unexpected C++ exception at the call boundary");
        return nullptr;
    }
}

void guard_entry(const pybind11::object& function) {
    PyMethodDef* method = reinterpret_cast<PyCFunctionObject*>(function.ptr())->m_ml;
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
