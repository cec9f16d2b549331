// The inline pass with buffers that the caller keeps across lines.
#pragma once

#include <string>
#include <string_view>

namespace zendral::markdown {

// Two buffers that the five substitutions write in turn, used as raw storage
// (their size is their capacity). Kept by the caller so that they are
// reused from line to line.
struct InlineScratch {
    std::string front;
    std::string back;
};

// Returns the rendered line: `line` itself when no rule matched, else a view
// into `scratch`, valid until the next call with the same scratch.
std::string_view render_inline_spans(std::string_view line, InlineScratch& scratch);

}  // namespace zendral::markdown
