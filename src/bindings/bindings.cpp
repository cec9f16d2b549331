// The Python module: three registrations on pybind11's dispatcher, argument
// checks and exception translation, with a boundary that copies each byte
// once. Lines are read in place from the caller's objects (views into an
// ASCII str, a bytes buffer, or a UTF-8 form made for the call) and fed to
// the converters' streaming form; every output line becomes a new str
// straight from the converter's buffer, or is written straight into it. What
// Python code can observe (what is accepted, the exceptions and their texts,
// the signatures) is pybind11's standard behaviour for a list of
// std::string, with these repairs:
//  - The length of a line sequence is asked once.
//  - A str's UTF-8 form is read without leaving a copy attached to it.
//  - A MemoryError raised while reading a str propagates instead of being
//    reported as an argument of the wrong type.
//  - Each entry point is guarded: pybind11 builds the TypeError text for
//    rejected arguments outside its own try block, so a std::bad_alloc there
//    would unwind into the interpreter and abort the process.
//  - A RuntimeError whose text is not UTF-8 (a file path's bytes) is raised
//    without a text on every interpreter, as 3.6 does by itself.
//  - The functions belong to the module, as a C extension's do: their
//    __qualname__ is their name and pickle takes them by reference.
//  - A sub-interpreter is refused with an ImportError instead of hanging.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python_text.hpp"  // Python.h first, as the interpreter asks

#include <pybind11/pybind11.h>

#include "boundary.hpp"
#include "zendral/byte_buffer.hpp"
#include "zendral/key_value.hpp"
#include "zendral/markdown.hpp"
#include "zendral/utf8.hpp"

namespace zendral::bindings {
namespace {

// pybind11 keeps its state per process and takes the interpreter lock through
// the main interpreter's thread states, which from a sub-interpreter waits for
// a lock the caller already holds: refused instead, as an ImportError, both on
// import and on a call of functions copied in from the main interpreter's
// import. False, with the error set, in a sub-interpreter.
bool refuse_sub_interpreter() {
#if PY_VERSION_HEX >= 0x03070000
    PyInterpreterState* const main = PyInterpreterState_Main();
#else
    // The first interpreter made, the main one, is the last in the list.
    PyInterpreterState* main = PyInterpreterState_Head();
    while (PyInterpreterState* const next = PyInterpreterState_Next(main)) main = next;
#endif
    if (PyThreadState_Get()->interp == main) return true;
    PyErr_SetString(PyExc_ImportError,
                    "zendral cannot be used in a sub-interpreter: it runs in the main interpreter only");
    return false;
}

StrList md_to_html(const Lines& lines) {
    return pybind11_errors([&] {
        StrList html(lines.size() + lines.size() / 8 + 2);
        const bool ascii = lines.all_ascii();
        zendral::md_to_html(lines.views(), [&](std::string_view line) { html.add(line, ascii); });
        return html;
    });
}

StrList csv_lines_to_json(const Lines& lines) {
    return pybind11_errors([&] {
        StrList objects(lines.size());
        const bool ascii = lines.all_ascii();
        zendral::csv_lines_to_json(lines.views(), [&](std::string_view object) { objects.add(object, ascii); });
        return objects;
    });
}

// The file's object texts as a result list, taken from the library's
// streaming form as each line is read (its one-sweep writer, no copy of the
// lines). An object text that is not UTF-8 fails the call only once the
// whole file is read: a read or memory failure anywhere in the file wins
// over it, as when the file was converted whole before any str was made.
// The texts from there on are kept as bytes, so the call still needs about
// what its result would (and a file that never ends still runs out).
class FileObjects {
public:
    void operator()(std::string_view text) {
        if (undecodable_) return objects_.add_bytes(text);
        try {
            objects_.add(text, false);
        } catch (const PythonError&) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw;
            undecodable_.emplace();  // the error, taken from the interpreter
            objects_.add_bytes(text);
        }
    }

    StrList take() {
        if (undecodable_) throw *undecodable_;
        return std::move(objects_);
    }

private:
    StrList objects_;
    std::optional<pybind11::error_already_set> undecodable_;
};

StrList csv_file_to_json(const std::string& path) {
    FileObjects objects;
    try {
        pybind11_errors([&] { zendral::csv_file_to_json(path, LineSink(objects)); });
    } catch (const std::runtime_error& error) {
        // Its text names the path; bytes that are not UTF-8 cannot be the text
        // of a Python exception. 3.6 then raises RuntimeError without a text,
        // later interpreters the decoding error: RuntimeError for all.
        const Owned text(PyUnicode_DecodeUTF8(error.what(), static_cast<Py_ssize_t>(std::strlen(error.what())),
                                              nullptr));
        if (text) throw;
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw pybind11::error_already_set();
        PyErr_Clear();
        PyErr_SetNone(PyExc_RuntimeError);
        throw pybind11::error_already_set();
    }
    return objects.take();
}

}  // namespace
}  // namespace zendral::bindings

namespace pybind11::detail {

// A path: a str's UTF-8 form (read as for lines, so nothing is left attached
// to the caller's object), or the bytes of a bytes or bytearray.
template <>
struct type_caster<std::string> : string_caster<std::string> {
    bool load(handle source, bool) {
        if (!source) return false;
        return zendral::bindings::pybind11_errors([&] {
            std::string_view bytes;
            bool ascii = false;
            zendral::bindings::TextReader reader;
            if (!reader.read(source.ptr(), bytes, ascii)) return false;
            value.assign(bytes.data(), bytes.size());
            return true;
        });
    }
};

}  // namespace pybind11::detail

namespace zendral::bindings {
namespace {

// --- What the module takes from pybind11's internals ----------------------
// Checked against pybind11 2.10.3 (Debian 12's), 2.12.x and 3.1.x (the
// index's, per pyproject.toml), the releases the build accepts. Besides its
// own type_caster specialisations (PYBIND11_TYPE_CASTER, const_name and the
// load/cast protocol), it relies on two things, which take_over_entries()
// checks at import, failing it with an ImportError (and so every test) on a
// pybind11 that does otherwise:
//  - cpp_function::dispatcher is the function every bound function's
//    PyMethodDef points at. Its parameter list changed with 3.0.2 (the fast
//    calling convention); the guard below takes whatever it is.
//  - The function object's m_self is the object that holds the function's
//    record (a capsule before 3.0, a function_record after), which pybind11
//    hands to the dispatcher as its first argument.

struct Dispatcher : pybind11::cpp_function {
    using pybind11::cpp_function::dispatcher;
};

constexpr std::size_t function_count = 3;
constexpr const char* function_names[function_count] = {"md_to_html", "csv_lines_to_json", "csv_file_to_json"};

// The record holders, taken from the function objects so that these can have
// the module as m_self: that gives them a plain __qualname__ and lets pickle
// find them by name. Never released: a function object of an earlier import
// of the module may still point at its record's method definition.
PyObject* records[function_count] = {};

template <std::size_t index, typename... Arguments>
PyObject* guarded_dispatcher(PyObject* /* module */, Arguments... arguments) noexcept {
    if (!refuse_sub_interpreter()) return nullptr;
    return guarded("zendral: unexpected C++ exception at the call boundary",
                   [&] { return Dispatcher::dispatcher(records[index], arguments...); });
}

template <typename... Arguments>
using DispatcherType = PyObject* (*)(PyObject*, Arguments...);

template <std::size_t index, typename... Arguments>
PyCFunction guard_for(DispatcherType<Arguments...>) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&guarded_dispatcher<index, Arguments...>));
}

// Points each bound function's method definition at its guard, and gives the
// function the module as m_self, keeping the record holder for the guard.
template <std::size_t... index>
void take_over_entries(pybind11::module_& module, std::index_sequence<index...>) {
    const auto dispatcher = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Dispatcher::dispatcher));
    PyCFunctionObject* functions[function_count] = {};
    for (std::size_t i = 0; i < function_count; ++i) {
        PyObject* const function = module.attr(function_names[i]).ptr();
        auto* const object = PyCFunction_Check(function) ? reinterpret_cast<PyCFunctionObject*>(function) : nullptr;
        if (!object || object->m_ml->ml_meth != dispatcher || !object->m_self || object->m_self == module.ptr()) {
            throw std::runtime_error("zendral: this pybind11 binds functions otherwise than the releases the module "
                                     "was checked against (2.10 to 3.1)");
        }
        functions[i] = object;
    }
    ((functions[index]->m_ml->ml_meth = guard_for<index>(&Dispatcher::dispatcher)), ...);
    for (std::size_t i = 0; i < function_count; ++i) {
        records[i] = functions[i]->m_self;  // the function's reference, now ours
        Py_INCREF(module.ptr());
        functions[i]->m_self = module.ptr();
    }
}

}  // namespace
}  // namespace zendral::bindings

// pybind11 names its entry point PyInit_zendral; the module's own entry point
// runs first, to refuse a sub-interpreter before pybind11 touches its state.
#define PyInit_zendral pybind11_entry_point
PYBIND11_MODULE(zendral, module) {
    namespace bindings = zendral::bindings;
    module.def(bindings::function_names[0], &bindings::md_to_html,
               "Convert Markdown lines to HTML lines. Returns an array of lines.");
    module.def(bindings::function_names[1], &bindings::csv_lines_to_json,
               "Convert CSV lines to JSON lines. Returns an array of lines.");
    module.def(bindings::function_names[2], &bindings::csv_file_to_json,
               "Convert a CSV file to JSON. Returns an array of lines.");
    bindings::take_over_entries(module, std::make_index_sequence<bindings::function_count>());
}
#undef PyInit_zendral

extern "C" PYBIND11_EXPORT PyObject* PyInit_zendral() {
    if (!zendral::bindings::refuse_sub_interpreter()) return nullptr;
    return pybind11_entry_point();
}
