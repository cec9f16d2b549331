// The bindings' support for Python text, shared by both modules and free of
// pybind11: one owned reference, one guard that turns C++ failures into
// Python exceptions, one reader of str, bytes and buffers as UTF-8 bytes, and
// one decoder of UTF-8 bytes into a new str.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "zendral/byte_buffer.hpp"
#include "zendral/utf8.hpp"

namespace zendral::bindings {

// A new reference, released when the owner goes.
struct Release {
    void operator()(PyObject* object) const noexcept { Py_DECREF(object); }
};
using Owned = std::unique_ptr<PyObject, Release>;

// A Python error is set; unwinds to the entry point.
struct PythonError {};

[[noreturn]] inline void raise() { throw PythonError(); }

// Runs an entry point's work: a set Python error, memory running out and
// other C++ failures become the Python exception the caller sees.
// `unexpected`: the SystemError's text for an exception nothing names.
template <class Call>
PyObject* guarded(const char* unexpected, Call&& call) noexcept {
    // The C++ runtime keeps a thread's exception state in thread-local storage
    // that glibc allocates on the thread's first use of it. If that first use
    // is a throw because memory ran out, the allocation fails too and glibc
    // aborts the process. Using it here, before anything can throw, makes the
    // allocation happen while memory is still there. (Volatile: the library
    // declares the function pure, so an unused call would be dropped.) With
    // libc++ linked in (the release wheels), that state is in the module's
    // own thread-local block, allocated whole by the same first use.
    [[maybe_unused]] volatile const int unwinding = std::uncaught_exceptions();
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
        PyErr_SetString(PyExc_SystemError, unexpected);
        return nullptr;
    }
}

// The raised error is the argument's fault (a TypeError for the caller)
// unless it is MemoryError, which says nothing about the argument.
[[nodiscard]] inline bool argument_rejected() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) raise();
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

    // A buffer's bytes, kept as they are until the call is over.
    std::string_view keep(ByteBuffer&& bytes) { return kept_.emplace_back(std::move(bytes)).view(); }

private:
    static constexpr std::size_t kBlock = 64 * 1024;
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<ByteBuffer> kept_;
    char* small_ = nullptr;
    std::size_t used_ = kBlock;
};

// How many code units from `from` on are below 0x80: the ASCII runs that
// most non-ASCII text is made of, 16 units at a time. With kCopy they are
// narrowed to bytes at `out` on the way, so that a run is checked and
// copied in one pass.
template <class Unit, bool kCopy = false>
std::size_t ascii_units(const Unit* units, std::size_t from, std::size_t count, char* out = nullptr) {
    std::size_t i = from;
#if defined(__SSE2__)
    const auto load = [&](std::size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + at)); };
    const __m128i high = sizeof(Unit) == 1 ? _mm_set1_epi8(static_cast<char>(0x80))
                       : sizeof(Unit) == 2 ? _mm_set1_epi16(static_cast<short>(0xFF80))
                                           : _mm_set1_epi32(static_cast<int>(0xFFFFFF80));
    constexpr std::size_t kStep = 16 / sizeof(Unit);  // units in one 16-byte load
    for (; i + 16 <= count; i += 16) {
        __m128i blocks[sizeof(Unit)];
        __m128i any = _mm_setzero_si128();
        for (std::size_t b = 0; b < sizeof(Unit); ++b) any = _mm_or_si128(any, blocks[b] = load(i + b * kStep));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(any, high), _mm_setzero_si128())) != 0xFFFF) break;
        if constexpr (kCopy) {
            __m128i bytes = blocks[0];
            // Below 0x80, so the saturating packs keep every value.
            if constexpr (sizeof(Unit) == 2) bytes = _mm_packus_epi16(blocks[0], blocks[1]);
            if constexpr (sizeof(Unit) == 4) {
                bytes = _mm_packus_epi16(_mm_packs_epi32(blocks[0], blocks[1]), _mm_packs_epi32(blocks[2], blocks[3]));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (i - from)), bytes);
        }
    }
#endif
    for (; i < count && units[i] < 0x80; ++i) {
        if constexpr (kCopy) out[i - from] = static_cast<char>(units[i]);
    }
    return i - from;
}

// The size of the UTF-8 form of units [from, to), or false for a lone
// surrogate, which has none.
template <class Unit>
bool utf8_size(const Unit* units, std::size_t from, std::size_t to, std::size_t& size) {
    size = to - from;
    for (std::size_t i = from; i < to;) {
        if (const std::size_t run = ascii_units(units, i, to)) {
            i += run;
            continue;
        }
        const std::uint32_t c = units[i++];
        if (c >= 0xD800 && c <= 0xDFFF) return false;
        size += c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    }
    return true;
}

// Writes the UTF-8 form of units [from, to), known to have one, to `out`;
// returns its end.
template <class Unit>
char* write_utf8(const Unit* units, std::size_t from, std::size_t to, char* out) {
    for (std::size_t i = from; i < to;) {
        if (const std::size_t run = ascii_units<Unit, true>(units, i, to, out)) {
            out += run;
            i += run;
            continue;
        }
        const std::uint32_t c = units[i++];
        if (c < 0x800) {
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
    return out;
}

// The UTF-8 form of a str's code points (Unit: their storage width), or
// false for a lone surrogate, into the call's own storage: no bytes object
// is made, and nothing is attached to the caller's str. Sized in a first
// pass, written in a second; a long str (a whole document) a stretch at a
// time, so that the second pass reads what the first left in the cache.
template <class Unit>
bool encode_utf8(const Unit* units, std::size_t count, CallBytes& storage, std::string_view& bytes) {
    constexpr std::size_t kStretch = 16 * 1024;
    std::size_t size = 0;
    if (count <= kStretch) {
        if (!utf8_size(units, 0, count, size)) return false;
        char* const start = storage.take(size ? size : 1);
        bytes = {start, static_cast<std::size_t>(write_utf8(units, 0, count, start) - start)};
        return true;
    }
    ByteBuffer out;
    out.reserve(count + count / 16);  // most text is mostly ASCII
    for (std::size_t from = 0; from < count; from += kStretch) {
        const std::size_t to = std::min(count, from + kStretch);
        if (!utf8_size(units, from, to, size)) return false;
        write_utf8(units, from, to, out.extend(size));
    }
    bytes = storage.keep(std::move(out));
    return true;
}

// The bytes of a str, bytes or bytearray (with `buffers`, of any object
// that offers its buffer), as the converters read them: a str as UTF-8, the
// others as they are. False for any other type and for a str without a
// UTF-8 form (a lone surrogate): the caller says what it takes. The view
// points into the object itself or into the reader's storage (a str's UTF-8
// form made for the call, a bytearray's copy), and lives as long as the
// reader and the object. A buffer stays exported until the reader goes, so
// that its object cannot be resized under the view.
class TextReader {
public:
    explicit TextReader(bool buffers = false) : buffers_(buffers) {}
    TextReader(const TextReader&) = delete;
    TextReader& operator=(const TextReader&) = delete;
    ~TextReader() {
        for (Py_buffer& view : views_) PyBuffer_Release(&view);
    }

    // A ready ASCII str, most lines, is taken inline: its characters are its
    // UTF-8. Anything else goes out of line.
    [[gnu::always_inline]] bool read(PyObject* object, std::string_view& bytes, bool& ascii) {
        if (PyUnicode_Check(object) && PyUnicode_IS_READY(object) && PyUnicode_IS_ASCII(object)) {
            ascii = true;
            bytes = {static_cast<const char*>(PyUnicode_DATA(object)),
                     static_cast<std::size_t>(PyUnicode_GET_LENGTH(object))};
            return true;
        }
        return read_other(object, bytes, ascii);
    }

private:
    [[gnu::noinline]] bool read_other(PyObject* object, std::string_view& bytes, bool& ascii) {
        if (PyUnicode_Check(object)) return read_str(object, bytes, ascii);
        ascii = false;
        if (PyBytes_Check(object)) {
            bytes = {PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
            return true;
        }
        if (buffers_) return read_buffer(object, bytes);
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

    bool read_buffer(PyObject* object, std::string_view& bytes) {
        if (!PyObject_CheckBuffer(object)) return false;
        Py_buffer view;
        if (PyObject_GetBuffer(object, &view, PyBUF_SIMPLE) < 0) raise();
        views_.push_back(view);
        bytes = {static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)};
        return true;
    }

    CallBytes storage_;
    std::vector<Py_buffer> views_;
    bool buffers_;
};

// How many bytes from `from` on are below 0x80, written to `out` as Units
// on the way, 16 at a time.
template <class Unit>
std::size_t widen_ascii(const unsigned char* p, std::size_t from, std::size_t size, Unit* out) {
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const auto store = [&](std::size_t at, __m128i units) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + (i - from) + at), units);
    };
    for (; i + 16 <= size; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        if (_mm_movemask_epi8(bytes)) break;
        if constexpr (sizeof(Unit) == 1) store(0, bytes);
        const __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
        if constexpr (sizeof(Unit) == 2) {
            store(0, low);
            store(8, high);
        }
        if constexpr (sizeof(Unit) == 4) {
            store(0, _mm_unpacklo_epi16(low, zero));
            store(4, _mm_unpackhi_epi16(low, zero));
            store(8, _mm_unpacklo_epi16(high, zero));
            store(12, _mm_unpackhi_epi16(high, zero));
        }
    }
#endif
    for (; i < size && p[i] < 0x80; ++i) out[i - from] = static_cast<Unit>(p[i]);
    return i - from;
}

// Writes the code points of `bytes`, UTF-8 already measured, as Units.
template <class Unit>
void decode_utf8(std::string_view bytes, Unit* out) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    for (std::size_t i = 0; i < n;) {
        const std::size_t run = widen_ascii(p, i, n, out);
        out += run;
        i += run;
        if (i == n) break;
        std::uint32_t c = 0;
        i += utf8::sequence(p, i, n, c);
        *out++ = static_cast<Unit>(c);
    }
}

// A new str of `count` code points, none above `widest`, for the caller to
// fill. A large one (a whole document's) has its storage offered to the
// kernel as huge pages before anything is written to it: a fresh block that
// size comes straight from mmap, and faulting it in 4 KiB pages at a time
// costs more than the conversion. Where the kernel takes no such advice,
// nothing changes.
inline PyObject* new_str(std::size_t count, std::uint32_t widest) {
    PyObject* const text = PyUnicode_New(static_cast<Py_ssize_t>(count), static_cast<Py_UCS4>(widest));
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    const std::size_t size = text ? count * static_cast<std::size_t>(PyUnicode_KIND(text)) : 0;
    if (size >= 4 * kHuge) {
        const auto data = reinterpret_cast<std::uintptr_t>(PyUnicode_DATA(text));
        const std::uintptr_t from = (data + kHuge - 1) & ~(kHuge - 1), to = (data + size) & ~(kHuge - 1);
        ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);  // advice: failure changes nothing
    }
#endif
    return text;
}

// A new str of `bytes`, decoded as strict UTF-8 as PyUnicode_DecodeUTF8
// decodes it (and with its error, null returned). Measured first, then
// decoded straight into a str of its length and kind. Text of one code point
// or none goes to the interpreter's decoder, which returns its shared objects.
inline PyObject* decode(std::string_view bytes) {
    const auto size = static_cast<Py_ssize_t>(bytes.size());
    std::size_t count = 0;
    std::uint32_t widest = 0;
    if (!utf8::measure(bytes, count, widest)) {
        // The decoder's own error, from a copy: the bytes may be a view of an
        // argument borrowed for the call, and raising the error allocates
        // objects that can start a garbage collection, whose finalizers could
        // drop that argument while the decoder still reads it.
        const std::string copy(bytes);
        return PyUnicode_DecodeUTF8(copy.data(), size, nullptr);
    }
    if (count <= 1) return PyUnicode_DecodeUTF8(bytes.data(), size, nullptr);
    PyObject* text = new_str(count, widest);
    if (!text) return nullptr;
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            if (count == bytes.size()) {
                std::memcpy(PyUnicode_1BYTE_DATA(text), bytes.data(), bytes.size());
            } else {
                decode_utf8(bytes, PyUnicode_1BYTE_DATA(text));
            }
            break;
        case PyUnicode_2BYTE_KIND: decode_utf8(bytes, PyUnicode_2BYTE_DATA(text)); break;
        default: decode_utf8(bytes, PyUnicode_4BYTE_DATA(text)); break;
    }
    return text;
}

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
        if (length < 0) raise();
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
        // decode). Python code may run once the conversion is over (the
        // result list is allocated) or has failed; the views are not read then.
        const bool borrowed = PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence);
        if (!borrowed) kept_.reserve(count);
        for (Py_ssize_t i = 0; i < length; ++i) {
            PyObject* item;
            if (borrowed) {
                item = PyList_CheckExact(sequence) ? PyList_GET_ITEM(sequence, i) : PyTuple_GET_ITEM(sequence, i);
            } else {
                Owned owned(PySequence_GetItem(sequence, i));
                if (!owned) raise();
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

    const std::vector<std::string_view>& views() const { return views_; }
    std::size_t size() const { return views_.size(); }
    // Every item a str of ASCII characters, so every output line is ASCII too.
    bool all_ascii() const { return all_ascii_; }

private:
    std::vector<std::string_view> views_;
    std::vector<Owned> kept_;
    TextReader reader_;
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
        if (!text) raise();
        write(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text)));
        lines_.push_back(text);
    }

    // The bytes as they are, in a bytes object: a line held for its size
    // while a call that will fail goes on.
    void add_bytes(std::string_view bytes) {
        if (lines_.size() == lines_.capacity()) lines_.reserve(2 * lines_.size() + 64);
        PyObject* held = PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
        if (!held) raise();
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
    // ASCII, the common case, is allocated at its length and copied, checked
    // as it is copied unless known; other text goes to the decoder. An empty
    // line (a blank Markdown line's) is the interpreter's shared empty str,
    // as its decoder gives it.
    [[gnu::always_inline]] static PyObject* make_str(std::string_view bytes, bool ascii) {
        if (bytes.empty()) {
            PyObject* const empty = PyUnicode_New(0, 0);
            if (!empty) raise();
            return empty;
        }
        if (bytes.size() > 1) {
            PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(bytes.size()), 127);
            if (!text) raise();
            char* const data = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text));
            if (ascii) {
                std::memcpy(data, bytes.data(), bytes.size());
                return text;
            }
            if (utf8::all_ascii<true>(bytes, data)) return text;
            Py_DECREF(text);
        }
        return make_text(bytes);
    }

    // make_str for lines that are not ASCII or of one byte: out of line,
    // so that the ASCII path stays small enough to be inlined into the sinks.
    [[gnu::noinline]] static PyObject* make_text(std::string_view bytes) {
        PyObject* text = decode(bytes);
        if (!text) raise();
        return text;
    }

    std::vector<PyObject*> lines_;
};

}  // namespace zendral::bindings
