// The module's boundary with Python, without the module: a line-list
// argument read in place from the caller's objects, and a result list made
// of new str objects straight from a converter's output. Needs the
// interpreter's headers and pybind11; shared by the module and the
// benchmarks' floor.
#pragma once

#include <cstdint>
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

// Storage for the bytes a call makes of its arguments (UTF-8 forms, copies
// of bytearrays), freed when the call is over. Blocks never move, so views
// into them stay valid while more are added.
class CallBytes {
public:
    char* take(std::size_t size) {
        if (size > kBlock / 4) return blocks_.emplace_back(new char[size]).get();
        if (kBlock - used_ < size || blocks_.empty()) {
            // A fresh block for the small ones; a large one above went into a
            // block of its own, so the current small block is the last small.
            small_ = blocks_.emplace_back(new char[kBlock]).get();
            used_ = 0;
        }
        char* const out = small_ + used_;
        used_ += size;
        return out;
    }

private:
    static constexpr std::size_t kBlock = 64 * 1024;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* small_ = nullptr;
    std::size_t used_ = kBlock;
};

// How many code units from `i` on, in steps of 8 bytes, are below 0x80: the
// ASCII runs that most non-ASCII text is made of, skipped a word at a time.
template <class Unit>
std::size_t ascii_run(const Unit* units, std::size_t i, std::size_t count) {
    constexpr std::size_t kPerWord = 8 / sizeof(Unit);
    constexpr std::uint64_t kHigh = sizeof(Unit) == 1 ? 0x8080808080808080u
                                  : sizeof(Unit) == 2 ? 0xFF80FF80FF80FF80u
                                                      : 0xFFFFFF80FFFFFF80u;
    const std::size_t start = i;
    for (; i + kPerWord <= count; i += kPerWord) {
        std::uint64_t word;
        std::memcpy(&word, units + i, 8);
        if (word & kHigh) break;
    }
    return i - start;
}

// The UTF-8 form of a str's code points (Unit: their storage width), or
// false for a lone surrogate, which has none. Sized in a first pass, written
// in a second, into the call's own storage: no bytes object is made per item,
// and nothing is attached to the caller's str.
template <class Unit>
bool encode_utf8(const Unit* units, std::size_t count, CallBytes& storage, std::string_view& bytes) {
    std::size_t size = count;
    for (std::size_t i = 0; i < count;) {
        if (const std::size_t run = ascii_run(units, i, count)) {
            i += run;
            continue;
        }
        const std::uint32_t c = units[i++];
        if (c < 0x80) continue;
        if (c >= 0xD800 && c <= 0xDFFF) return false;
        size += c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    }
    char* const start = storage.take(size ? size : 1);
    char* out = start;
    for (std::size_t i = 0; i < count;) {
        if (const std::size_t run = ascii_run(units, i, count)) {
            for (std::size_t j = 0; j < run; ++j) out[j] = static_cast<char>(units[i + j]);
            out += run;
            i += run;
            continue;
        }
        const std::uint32_t c = units[i++];
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *out++ = static_cast<char>(0xC0 | (c >> 6));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *out++ = static_cast<char>(0xE0 | (c >> 12));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *out++ = static_cast<char>(0xF0 | (c >> 18));
            *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    bytes = {start, size};
    return true;
}

// The bytes of one str, bytes or bytearray, as the converters read them: a
// str as UTF-8, the others as they are. False for any other type and for a
// str without a UTF-8 form (a lone surrogate). The view points into the item
// itself or into the reader's storage (a str's UTF-8 form made for the call,
// a bytearray's copy), which lives as long as the reader.
class ItemReader {
public:
    bool read(PyObject* object, std::string_view& bytes, bool& ascii) {
        if (PyUnicode_Check(object)) return read_str(object, bytes, ascii);
        ascii = false;
        if (PyBytes_Check(object)) {
            bytes = {PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
            return true;
        }
        if (PyByteArray_Check(object)) {
            // Copied: Python code can run during the call (a sequence's
            // __getitem__, a finalizer) and resize a bytearray under a view.
            const auto size = static_cast<std::size_t>(PyByteArray_GET_SIZE(object));
            char* const copy = storage_.take(size ? size : 1);
            if (size) std::memcpy(copy, PyByteArray_AS_STRING(object), size);
            bytes = {copy, size};
            return true;
        }
        return false;
    }

private:
    bool read_str(PyObject* text, std::string_view& bytes, bool& ascii) {
        // Made ready (a str from the old wchar_t API may not be) through a
        // public call: the module must keep loading into later interpreters far
        // enough to refuse them with its own message.
        if (!PyUnicode_IS_READY(text) && PyUnicode_GetLength(text) < 0) return argument_rejected();
        ascii = PyUnicode_IS_ASCII(text);
        const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
        const void* const data = PyUnicode_DATA(text);
        if (ascii) {
            // ASCII is its own UTF-8.
            bytes = {static_cast<const char*>(data), length};
            return true;
        }
        if (const auto* compact = reinterpret_cast<PyCompactUnicodeObject*>(text); compact->utf8) {
            bytes = {compact->utf8, static_cast<std::size_t>(compact->utf8_length)};
            return true;
        }
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND:
                return encode_utf8(static_cast<const Py_UCS1*>(data), length, storage_, bytes);
            case PyUnicode_2BYTE_KIND:
                return encode_utf8(static_cast<const Py_UCS2*>(data), length, storage_, bytes);
            default:
                return encode_utf8(static_cast<const Py_UCS4*>(data), length, storage_, bytes);
        }
    }

    CallBytes storage_;
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
        // The items of an exact list or tuple are borrowed: the argument lives
        // for the call (the call's argument tuple holds it), a tuple cannot
        // change, and a list changes only if Python code runs. None runs while
        // the views are read: items are fetched without a call, nothing here
        // or in the converters allocates an object that the garbage collector
        // tracks, and a result line is decoded by the interpreter only once it
        // is known to be UTF-8 (a line that is not is decoded from a copy, see
        // StrList), since raising that error can start a collection and so run
        // finalizers. Python code may run once the conversion is over (the
        // result list is allocated) or has failed; the views are not read then.
        const bool borrowed = PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence);
        if (!borrowed) kept_.reserve(count);
        for (Py_ssize_t i = 0; i < length; ++i) {
            PyObject* item;
            if (borrowed) {
                item = PyList_CheckExact(sequence) ? PyList_GET_ITEM(sequence, i) : PyTuple_GET_ITEM(sequence, i);
            } else {
                Owned owned(PySequence_GetItem(sequence, i));
                if (!owned) throw pybind11::error_already_set();
                item = owned.get();
                kept_.push_back(std::move(owned));
            }
            std::string_view bytes;
            bool ascii = false;
            if (!reader_.read(item, bytes, ascii)) return false;
            all_ascii_ = all_ascii_ && ascii;
            views_.push_back(bytes);
        }
        return true;
    }

    LineViews views() const { return LineViews(views_); }
    std::size_t size() const { return views_.size(); }
    // Every item a str of ASCII characters, so every output line is ASCII too.
    bool all_ascii() const { return all_ascii_; }

private:
    std::vector<std::string_view> views_;
    std::vector<Owned> kept_;
    ItemReader reader_;
    bool all_ascii_ = true;
};

// Whether `bytes` is UTF-8 as the interpreter's strict decoder takes it (no
// overlong form, no surrogate, nothing above U+10FFFF, nothing cut off), and
// if so how many code points it holds and the largest: the length and kind
// of its str.
inline bool measure_utf8(std::string_view bytes, std::size_t& count, Py_UCS4& widest) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    const auto follows = [&](std::size_t at) { return (p[at] & 0xC0) == 0x80; };
    std::size_t continuations = 0;
    Py_UCS4 max = 0;
    std::size_t i = 0;
    while (i < n) {
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (!(word & 0x8080808080808080u)) {
                i += 8;
                continue;
            }
        }
        const unsigned lead = p[i];
        Py_UCS4 c;
        if (lead < 0x80) {
            i += 1;
            continue;
        } else if (lead < 0xC2) {
            return false;
        } else if (lead < 0xE0) {
            if (i + 1 >= n || !follows(i + 1)) return false;
            c = (lead & 0x1Fu) << 6 | (p[i + 1] & 0x3Fu);
            continuations += 1;
            i += 2;
        } else if (lead < 0xF0) {
            if (i + 2 >= n) return false;
            const unsigned next = p[i + 1];
            const bool ok = lead == 0xE0 ? next >= 0xA0 && next <= 0xBF
                          : lead == 0xED ? next >= 0x80 && next <= 0x9F
                                         : follows(i + 1);
            if (!ok || !follows(i + 2)) return false;
            c = (lead & 0x0Fu) << 12 | (next & 0x3Fu) << 6 | (p[i + 2] & 0x3Fu);
            continuations += 2;
            i += 3;
        } else if (lead < 0xF5) {
            if (i + 3 >= n) return false;
            const unsigned next = p[i + 1];
            const bool ok = lead == 0xF0 ? next >= 0x90 && next <= 0xBF
                          : lead == 0xF4 ? next >= 0x80 && next <= 0x8F
                                         : follows(i + 1);
            if (!ok || !follows(i + 2) || !follows(i + 3)) return false;
            c = (lead & 0x07u) << 18 | (next & 0x3Fu) << 12 | (p[i + 2] & 0x3Fu) << 6 | (p[i + 3] & 0x3Fu);
            continuations += 3;
            i += 4;
        } else {
            return false;
        }
        if (c > max) max = c;
    }
    count = n - continuations;
    widest = max;
    return true;
}

// Writes the code points of `bytes`, UTF-8 already measured, as Units.
template <class Unit>
void decode_utf8(std::string_view bytes, Unit* out) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (!(word & 0x8080808080808080u)) {
                for (std::size_t j = 0; j < 8; ++j) out[j] = static_cast<Unit>(p[i + j]);
                out += 8;
                i += 8;
                continue;
            }
        }
        const unsigned lead = p[i];
        if (lead < 0x80) {
            *out++ = static_cast<Unit>(lead);
            i += 1;
        } else if (lead < 0xE0) {
            *out++ = static_cast<Unit>((lead & 0x1Fu) << 6 | (p[i + 1] & 0x3Fu));
            i += 2;
        } else if (lead < 0xF0) {
            *out++ = static_cast<Unit>((lead & 0x0Fu) << 12 | (p[i + 1] & 0x3Fu) << 6 | (p[i + 2] & 0x3Fu));
            i += 3;
        } else {
            *out++ = static_cast<Unit>((lead & 0x07u) << 18 | (p[i + 1] & 0x3Fu) << 12 | (p[i + 2] & 0x3Fu) << 6 |
                                       (p[i + 3] & 0x3Fu));
            i += 4;
        }
    }
}

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

    // A line of `size` ASCII bytes that `write(char*)` writes straight into
    // its str.
    template <class Write>
    void add_written(std::size_t size, Write&& write) {
        if (lines_.size() == lines_.capacity()) lines_.reserve(2 * lines_.size() + 64);
        if (size <= 1) {
            char line[1];
            write(line);
            return lines_.push_back(make_str(std::string_view(line, size), true));
        }
        PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
        if (!text) throw pybind11::error_already_set();
        write(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text)));
        lines_.push_back(text);
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
    // as it is copied unless known. Other text is measured, then decoded
    // straight into a str of its length and kind. Lines of one code point or
    // none go to the interpreter's decoder, which returns its shared objects.
    [[gnu::always_inline]] static PyObject* make_str(std::string_view bytes, bool ascii) {
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
        return make_text(bytes);
    }

    // make_str for lines that are not ASCII or are that short: out of line,
    // so that the ASCII path stays small enough to be inlined into the sinks.
    [[gnu::noinline]] static PyObject* make_text(std::string_view bytes) {
        const auto size = static_cast<Py_ssize_t>(bytes.size());
        std::size_t count = 0;
        Py_UCS4 widest = 0;
        if (!measure_utf8(bytes, count, widest)) {
            // The decoder's own error, from a copy: the line may be a view of
            // an argument item borrowed for the call, and raising the error
            // allocates objects that can start a garbage collection, whose
            // finalizers could drop that item while the decoder still reads it.
            const std::string copy(bytes);
            PyObject* text = PyUnicode_DecodeUTF8(copy.data(), size, nullptr);
            if (!text) throw pybind11::error_already_set();
            return text;
        }
        if (count <= 1) {
            PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), size, nullptr);
            if (!text) throw pybind11::error_already_set();
            return text;
        }
        PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(count), widest);
        if (!text) throw pybind11::error_already_set();
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND: decode_utf8(bytes, PyUnicode_1BYTE_DATA(text)); break;
            case PyUnicode_2BYTE_KIND: decode_utf8(bytes, PyUnicode_2BYTE_DATA(text)); break;
            default: decode_utf8(bytes, PyUnicode_4BYTE_DATA(text)); break;
        }
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
