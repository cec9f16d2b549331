// A line-by-line Markdown subset to HTML.
//
// Block forms: "# " to "###### " headings, "- " list items (wrapped in
// "<ul>" and "</ul>" lines of their own), and paragraphs. Inline forms:
// **strong**, __strong__, *emphasis*, _emphasis_ and `code`. Nothing is
// escaped: "<", ">" and "&" pass through unchanged.
#pragma once

#include <string>
#include <string_view>

#include "zendral/line_list.hpp"
#include "zendral/line_stream.hpp"

namespace zendral {

// One output line per input line, plus a "<ul>" and a "</ul>" line for
// every list. Never rejects an input.
LineList md_to_html(const LineList& lines);

// The same conversion, streamed: the output lines go to `sink` in order,
// each as a view valid only during that call. No memory is allocated per
// line; working buffers grow to the longest line and are reused.
void md_to_html(LineViews lines, LineSink sink);

// The inline pass on one line: five substitutions, in this order, each over
// the whole result of the one before, leftmost match first, matches never
// overlapping:
//   1. \*\*(.*?)\*\*  -> <strong>$1</strong>
//   2. __([^_]+)__    -> <strong>$1</strong>
//   3. \*(.*?)\*      -> <em>$1</em>
//   4. _([^_]+)_      -> <em>$1</em>
//   5. `([^`]+)`      -> <code>$1</code>
// (ECMAScript regular expressions over bytes: "." is any byte but LF and CR.)
// Runs in time linear in the line's length and in constant stack.
std::string render_inline_spans(std::string_view line);

}  // namespace zendral
