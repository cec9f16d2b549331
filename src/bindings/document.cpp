// The zendral_document module: whole documents and files through the
// library's block engine (zendral/document.hpp), with no Python object per
// line. Plain C API, no pybind11: four functions with keyword-only options,
// and no state between calls.
//
// Unlike zendral's functions, these release the interpreter lock while the
// engine blocks in open, read or write and while it converts a block, so
// that a thread reading a pipe leaves the others running; the lock is taken
// back between blocks and after an interrupted call to run the signal
// handlers, so Ctrl-C ends a long conversion or a wait. No Python object is
// touched without the lock: the engine gets bytes that the call keeps alive
// (the argument held, a str's UTF-8 form, a buffer kept exported).
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "lock.hpp"
#include "python_text.hpp"
#include "zendral/byte_buffer.hpp"
#include "zendral/document.hpp"
#include "zendral/utf8.hpp"

#ifndef ZENDRAL_VERSION
#error "ZENDRAL_VERSION: the project's version, given by the build"
#endif

namespace zendral::bindings {
namespace {

constexpr const char* kUnexpected = "zendral_document: unexpected C++ exception";

// The interpreter lock let go while the engine works, and signals checked
// when it pauses.
class Unlocked final : public DocumentHooks {
public:
    void work_begins() override { state_ = PyEval_SaveThread(); }
    // Through a frame that an ending interpreter's unwinding stops at.
    void work_ends() noexcept override { zendral_take_lock(state_); }
    void checkpoint() override {
        if (PyErr_CheckSignals() < 0) raise();
    }

private:
    PyThreadState* state_ = nullptr;
};

// An optional str keyword as bytes: UTF-8, with a name's undecodable bytes
// (os.fsdecode's surrogates) given back as they were; None is no value.
std::optional<std::string> optional_text(PyObject* value, const char* function, const char* name) {
    if (!value || value == Py_None) return std::nullopt;
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s(): %s must be str or None, not %.200s", function, name,
                     Py_TYPE(value)->tp_name);
        raise();
    }
    const Owned encoded(PyUnicode_AsEncodedString(value, "utf-8", "surrogateescape"));
    if (!encoded) raise();
    return std::string(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

// The options of a call's keywords; `page` and the rest are Markdown's.
struct Keywords {
    int escape = 1;
    int page = 0;
    PyObject* title = nullptr;
    PyObject* css = nullptr;
    Py_ssize_t threads = 1;  // files only

    DocumentOptions options(const char* function) const {
        if (threads < 1) {
            PyErr_Format(PyExc_ValueError, "%s(): threads must be at least 1", function);
            raise();
        }
        DocumentOptions options;
        options.threads = threads < Py_ssize_t{kDocumentThreads} ? static_cast<unsigned>(threads) : kDocumentThreads;
        options.escape = escape != 0;
        options.page = page != 0;
        options.title = optional_text(title, function, "title");
        options.css = optional_text(css, function, "css");
        return options;
    }
};

// The result of a document of the argument's type: bytes for bytes-like, a
// str for a str (ASCII in and out copied as it is, checked as it is copied;
// else decoded).
PyObject* result(std::string_view out, bool text, bool ascii) {
    const auto size = static_cast<Py_ssize_t>(out.size());
    if (!text) return PyBytes_FromStringAndSize(out.data(), size);
    if (ascii && size > 1) {
        PyObject* const made = new_str(out.size(), 127);
        if (!made) return nullptr;
        if (utf8::all_ascii<true>(out, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(made)))) return made;
        Py_DECREF(made);
    }
    return decode(out);
}

PyObject* convert_document(DocumentKind kind, const char* function, PyObject* args, PyObject* kwargs) {
    static const char* markdown[] = {"document", "escape", "page", "title", "css", nullptr};
    static const char* key_value[] = {"document", "escape", nullptr};
    PyObject* argument = nullptr;
    Keywords keywords;
    const bool parsed = kind == DocumentKind::markdown
        ? PyArg_ParseTupleAndKeywords(args, kwargs, "O|$ppOO", const_cast<char**>(markdown), &argument,
                                      &keywords.escape, &keywords.page, &keywords.title, &keywords.css)
        : PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p", const_cast<char**>(key_value), &argument,
                                      &keywords.escape);
    if (!parsed) return nullptr;
    const DocumentOptions options = keywords.options(function);
    Py_INCREF(argument);
    const Owned held(argument);  // kept while the lock is let go
    TextReader reader(true);
    std::string_view bytes;
    bool ascii = false;
    if (!reader.read(argument, bytes, ascii)) {
        if (PyUnicode_Check(argument)) {
            // A lone surrogate has no UTF-8 form: refused as the zendral
            // functions refuse such a str, with a TypeError.
            PyErr_Format(PyExc_TypeError,
                         "%s(): a str holding a lone surrogate has no UTF-8 form; "
                         "pass bytes, or a str that can be encoded", function);
        } else {
            PyErr_Format(PyExc_TypeError, "%s(): the document must be str or bytes, not %.200s", function,
                         Py_TYPE(argument)->tp_name);
        }
        return nullptr;
    }
    ByteBuffer out;
    Unlocked unlocked;
    convert_document(bytes, kind, options, out, &unlocked);
    return result(out.view(), PyUnicode_Check(argument), ascii);
}

// A file argument: a path (str, bytes, os.PathLike) or an open descriptor.
DocumentFile file_argument(PyObject* argument) {
    if (PyLong_Check(argument)) {
        const long fd = PyLong_AsLong(argument);
        if (fd == -1 && PyErr_Occurred()) raise();
        if (fd < 0) {
            PyErr_SetString(PyExc_ValueError, "a file descriptor cannot be negative");
            raise();
        }
        if (fd > INT_MAX) {
            PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");  // as os.fstat says
            raise();
        }
        return DocumentFile::descriptor(static_cast<int>(fd));
    }
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(argument, &encoded)) raise();
    const Owned path(encoded);
    return DocumentFile::path(std::string(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded))));
}

// The OSError for errno, naming the file as it was passed. Made, then
// named: BlockingIOError takes a third argument as a count of characters
// written, which a descriptor's number is not.
[[noreturn]] void raise_os_error(int error, PyObject* name) {
    const Owned raised(PyObject_CallFunction(PyExc_OSError, "is", error, std::strerror(error)));
    if (!raised || PyObject_SetAttrString(raised.get(), "filename", name) < 0) raise();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.get())), raised.get());
    raise();
}

// The error for an input line whose output is not UTF-8: the strict
// decoder's own UnicodeDecodeError for that output line, with `line`, the
// line's 1-based number in the input.
[[noreturn]] void raise_not_utf8(const NotUtf8Error& error) {
    const std::string& output = error.output();
    if (PyObject* const decoded = decode(output)) {
        // Cannot happen: the engine found the bytes invalid.
        Py_DECREF(decoded);
        PyErr_SetString(PyExc_SystemError, "zendral_document: output line judged not UTF-8 decodes");
        raise();
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) raise();
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const Owned line(PyLong_FromUnsignedLongLong(error.line()));
    if (!line || PyObject_SetAttrString(value, "line", line.get()) < 0) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        raise();
    }
    PyErr_Restore(type, value, traceback);
    raise();
}

PyObject* convert_file(DocumentKind kind, const char* function, PyObject* args, PyObject* kwargs) {
    static const char* markdown[] = {"source", "target", "escape", "page", "title", "css", "threads", "_block_size",
                                     nullptr};
    static const char* key_value[] = {"source", "target", "escape", "threads", "_block_size", nullptr};
    PyObject *source = nullptr, *target = nullptr;
    Keywords keywords;
    Py_ssize_t block = static_cast<Py_ssize_t>(kDocumentBlock);
    const bool parsed = kind == DocumentKind::markdown
        ? PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$ppOOnn", const_cast<char**>(markdown), &source, &target,
                                      &keywords.escape, &keywords.page, &keywords.title, &keywords.css,
                                      &keywords.threads, &block)
        : PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$pnn", const_cast<char**>(key_value), &source, &target,
                                      &keywords.escape, &keywords.threads, &block);
    if (!parsed) return nullptr;
    if (block < 1) {
        PyErr_SetString(PyExc_ValueError, "_block_size must be at least 1");
        return nullptr;
    }
    const DocumentOptions options = keywords.options(function);
    const DocumentFile from = file_argument(source), to = file_argument(target);
    Unlocked unlocked;
    DocumentCounts counts;
    try {
        counts = zendral::convert_file(from, to, kind, options, &unlocked, static_cast<std::size_t>(block));
    } catch (const FileError& error) {
        raise_os_error(error.code().value(), error.side() == FileSide::source ? source : target);
    } catch (const NotUtf8Error& error) {
        raise_not_utf8(error);
    } catch (const std::invalid_argument& error) {
        PyErr_SetString(PyExc_ValueError, error.what());  // the source as the target
        return nullptr;
    }
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(counts.input_bytes),
                         static_cast<unsigned long long>(counts.output_lines),
                         static_cast<unsigned long long>(counts.output_bytes));
}

PyObject* md_to_html(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded(kUnexpected, [&] { return convert_document(DocumentKind::markdown, "md_to_html", args, kwargs); });
}
PyObject* kv_to_json(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded(kUnexpected, [&] { return convert_document(DocumentKind::key_value, "kv_to_json", args, kwargs); });
}
PyObject* md_file_to_html(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded(kUnexpected, [&] { return convert_file(DocumentKind::markdown, "md_file_to_html", args, kwargs); });
}
PyObject* kv_file_to_json(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded(kUnexpected, [&] { return convert_file(DocumentKind::key_value, "kv_file_to_json", args, kwargs); });
}

#define ZENDRAL_METHOD(name) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&name))

// Said once for both Markdown functions.
#define ZENDRAL_PAGE_DOC                                                                         \
    "With page=True, a whole HTML5 document around the lines: <title> from the first heading\n" \
    "line, else `title`, else the source's file name, else Untitled; `css`, a stylesheet URL\n"  \
    "for a <link>. Title and URL are escaped as attribute text."

#define ZENDRAL_THREADS_DOC                                                                    \
    "threads (at most 16 are used): a regular file into a regular file is converted on that\n" \
    "many threads, a block each in turn; the bytes and errors are those of one."

PyMethodDef methods[] = {
    {"md_to_html", ZENDRAL_METHOD(md_to_html), METH_VARARGS | METH_KEYWORDS,
     "md_to_html(document, *, escape=True, page=False, title=None, css=None)\n--\n\n"
     "Convert a Markdown document (str or bytes) to HTML, returned as the same type.\n"
     "Lines end at LF only; each output line ends with LF. With escape (the default), & < > \"\n"
     "in the text become entities, so every tag in the output is one the converter made;\n"
     "escape=False gives zendral.md_to_html's bytes.\n" ZENDRAL_PAGE_DOC},
    {"kv_to_json", ZENDRAL_METHOD(kv_to_json), METH_VARARGS | METH_KEYWORDS,
     "kv_to_json(document, *, escape=True)\n--\n\n"
     "Convert key=value lines (str or bytes) to JSON object lines, returned as the same type.\n"
     "Lines end at LF only; each output line ends with LF. With escape (the default), keys and\n"
     "values are written as JSON strings (quote, backslash and control bytes escaped);\n"
     "escape=False gives zendral.csv_lines_to_json's bytes."},
    {"md_file_to_html", ZENDRAL_METHOD(md_file_to_html), METH_VARARGS | METH_KEYWORDS,
     "md_file_to_html(source, target, *, escape=True, page=False, title=None, css=None, threads=1)\n--\n\n"
     "Convert a Markdown file to an HTML file, in blocks. source and target are paths or open\n"
     "file descriptors; the source is read before the target is opened. Returns (input bytes,\n"
     "output lines, output bytes). An input line whose output is not UTF-8 raises\n"
     "UnicodeDecodeError with `line`, its 1-based number.\n" ZENDRAL_PAGE_DOC "\n" ZENDRAL_THREADS_DOC},
    {"kv_file_to_json", ZENDRAL_METHOD(kv_file_to_json), METH_VARARGS | METH_KEYWORDS,
     "kv_file_to_json(source, target, *, escape=True, threads=1)\n--\n\n"
     "Convert a key=value file to a file of JSON object lines, in blocks. source and target\n"
     "are paths or open file descriptors; the source is read before the target is opened.\n"
     "Returns (input bytes, output lines, output bytes). An input line whose output is not\n"
     "UTF-8 raises UnicodeDecodeError with `line`, its 1-based number.\n" ZENDRAL_THREADS_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "zendral_document",
    "Whole Markdown and key=value documents and files through zendral's converters.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zendral::bindings

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_zendral_document() {
    PyObject* const module = PyModule_Create(&zendral::bindings::definition);
    if (module && PyModule_AddStringConstant(module, "__version__", ZENDRAL_VERSION) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
