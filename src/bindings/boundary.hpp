// The module's boundary with Python, without the module: a line-list
// argument read in place from the caller's objects, and a result list made
// of new str objects straight from a converter's output. Needs the
// interpreter's headers and pybind11; shared by the module and the
// benchmarks' floor.
#pragma once

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <pybind11/pybind11.h>

#include "../common/bytes.hpp"
#include "zendral/line_stream.hpp"

namespace zendral::bindings {

// A new reference, released when the owner goes.
struct Release {
    void operator()(PyObject* object) const noexcept { Py_DECREF(object); }
};
using Owned = std::unique_ptr<PyObject, Release>;

// The raised error is the argument's fault (a TypeError for the caller)
// unless it is MemoryError, which says nothing about the argument.
[[nodiscard]] inline bool argument_rejected() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw pybind11::error_already_set();
    PyErr_Clear();
    return false;
}

// The bytes of one str, bytes or bytearray, as the converters read them: a
// str as UTF-8, the others as they are. False for any other type and for a
// str without a UTF-8 form (a lone surrogate). Afterwards `item` holds what
// the view points into: the item itself, a UTF-8 copy of it, or nothing (a
// bytearray's bytes are copied into the reader).
class ItemReader {
public:
    bool read(Owned& item, std::string_view& bytes, bool& ascii) {
        PyObject* const object = item.get();
        if (PyUnicode_Check(object)) return read_str(item, bytes, ascii);
        ascii = false;
        if (PyBytes_Check(object)) {
            bytes = {PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
            return true;
        }
        if (PyByteArray_Check(object)) {
            // Copied: Python code can run during the call (a sequence's
            // __getitem__, a finalizer) and resize a bytearray under a view.
            const auto size = static_cast<std::size_t>(PyByteArray_GET_SIZE(object));
            std::unique_ptr<char[]> copy(new char[size ? size : 1]);
            if (size) std::memcpy(copy.get(), PyByteArray_AS_STRING(object), size);
            bytes = {copy.get(), size};
            copies_.push_back(std::move(copy));
            item.reset();
            return true;
        }
        return false;
    }

private:
    static bool read_str(Owned& item, std::string_view& bytes, bool& ascii) {
        PyObject* const text = item.get();
        // Made ready (a str from the old wchar_t API may not be) through a
        // public call: the module must keep loading into later interpreters far
        // enough to refuse them with its own message.
        if (!PyUnicode_IS_READY(text) && PyUnicode_GetLength(text) < 0) return argument_rejected();
        ascii = PyUnicode_IS_ASCII(text);
        if (ascii) {
            // ASCII is its own UTF-8.
            bytes = {static_cast<const char*>(PyUnicode_DATA(text)),
                     static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
        } else if (const auto* compact = reinterpret_cast<PyCompactUnicodeObject*>(text); compact->utf8) {
            bytes = {compact->utf8, static_cast<std::size_t>(compact->utf8_length)};
        } else {
            // Encoded into a bytes object of the call's own: asking the str for
            // its UTF-8 form would attach a copy to the caller's object for good.
            Owned encoded(PyUnicode_AsUTF8String(text));
            if (!encoded) return argument_rejected();
            bytes = {PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))};
            item = std::move(encoded);
        }
        return true;
    }

    std::vector<std::unique_ptr<char[]>> copies_;
};

// A line-list argument: any sequence but str and bytes, whose items are each
// a str, bytes or bytearray. Holds a view of every item's bytes and keeps
// alive what the views point into until the call is over.
class Lines {
public:
    // False when the argument is not such a sequence (a TypeError for the
    // caller); an exception raised by the sequence itself propagates.
    bool load(PyObject* sequence) {
        if (!PySequence_Check(sequence) || PyBytes_Check(sequence) || PyUnicode_Check(sequence)) return false;
        const Py_ssize_t length = PySequence_Size(sequence);
        if (length < 0) throw pybind11::error_already_set();
        const auto count = static_cast<std::size_t>(length);
        // A length no list of strings could hold fails as it always has.
        if (count > std::vector<std::string>().max_size()) throw std::length_error("vector::reserve");
        views_.reserve(count);
        kept_.reserve(count);
        for (Py_ssize_t i = 0; i < length; ++i) {
            Owned item(item_at(sequence, i));
            if (!item) throw pybind11::error_already_set();
            std::string_view bytes;
            bool ascii = false;
            if (!reader_.read(item, bytes, ascii)) return false;
            all_ascii_ = all_ascii_ && ascii;
            views_.push_back(bytes);
            if (item) kept_.push_back(std::move(item));
        }
        return true;
    }

    LineViews views() const { return LineViews(views_); }
    std::size_t size() const { return views_.size(); }
    // Every item a str of ASCII characters, so every output line is ASCII too.
    bool all_ascii() const { return all_ascii_; }

private:
    // PySequence_GetItem without its call for a list or tuple, whose item
    // lookup no subclass can change; the bound is checked as it would be.
    static PyObject* item_at(PyObject* sequence, Py_ssize_t i) {
        if (PyList_CheckExact(sequence) && i < PyList_GET_SIZE(sequence)) {
            return pybind11::handle(PyList_GET_ITEM(sequence, i)).inc_ref().ptr();
        }
        if (PyTuple_CheckExact(sequence)) return pybind11::handle(PyTuple_GET_ITEM(sequence, i)).inc_ref().ptr();
        return PySequence_GetItem(sequence, i);
    }

    std::vector<std::string_view> views_;
    std::vector<Owned> kept_;
    ItemReader reader_;
    bool all_ascii_ = true;
};

// The result list: one new str per output line, made from the line's bytes
// as the converter hands them over.
class StrList {
public:
    StrList() = default;
    explicit StrList(std::size_t expected_lines) { lines_.reserve(expected_lines); }
    StrList(StrList&&) noexcept = default;
    StrList& operator=(StrList&&) noexcept = default;
    ~StrList() {
        for (PyObject* line : lines_) Py_DECREF(line);
    }

    // `ascii`: the bytes are known to be ASCII, so need no check.
    void add(std::string_view bytes, bool ascii) {
        if (lines_.size() == lines_.capacity()) lines_.reserve(2 * lines_.size() + 64);  // before the str exists
        lines_.push_back(make_str(bytes, ascii));
    }

    // The bytes as they are, in a bytes object: a line held for its size
    // while a call that will fail goes on.
    void add_bytes(std::string_view bytes) {
        if (lines_.size() == lines_.capacity()) lines_.reserve(2 * lines_.size() + 64);
        PyObject* held = PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
        if (!held) throw pybind11::error_already_set();
        lines_.push_back(held);
    }

    // The list, holding every line made; this object is empty afterwards.
    PyObject* release() {
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(lines_.size()));
        // The MemoryError stays set, for pybind11 to give as the cause.
        if (!list) throw std::runtime_error("Could not allocate list object!");
        if (!lines_.empty()) {
            std::memcpy(reinterpret_cast<PyListObject*>(list)->ob_item, lines_.data(),
                        lines_.size() * sizeof(PyObject*));
        }
        lines_.clear();
        return list;
    }

private:
    // Strict UTF-8, as PyUnicode_DecodeUTF8 decodes it (and with its error).
    // ASCII, the common case, is allocated at its length and copied, checked
    // as it is copied unless known; other text goes to the decoder. So do lines
    // of one byte or none, for which it returns the interpreter's shared
    // objects.
    static PyObject* make_str(std::string_view bytes, bool ascii) {
        const auto size = static_cast<Py_ssize_t>(bytes.size());
        if (size > 1) {
            PyObject* text = PyUnicode_New(size, 127);
            if (!text) throw pybind11::error_already_set();
            char* const data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text));
            if (ascii) {
                std::memcpy(data, bytes.data(), bytes.size());
                return text;
            }
            if (bytes::copy_ascii(data, bytes.data(), bytes.size())) return text;
            Py_DECREF(text);
        }
        PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), size, nullptr);
        if (!text) throw pybind11::error_already_set();
        return text;
    }

    std::vector<PyObject*> lines_;
};

}  // namespace zendral::bindings

namespace pybind11::detail {

template <>
struct type_caster<zendral::bindings::Lines> {
    PYBIND11_TYPE_CASTER(zendral::bindings::Lines, const_name("List[str]"));
    bool load(handle source, bool) { return source && value.load(source.ptr()); }
};

template <>
struct type_caster<zendral::bindings::StrList> {
    PYBIND11_TYPE_CASTER(zendral::bindings::StrList, const_name("List[str]"));
    static handle cast(zendral::bindings::StrList&& lines, return_value_policy, handle) { return lines.release(); }
};

}  // namespace pybind11::detail
