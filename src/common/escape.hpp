// Escaping for the converters' `escape` option: which bytes need it, how much
// longer a text gets, and the escaped copy. Most text has no byte to escape,
// so everything here is built on one quick search for the next such byte,
// and the runs between them are copied whole.
#pragma once

#include <cstddef>
#include <string_view>

#include "bytes.hpp"

namespace zendral::escape {

// "&", "<", ">" and '"' as HTML entities.
struct Html {
    static bool has(unsigned char byte) { return byte == '&' || byte == '<' || byte == '>' || byte == '"'; }
#if defined(ZENDRAL_BYTE_BLOCKS)
    // '<' (0x3C) and '>' (0x3E) differ only in bit 1, '"' (0x22) and '&'
    // (0x26) only in bit 2: two tests for the four bytes.
    static bytes::block::Block has(bytes::block::Block bytes) {
        using namespace bytes::block;
        return either(equal(either(bytes, splat(0x02)), splat('>')), equal(either(bytes, splat(0x04)), splat('&')));
    }
#endif
    static std::string_view entity(unsigned char byte) {
        switch (byte) {
            case '&': return "&amp;";
            case '<': return "&lt;";
            case '>': return "&gt;";
            default: return "&quot;";
        }
    }
    // Bytes the escaped form adds.
    static std::size_t growth(unsigned char byte) { return entity(byte).size() - 1; }
    static char* put(char* out, unsigned char byte) { return bytes::copy_short(out, entity(byte)); }
};

// JSON string contents: '"', '\\' and the bytes 0x00 to 0x1F. The five with a
// short form get it, the others \u00xx in lower-case hex.
struct Json {
    static bool has(unsigned char byte) { return byte < 0x20 || byte == '"' || byte == '\\'; }
#if defined(ZENDRAL_BYTE_BLOCKS)
    static bytes::block::Block has(bytes::block::Block bytes) {
        using namespace bytes::block;
        return either(at_most(bytes, splat(0x1F)), either(equal(bytes, splat('"')), equal(bytes, splat('\\'))));
    }
#endif
    // The letter after the backslash for a byte with a short form, else 0.
    static char short_form(unsigned char byte) {
        switch (byte) {
            case '"': return '"';
            case '\\': return '\\';
            case '\b': return 'b';
            case '\f': return 'f';
            case '\n': return 'n';
            case '\r': return 'r';
            case '\t': return 't';
            default: return 0;
        }
    }
    static std::size_t growth(unsigned char byte) { return short_form(byte) ? 1 : 5; }
    static char* put(char* out, unsigned char byte) {
        out[0] = '\\';
        if (const char letter = short_form(byte)) {
            out[1] = letter;
            return out + 2;
        }
        static constexpr char kHex[] = "0123456789abcdef";
        const char code[6] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0x0F]};
        return bytes::copy_short(out, code, sizeof code);
    }
};

// How many bytes escaping adds to bytes [from, to) of `text`.
template <class Class>
std::size_t growth(std::string_view text, std::size_t from, std::size_t to) {
    std::size_t added = 0;
    for (std::size_t at; (at = bytes::find_in_class<Class>(text, from, to)) != std::string_view::npos; from = at + 1) {
        added += Class::growth(static_cast<unsigned char>(text[at]));
    }
    return added;
}

// Writes bytes [from, to) of `text` escaped to `out` (to - from plus their
// growth) and returns the end.
template <class Class>
char* copy_escaped(char* out, std::string_view text, std::size_t from, std::size_t to) {
    for (std::size_t at; (at = bytes::find_in_class<Class>(text, from, to)) != std::string_view::npos; from = at + 1) {
        out = bytes::copy(out, text.data() + from, at - from);
        out = Class::put(out, static_cast<unsigned char>(text[at]));
    }
    return bytes::copy(out, text.data() + from, to - from);
}

}  // namespace zendral::escape
