// The public sized write: ObjectText, the converter's own layout of a line
// kept in the caller's object so that sizing and writing a text allocates
// nothing; and object texts appended to a caller's buffer.
#include <new>
#include <type_traits>

#include "../common/scratch.hpp"
#include "file_lines.hpp"
#include "object_text.hpp"
#include "zendral/key_value.hpp"

namespace zendral {
namespace {

template <bool kEscape>
using Layout = key_value::BasicObjectText<kEscape>;

// The layouts are written over the storage and never destroyed.
static_assert(sizeof(Layout<false>) <= ObjectText::kLayoutBytes && sizeof(Layout<true>) <= ObjectText::kLayoutBytes,
              "ObjectText::kLayoutBytes holds either layout");
static_assert(alignof(Layout<true>) <= alignof(std::max_align_t) && alignof(Layout<false>) <= alignof(std::max_align_t));
static_assert(std::is_trivially_destructible_v<Layout<false>> && std::is_trivially_destructible_v<Layout<true>>);

template <bool kEscape>
const Layout<kEscape>& layout(const unsigned char* storage) {
    return *std::launder(reinterpret_cast<const Layout<kEscape>*>(storage));
}

// A short line's text written straight into `out`, in room for the most it
// can take, by the one-pass writers of the streaming form; false when the
// line needs its text sized first (fields to drop, or bytes to escape).
template <bool kEscape>
bool append_short_object(std::string_view line, scratch::Bytes& copy, ByteBuffer& out) {
    const std::size_t start = out.size();
    char* const text = out.extend(key_value::simple_object_room(line.size()) + 1);
    char* const spare = copy.take(key_value::simple_copy_room(line.size()));
    char* const end = key_value::write_short_object<kEscape>(line, spare, text);
    if (!end) {
        out.shrink_to(start);
        return false;
    }
    *end = '\n';
    out.shrink_to(start + static_cast<std::size_t>(end + 1 - text));
    return true;
}

template <bool kEscape>
void append_objects(LineViews lines, ByteBuffer& out) {
    scratch::Bytes copy;
    for (const std::string_view line : lines) {
        if (line.size() < key_value::kShortLine && append_short_object<kEscape>(line, copy, out)) continue;
        const Layout<kEscape> text(line);
        char* const at = out.extend(text.size() + 1);
        text.write(at);
        at[text.size()] = '\n';
    }
}

}  // namespace

void csv_lines_to_json(LineViews lines, ByteBuffer& out, KeyValueOptions options) {
    return options.escape ? append_objects<true>(lines, out) : append_objects<false>(lines, out);
}

ObjectText::ObjectText(std::string_view line, KeyValueOptions options) : escape_(options.escape) {
    size_ = escape_ ? (new (layout_) Layout<true>(line))->size() : (new (layout_) Layout<false>(line))->size();
}

void ObjectText::write(char* out) const {
    if (escape_) return layout<true>(layout_).write(out);
    layout<false>(layout_).write(out);
}

void csv_file_lines(const std::string& path, LineSink on_line) { key_value::for_each_file_line(path, on_line); }

}  // namespace zendral
