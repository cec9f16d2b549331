// The inline pass with buffers that the caller keeps across lines.
#pragma once

#include <string>
#include <string_view>

namespace zendral::markdown {

// Room that a buffer keeps beyond a result, so that block tags can be added
// in place (the longest pair is "<h1>" and "</h1>").
constexpr std::size_t kBlockTagRoom = 16;

// Two buffers that the five substitutions write in turn, used as raw storage
// (their size is their capacity). Kept by the caller so that they are
// reused from line to line.
struct InlineScratch {
    std::string front;
    std::string back;
    // Bytes left free in front of a result: a caller that knows its opening
    // tag can write it there instead of moving the whole text up.
    std::size_t lead = 0;
};

// Returns the rendered line: `line` itself when no rule matched, else a view
// into `scratch`, valid until the next call with the same scratch.
std::string_view render_inline_spans(std::string_view line, InlineScratch& scratch);

}  // namespace zendral::markdown
