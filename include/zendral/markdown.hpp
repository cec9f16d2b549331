// A line-by-line Markdown subset to HTML.
//
// Block forms: "# " to "###### " headings, "- " list items (wrapped in
// "<ul>" and "</ul>" lines of their own), and paragraphs. Inline forms:
// **strong**, __strong__, *emphasis*, _emphasis_ and `code`. Nothing is
// escaped unless `MarkdownOptions::escape` is set: by default "<", ">", "&"
// and '"' pass through unchanged, so raw HTML in the input reaches the output.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "zendral/line_list.hpp"
#include "zendral/line_stream.hpp"

namespace zendral {

struct MarkdownOptions {
    // "&", "<", ">" and '"' of the input text come out as "&amp;", "&lt;",
    // "&gt;" and "&quot;", so that every tag in the output is one the
    // converter made. The line is escaped first and the block and inline rules
    // then work on the escaped text as usual; raw HTML at the start of a line
    // no longer begins with "<", so it is wrapped in "<p>" like any text.
    // Bytes from 0x80 up are copied as they are.
    bool escape = false;
};

// One output line per input line, plus a "<ul>" and a "</ul>" line for
// every list. Never rejects an input.
LineList md_to_html(const LineList& lines);
LineList md_to_html(const LineList& lines, MarkdownOptions options);

// The same conversion, streamed: the output lines go to `sink` in order,
// each as a view valid only during that call. No memory is allocated per
// line; working buffers grow to the longest line and are reused.
void md_to_html(LineViews lines, LineSink sink);
void md_to_html(LineViews lines, LineSink sink, MarkdownOptions options);

// md_to_html fed block by block: the lines of all the feed() calls, then
// finish(), give exactly what md_to_html gives for all of them at once. Only
// whether a list is open (and the working buffers, for their storage) is
// carried from one call to the next, so blocks may be cut anywhere, empty
// ones included, and no view of a block's lines is kept after its call (the
// caller may reuse their storage). Output lines go to the sink of the call
// that makes them, each as a view valid only during that call. A moved-from
// stream may only be assigned to or destroyed.
class MarkdownStream {
public:
    explicit MarkdownStream(MarkdownOptions options = {});
    ~MarkdownStream();
    MarkdownStream(MarkdownStream&&) noexcept;
    MarkdownStream& operator=(MarkdownStream&&) noexcept;
    MarkdownStream(const MarkdownStream&) = delete;
    MarkdownStream& operator=(const MarkdownStream&) = delete;

    // Converts the lines; any number of calls. An exception from the sink
    // ends the document there: it propagates and leaves the stream fresh.
    void feed(LineViews lines, LineSink sink);
    // The end of the input: emits the "</ul>" of a list left open. The stream
    // is then fresh again (same options), ready for another document.
    void finish(LineSink sink);

    // Whether the lines so far leave a list open for those to come.
    bool list_open() const;
    // Goes on as if the lines before had left a list open, or not: for a
    // document cut into blocks that are converted apart (on several
    // threads), each told what the lines before it leave.
    void resume(bool list_open);
    // What one line leaves open, given what was open before it: a heading
    // leaves it as it was, an item opens it, any other line closes it.
    static bool list_open_after(std::string_view line, bool open_before);

private:
    struct State;  // whether a list is open, and the working buffers
    std::unique_ptr<State> state_;
};

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
