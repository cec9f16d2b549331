// The zendral_document module: whole documents and files through the C++
// converters' streaming forms, with no Python object per line. A document
// (str or bytes) is split at LF, converted and joined into one result of its
// type; a file is read in blocks, converted and written in blocks, so memory
// stays at a block plus the longest line whatever the file's size.
//
// Plain C API, no pybind11: four functions with keyword-only options, and no
// state between calls. The interpreter lock is held throughout; the loops
// poll for signals once per block and on every interrupted read or write, so
// Ctrl-C and other Python signal handlers run during a long conversion.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "boundary.hpp"  // measure_utf8, shared with zendral
#include "../common/bytes.hpp"
#include "../key_value/object_text.hpp"
#include "zendral/key_value.hpp"
#include "zendral/markdown.hpp"

namespace zendral::document {
namespace {

constexpr std::size_t kDefaultBlock = 1 << 20;
// Lines handed to a converter per call when a whole document is in memory.
constexpr std::size_t kLinesPerCall = 4096;

struct Release {
    void operator()(PyObject* object) const noexcept { Py_DECREF(object); }
};
using Owned = std::unique_ptr<PyObject, Release>;

// A Python error is set; unwinds to the entry point.
struct PythonError {};

// Bytes that grow without being zeroed first.
class Buffer {
public:
    char* data() { return data_.get(); }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    void clear() { size_ = 0; }
    void resize(std::size_t size) { size_ = size; }  // never beyond what was written
    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        std::unique_ptr<char[]> bigger(new char[capacity]);
        if (size_) std::memcpy(bigger.get(), data_.get(), size_);
        data_ = std::move(bigger);
        capacity_ = capacity;
    }
    // Room for `count` more bytes at the end, which the caller fills.
    char* extend(std::size_t count) {
        if (capacity_ - size_ < count) reserve(std::max(size_ + count, 2 * capacity_));
        char* const out = data_.get() + size_;
        size_ += count;
        return out;
    }
    void append_line(std::string_view line) {
        char* const out = extend(line.size() + 1);
        bytes::copy(out, line);
        out[line.size()] = '\n';
    }
    // Gives the storage back, for a buffer that outgrew its use.
    void release() {
        data_.reset();
        size_ = capacity_ = 0;
    }

private:
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// --- The converters, fed line views block by block -------------------------

// Key=value lines: no state from one line to the next. Each object text is
// laid out, then written straight into the output buffer.
template <bool kEscape>
class KeyValueLines {
public:
    template <class Sink>
    void feed(const std::vector<std::string_view>& lines, Sink& sink) {
        for (const std::string_view line : lines) sink.object(key_value::BasicObjectText<kEscape>(line));
    }
};

enum class Kind { markdown, key_value };

struct Options {
    bool escape = false;
};

// Every output line, followed by LF, into a buffer.
struct BufferSink {
    Buffer& out;
    std::size_t lines = 0;
    void operator()(std::string_view line) {
        ++lines;
        out.append_line(line);
    }
    template <class Text>
    void object(const Text& text) {
        ++lines;
        char* const at = out.extend(text.size() + 1);
        text.write(at);
        at[text.size()] = '\n';
    }
};

// One converter of either kind, state kept from block to block.
class Converter {
public:
    Converter(Kind kind, Options options) : kind_(kind), options_(options), markdown_(MarkdownOptions{options.escape}) {}

    void feed(const std::vector<std::string_view>& lines, BufferSink& sink) {
        if (kind_ == Kind::markdown) return markdown_.feed(LineViews(lines), sink);
        if (options_.escape) return escaped_.feed(lines, sink);
        plain_.feed(lines, sink);
    }
    void finish(BufferSink& sink) {
        if (kind_ == Kind::markdown) markdown_.finish(sink);
    }

    // One line's own output lines, converted alone: for naming the line
    // whose output is not UTF-8. Markdown adds only ASCII tags around a
    // line's text, so its validity does not depend on the lines around it.
    void convert_alone(std::string_view line, Buffer& out) const {
        Converter alone(kind_, options_);
        BufferSink sink{out};
        const std::vector<std::string_view> one{line};
        alone.feed(one, sink);
        alone.finish(sink);
    }

private:
    Kind kind_;
    Options options_;
    MarkdownStream markdown_;
    KeyValueLines<false> plain_;
    KeyValueLines<true> escaped_;
};

// --- UTF-8 ------------------------------------------------------------------

// Whether `text` is UTF-8 as the interpreter's strict decoder takes it: the
// zendral module's own check.
bool is_utf8(std::string_view text) {
    std::size_t count = 0;
    Py_UCS4 widest = 0;
    return bytes::is_ascii(text) || bindings::measure_utf8(text, count, widest);
}

// --- Arguments --------------------------------------------------------------

// A document's bytes, borrowed from the argument or from its UTF-8 form.
class Document {
public:
    // False with a Python error set.
    bool load(PyObject* document, const char* function) {
        if (PyUnicode_Check(document)) {
            text_ = true;
            if (PyUnicode_READY(document) < 0) return false;
            if (PyUnicode_IS_ASCII(document)) {
                ascii_ = true;
                bytes_ = {static_cast<const char*>(PyUnicode_DATA(document)),
                          static_cast<std::size_t>(PyUnicode_GET_LENGTH(document))};
                return true;
            }
            encoded_.reset(PyUnicode_AsUTF8String(document));
            if (!encoded_) {
                // A lone surrogate has no UTF-8 form: refused as the zendral
                // functions refuse such a str, with a TypeError.
                if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError,
                             "%s(): a str holding a lone surrogate has no UTF-8 form; "
                             "pass bytes, or a str that can be encoded", function);
                return false;
            }
            bytes_ = {PyBytes_AS_STRING(encoded_.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded_.get()))};
            return true;
        }
        if (PyBytes_Check(document)) {
            bytes_ = {PyBytes_AS_STRING(document), static_cast<std::size_t>(PyBytes_GET_SIZE(document))};
            return true;
        }
        if (PyObject_CheckBuffer(document)) {
            if (PyObject_GetBuffer(document, &view_, PyBUF_SIMPLE) < 0) return false;
            viewed_ = true;
            bytes_ = {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
            return true;
        }
        PyErr_Format(PyExc_TypeError, "%s(): the document must be str or bytes, not %.200s", function,
                     Py_TYPE(document)->tp_name);
        return false;
    }
    ~Document() {
        if (viewed_) PyBuffer_Release(&view_);
    }

    std::string_view bytes() const { return bytes_; }
    bool text() const { return text_; }
    bool ascii() const { return ascii_; }

private:
    std::string_view bytes_;
    Owned encoded_;
    Py_buffer view_{};
    bool viewed_ = false;
    bool text_ = false;
    bool ascii_ = false;
};

// Polls for signals; their handlers' exceptions unwind the call.
void check_signals() {
    if (PyErr_CheckSignals() < 0) throw PythonError();
}

// A file argument: a path (str, bytes, os.PathLike), opened and closed here,
// or an open file descriptor, used as it is and left open.
class File {
public:
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() {
        if (owned_ && fd_ >= 0) ::close(fd_);
    }

    void open(PyObject* argument, bool for_writing) {
        name_ = argument;
        if (PyLong_Check(argument)) {
            const long fd = PyLong_AsLong(argument);
            if (fd == -1 && PyErr_Occurred()) throw PythonError();
            if (fd < 0 || fd > INT32_MAX) {
                PyErr_SetString(PyExc_ValueError, "a file descriptor cannot be negative");
                throw PythonError();
            }
            fd_ = static_cast<int>(fd);
            return;
        }
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(argument, &encoded)) throw PythonError();
        const Owned path(encoded);
        // A target is truncated only once it is known not to be the source.
        const int flags = for_writing ? O_WRONLY | O_CREAT | O_CLOEXEC : O_RDONLY | O_CLOEXEC;
        for (;;) {
            // A FIFO's open waits for the other end, and a signal may end the wait.
            fd_ = ::open(PyBytes_AS_STRING(path.get()), flags, 0666);
            if (fd_ >= 0) break;
            if (errno != EINTR) fail();
            check_signals();
        }
        owned_ = true;
    }

    // Raises the OSError for errno, naming the argument as it was passed.
    [[noreturn]] void fail() const {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name_);
        throw PythonError();
    }

    int fd() const { return fd_; }
    bool owned() const { return owned_; }
    bool regular() const {
        struct stat status;
        return ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode);
    }

private:
    PyObject* name_ = nullptr;  // borrowed: the call's argument
    int fd_ = -1;
    bool owned_ = false;
};

void write_all(const File& target, const char* data, std::size_t size) {
    while (size) {
        const ssize_t done = ::write(target.fd(), data, std::min<std::size_t>(size, 1u << 30));
        if (done < 0) {
            if (errno != EINTR) target.fail();  // EPIPE becomes BrokenPipeError
            check_signals();
            continue;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
}

// Reads up to `size` bytes; 0 at the end of the input.
std::size_t read_some(const File& source, char* into, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(source.fd(), into, size);
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) source.fail();
        check_signals();
    }
}

// The error for an input line whose output is not UTF-8: the strict
// decoder's own UnicodeDecodeError for that output line, with `line`, the
// line's 1-based number in the input.
void raise_not_utf8(std::string_view output, std::uint64_t number) {
    PyObject* decoded = PyUnicode_DecodeUTF8(output.data(), static_cast<Py_ssize_t>(output.size()), "strict");
    if (decoded) {
        // Cannot happen: the caller found the bytes invalid.
        Py_DECREF(decoded);
        PyErr_SetString(PyExc_SystemError, "zendral_document: output line judged not UTF-8 decodes");
        throw PythonError();
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PythonError();
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const Owned line(PyLong_FromUnsignedLongLong(number));
    if (!line || PyObject_SetAttrString(value, "line", line.get()) < 0) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        throw PythonError();
    }
    PyErr_Restore(type, value, traceback);
    throw PythonError();
}

// The first line of `lines` whose own output is not UTF-8, as its index and
// that output line; false if there is none.
bool find_not_utf8(const Converter& converter, const std::vector<std::string_view>& lines, std::size_t& index,
                   std::string& output) {
    Buffer one;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        one.clear();
        converter.convert_alone(lines[i], one);
        std::string_view rest(one.data(), one.size());
        while (!rest.empty()) {
            const std::size_t end = rest.find('\n');
            const std::string_view line = rest.substr(0, end);
            if (!is_utf8(line)) {
                index = i;
                output.assign(line);
                return true;
            }
            rest.remove_prefix(end + 1);
        }
    }
    return false;
}

// --- The conversions --------------------------------------------------------

// Splits `data` at LF into `lines`; the bytes after the last LF are left,
// and their offset returned.
std::size_t split_lines(std::string_view data, std::vector<std::string_view>& lines) {
    lines.clear();
    // Lines are short: an inline search beats a libc call per line.
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = bytes::find(data, '\n', start, data.size());
        if (end == std::string_view::npos) return start;
        lines.emplace_back(data.data() + start, end - start);
        start = end + 1;
    }
}

PyObject* convert_document(Kind kind, const char* function, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"document", "escape", nullptr};
    PyObject* argument = nullptr;
    int escape = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p", const_cast<char**>(keywords), &argument, &escape)) {
        return nullptr;
    }
    Document document;
    if (!document.load(argument, function)) return nullptr;
    Options options;
    options.escape = escape != 0;

    const std::string_view data = document.bytes();
    Buffer out;
    out.reserve(data.size() + data.size() / 4 + 64);
    BufferSink sink{out};
    Converter converter(kind, options);
    std::vector<std::string_view> lines;
    lines.reserve(kLinesPerCall);
    std::size_t start = 0;
    while (start < data.size()) {
        // kLinesPerCall lines at a time: a bounded list of views.
        lines.clear();
        while (lines.size() < kLinesPerCall && start < data.size()) {
            std::size_t end = bytes::find(data, '\n', start, data.size());
            if (end == std::string_view::npos) end = data.size();
            lines.emplace_back(data.data() + start, end - start);
            start = end + 1;
        }
        converter.feed(lines, sink);
    }
    converter.finish(sink);

    const auto size = static_cast<Py_ssize_t>(out.size());
    if (!document.text()) return PyBytes_FromStringAndSize(out.data(), size);
    if (document.ascii()) {
        // ASCII in, ASCII out: the tags and escapes are ASCII too.
        PyObject* text = PyUnicode_New(size, 127);
        if (text && size) std::memcpy(PyUnicode_1BYTE_DATA(text), out.data(), out.size());
        return text;
    }
    return PyUnicode_DecodeUTF8(out.data(), size, "strict");
}

PyObject* convert_file(Kind kind, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source", "target", "escape", "_block_size", nullptr};
    PyObject* source_argument = nullptr;
    PyObject* target_argument = nullptr;
    int escape = 0;
    Py_ssize_t block = static_cast<Py_ssize_t>(kDefaultBlock);
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$pn", const_cast<char**>(keywords), &source_argument,
                                     &target_argument, &escape, &block)) {
        return nullptr;
    }
    if (block < 1) {
        PyErr_SetString(PyExc_ValueError, "_block_size must be at least 1");
        return nullptr;
    }
    Options options;
    options.escape = escape != 0;
    const auto block_size = static_cast<std::size_t>(block);

    File source, target;
    source.open(source_argument, false);
    target.open(target_argument, true);
    struct stat read_from, written_to;
    if (::fstat(source.fd(), &read_from) == 0 && ::fstat(target.fd(), &written_to) == 0 &&
        S_ISREG(read_from.st_mode) && read_from.st_dev == written_to.st_dev &&
        read_from.st_ino == written_to.st_ino) {
        // Writing a file while reading it would overwrite what is still to be read.
        PyErr_SetString(PyExc_ValueError, "the source and the target are the same file");
        throw PythonError();
    }
    if (target.owned() && S_ISREG(written_to.st_mode) && ::ftruncate(target.fd(), 0) < 0) target.fail();
    // A pipe or terminal gives what has arrived: its lines are written as
    // they come. A file's are written in blocks of about block_size.
    const bool regular = source.regular();
    const bool flush_each_read = !regular && kind == Kind::key_value;

    Converter converter(kind, options);
    Buffer input;  // [0, kept): the start of a line not ended yet
    Buffer out;
    BufferSink sink{out};
    std::vector<std::string_view> lines;
    std::uint64_t read_bytes = 0, written_bytes = 0, line_number = 1;
    std::size_t kept = 0;
    bool bad = false;
    std::size_t bad_index = 0;
    std::string bad_output;
    std::uint64_t bad_number = 0;

    const auto flush = [&] {
        write_all(target, out.data(), out.size());
        written_bytes += out.size();
        out.clear();
    };
    // Converts the lines, checks their output, and keeps it or names the line.
    const auto convert = [&](const std::vector<std::string_view>& block_lines) {
        const std::size_t mark = out.size();
        converter.feed(block_lines, sink);
        if (!is_utf8(std::string_view(out.data() + mark, out.size() - mark))) {
            out.resize(mark);
            bad = find_not_utf8(converter, block_lines, bad_index, bad_output);
            if (!bad) {
                PyErr_SetString(PyExc_SystemError, "zendral_document: no line found for output that is not UTF-8");
                throw PythonError();
            }
            bad_number = line_number + bad_index;
        }
        line_number += block_lines.size();
    };

    for (;;) {
        // input.size() == kept. A line longer than a block grows the buffer
        // by half again each time, not by a block, so as not to copy it over
        // and over.
        if (input.capacity() < kept + block_size) {
            input.reserve(std::max(kept + block_size, input.capacity() + input.capacity() / 2));
        }
        const std::size_t got = read_some(source, input.data() + kept, block_size);
        check_signals();
        if (got == 0) break;
        read_bytes += got;
        if (bad) continue;  // read on: a read failure later in the input wins
        const std::size_t end = kept + got;
        const std::string_view data(input.data(), end);
        const std::size_t rest = split_lines(data, lines);
        if (!lines.empty()) {
            convert(lines);
            if (bad) {
                if (!regular) break;  // a pipe may never end: report it now
                continue;
            }
        }
        if (rest < end && rest > 0) std::memmove(input.data(), input.data() + rest, end - rest);
        kept = end - rest;
        input.resize(kept);
        if (out.size() >= block_size || (flush_each_read && out.size())) flush();
        if (input.capacity() > 4 * block_size && kept < block_size) {
            // A long line has gone: give its storage back.
            std::string carry(input.data(), kept);
            input.release();
            input.reserve(kept + block_size);
            if (kept) std::memcpy(input.extend(kept), carry.data(), kept);
        }
    }
    if (!bad) {
        if (kept) {
            lines.assign(1, std::string_view(input.data(), kept));
            convert(lines);
        }
    }
    if (bad) raise_not_utf8(bad_output, bad_number);
    converter.finish(sink);
    flush();
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(read_bytes),
                         static_cast<unsigned long long>(sink.lines), static_cast<unsigned long long>(written_bytes));
}

// Every entry point: C++ failures become Python exceptions here.
template <class Call>
PyObject* guarded(Call&& call) noexcept {
    try {
        return call();
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "zendral_document: unexpected C++ exception");
        return nullptr;
    }
}

PyObject* md_to_html(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return convert_document(Kind::markdown, "md_to_html", args, kwargs); });
}
PyObject* kv_to_json(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return convert_document(Kind::key_value, "kv_to_json", args, kwargs); });
}
PyObject* md_file_to_html(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return convert_file(Kind::markdown, args, kwargs); });
}
PyObject* kv_file_to_json(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return convert_file(Kind::key_value, args, kwargs); });
}

#define ZENDRAL_METHOD(name) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&name))

PyMethodDef methods[] = {
    {"md_to_html", ZENDRAL_METHOD(md_to_html), METH_VARARGS | METH_KEYWORDS,
     "md_to_html(document, *, escape=False)\n--\n\n"
     "Convert a Markdown document (str or bytes) to HTML, returned as the same type.\n"
     "Lines end at LF only; each output line ends with LF. With escape=True, & < > \"\n"
     "in the text become entities, so every tag in the output is one the converter made."},
    {"kv_to_json", ZENDRAL_METHOD(kv_to_json), METH_VARARGS | METH_KEYWORDS,
     "kv_to_json(document, *, escape=False)\n--\n\n"
     "Convert key=value lines (str or bytes) to JSON object lines, returned as the same type.\n"
     "Lines end at LF only; each output line ends with LF. With escape=True, keys and values\n"
     "are written as JSON strings (quote, backslash and control bytes escaped)."},
    {"md_file_to_html", ZENDRAL_METHOD(md_file_to_html), METH_VARARGS | METH_KEYWORDS,
     "md_file_to_html(source, target, *, escape=False)\n--\n\n"
     "Convert a Markdown file to an HTML file, in blocks. source and target are paths or open\n"
     "file descriptors. Returns (input bytes, output lines, output bytes). An input line\n"
     "whose output is not UTF-8 raises UnicodeDecodeError with `line`, its 1-based number."},
    {"kv_file_to_json", ZENDRAL_METHOD(kv_file_to_json), METH_VARARGS | METH_KEYWORDS,
     "kv_file_to_json(source, target, *, escape=False)\n--\n\n"
     "Convert a key=value file to a file of JSON object lines, in blocks. source and target\n"
     "are paths or open file descriptors. Returns (input bytes, output lines, output bytes).\n"
     "An input line whose output is not UTF-8 raises UnicodeDecodeError with `line`, its\n"
     "1-based number."},
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
}  // namespace zendral::document

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_zendral_document() {
    return PyModule_Create(&zendral::document::definition);
}
