// Markdown lines to HTML lines in one pass. Per line: the block rule picks the
// tags and the text they enclose, the inline pass rewrites the text, and the
// paragraph rule may wrap a plain line. One pass serves the list form, the
// streaming form and MarkdownStream; they differ only in where the output
// lines go and in how many calls the lines come.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "../common/bytes.hpp"
#include "../common/escape.hpp"
#include "../common/scratch.hpp"
#include "inline_spans.hpp"
#include "zendral/markdown.hpp"

namespace zendral {
namespace {

struct Tags {
    std::string_view open;
    std::string_view close;
};

constexpr std::size_t kMaxHeadingLevel = 6;
constexpr Tags kHeadingTags[kMaxHeadingLevel + 1] = {
    {},
    {"<h1>", "</h1>"}, {"<h2>", "</h2>"}, {"<h3>", "</h3>"},
    {"<h4>", "</h4>"}, {"<h5>", "</h5>"}, {"<h6>", "</h6>"},
};
constexpr std::string_view kItemPrefix = "- ";
constexpr Tags kItemTags = {"<li>", "</li>"};
constexpr Tags kParagraphTags = {"<p>", "</p>"};
constexpr std::string_view kListOpen = "<ul>";
constexpr std::string_view kListClose = "</ul>";

// A plain line that starts with one of these after the inline pass is taken
// as markup already and left unwrapped.
constexpr std::string_view kUnwrappedPrefixes[] = {"<h", "<ul>", "</ul>", "<li>", "<p>", "<code>"};

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && std::memcmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// 1 to 6 for a line that starts with that many "#" and a space, else 0.
std::size_t heading_level(std::string_view line) {
    std::size_t level = 0;
    while (level < line.size() && level <= kMaxHeadingLevel && line[level] == '#') ++level;
    const bool prefix = level >= 1 && level <= kMaxHeadingLevel && level < line.size() && line[level] == ' ';
    return prefix ? level : 0;
}

bool is_list_item(std::string_view line) {
    return line.size() >= 2 && line[0] == kItemPrefix[0] && line[1] == kItemPrefix[1];
}

[[gnu::always_inline]] inline bool wraps_as_paragraph(std::string_view text) {
    if (text.empty()) return false;
    if (text[0] != '<') return true;  // every unwrapped prefix starts with "<"
    return std::none_of(std::begin(kUnwrappedPrefixes), std::end(kUnwrappedPrefixes),
                        [&](std::string_view prefix) { return starts_with(text, prefix); });
}

// The working buffers of a conversion, kept for their storage alone: the
// inline pass's two, the escaped line, and the streaming output's line.
struct Buffers {
    markdown::InlineScratch inline_pass;
    scratch::Bytes escaped;
    scratch::Bytes line;
};

// The line with "&", "<", ">" and '"' as entities: the line itself when it
// holds none, else a view into `buffer`.
std::string_view escaped(std::string_view line, scratch::Bytes& buffer) {
    if (!bytes::any_in_class<escape::Html>(line)) return line;
    const std::size_t first = bytes::find_in_class<escape::Html>(line, 0, line.size());
    const std::size_t size = line.size() + escape::growth<escape::Html>(line, first, line.size());
    char* const text = buffer.take(size);
    escape::copy_escaped<escape::Html>(bytes::copy(text, line.data(), first), line, first, line.size());
    return {text, size};
}

// Which scratch buffer holds `text` where the inline pass leaves a result
// (at the lead), if any: there the block tags can be written around it in
// place.
std::string* buffer_holding(std::string_view text, markdown::InlineScratch& scratch) {
    for (std::string* buffer : {&scratch.front, &scratch.back}) {
        if (buffer->size() >= scratch.lead + text.size() && text.data() == buffer->data() + scratch.lead) {
            return buffer;
        }
    }
    return nullptr;
}

// Output lines into a LineList, each a string of its own. A long text that
// the inline pass left in a scratch buffer becomes the line itself, tags
// added in place, when the buffer is no larger than the line needs (the
// line would keep the rest of it); anything else is copied into a string
// sized exactly.
class ListOutput {
public:
    explicit ListOutput(std::size_t input_lines) {
        // Lists add two lines each; room for a few spares a late
        // reallocation (and the move of every line made so far).
        html_.reserve(input_lines + input_lines / 8 + 2);
    }

    void list_line(std::string_view tag) { html_.emplace_back(tag); }

    void line(const Tags& tags, std::string_view text, markdown::InlineScratch& scratch) {
        const std::size_t size = tags.open.size() + text.size() + tags.close.size();
        if (text.size() >= scratch::kLongLine) {
            std::string* buffer = buffer_holding(text, scratch);
            if (buffer && buffer->capacity() <= size + size / kMaxSlackShare) {
                return hand_over(*buffer, tags, text, scratch);
            }
            std::string& line = html_.emplace_back();  // reserved, not zeroed: one pass over the bytes
            line.reserve(size);
            line.append(tags.open).append(text).append(tags.close);
            return;
        }
        std::string& line = html_.emplace_back(size, '\0');
        char* out = bytes::copy_short(line.data(), tags.open);
        out = bytes::copy(out, text);
        bytes::copy_short(out, tags.close);
    }

    LineList take() { return std::move(html_); }

private:
    // A handed-over line keeps at most this share of its size as spare capacity.
    static constexpr std::size_t kMaxSlackShare = 32;

    void hand_over(std::string& buffer, const Tags& tags, std::string_view text, markdown::InlineScratch& scratch) {
        // The opening tag goes into the lead, right before the text; only a
        // tag shorter than the lead (a plain line left unwrapped) moves the
        // text. The capacity has room for the closing tag.
        const std::size_t start = scratch.lead - tags.open.size();
        buffer.resize(scratch.lead + text.size());
        buffer.replace(start, tags.open.size(), tags.open.data(), tags.open.size());
        buffer.erase(0, start).append(tags.close);
        html_.push_back(std::move(buffer));
        buffer.clear();
    }

    LineList html_;
};

// Output lines to a sink, each as a view. A text in a scratch buffer gets its
// tags written around it in place; a text the inline pass left in the input
// line is put together with its tags in a buffer of the output's own.
class SinkOutput {
public:
    SinkOutput(LineSink sink, scratch::Bytes& line) : sink_(sink), line_(line) {}

    void list_line(std::string_view tag) { sink_(tag); }

    void line(const Tags& tags, std::string_view text, markdown::InlineScratch& scratch) {
        if (std::string* buffer = buffer_holding(text, scratch)) {
            const std::size_t start = scratch.lead - tags.open.size();
            const std::size_t end = scratch.lead + text.size() + tags.close.size();
            if (buffer->size() < end) buffer->resize(end);  // within the room kept for tags
            bytes::copy_short(buffer->data() + start, tags.open);
            bytes::copy_short(buffer->data() + scratch.lead + text.size(), tags.close);
            return sink_(std::string_view(buffer->data() + start, end - start));
        }
        if (tags.open.empty()) return sink_(text);  // a plain line left unwrapped, as it came
        const std::size_t size = tags.open.size() + text.size() + tags.close.size();
        char* const line = line_.take(size);
        char* out = bytes::copy_short(line, tags.open);
        out = bytes::copy(out, text);
        bytes::copy_short(out, tags.close);
        sink_(std::string_view(line, size));
    }

private:
    LineSink sink_;
    scratch::Bytes& line_;
};

// The block rules over the lines, in one pass, starting with a list open or
// not; returns whether one is open after the last line. Of one line's
// conversion only that matters to the next, so a document may come in any
// number of calls.
// Out of line, each instantiation a function of its own: inlined into one
// caller beside the others, it would leave its per-line helpers as calls.
template <bool kEscape, class Lines, class Output>
[[gnu::noinline]] bool convert(const Lines& lines, bool in_list, Buffers& buffers, Output& out) {
    markdown::InlineScratch& scratch = buffers.inline_pass;
    for (const std::string_view line : lines) {
        // Escaped first: the rules then see the entities as plain text, and
        // no prefix, delimiter or line break they look for is escaped.
        std::string_view text = kEscape ? escaped(line, buffers.escaped) : line;
        Tags tags{};
        bool plain = false;
        if (const std::size_t level = heading_level(text)) {
            // Headings leave an open list open.
            tags = kHeadingTags[level];
            text.remove_prefix(level + 1);
        } else if (is_list_item(text)) {
            if (!in_list) out.list_line(kListOpen);
            in_list = true;
            tags = kItemTags;
            text.remove_prefix(kItemPrefix.size());
        } else {
            if (in_list) out.list_line(kListClose);
            in_list = false;
            plain = true;
        }
        // The tags hold no delimiter byte and sit at the line's ends, so running
        // the inline pass on the text alone gives the same spans.
        scratch.lead = plain ? kParagraphTags.open.size() : tags.open.size();
        text = markdown::render_inline_spans(text, scratch);
        if (plain && wraps_as_paragraph(text)) tags = kParagraphTags;
        out.line(tags, text, scratch);
    }
    return in_list;
}

template <class Lines, class Output>
bool convert(const Lines& lines, bool in_list, Buffers& buffers, Output& out, MarkdownOptions options) {
    return options.escape ? convert<true>(lines, in_list, buffers, out) : convert<false>(lines, in_list, buffers, out);
}

// A document fed in any number of calls.
struct Stream {
    explicit Stream(MarkdownOptions options_) : options(options_) {}

    MarkdownOptions options;
    bool in_list = false;
    Buffers buffers;

    void feed(LineViews lines, LineSink sink) {
        SinkOutput out(sink, buffers.line);
        try {
            in_list = convert(lines, in_list, buffers, out, options);
        } catch (...) {
            in_list = false;  // the document is cut short; what comes next starts a new one
            throw;
        }
    }
    void finish(LineSink sink) {
        // Fresh again before the sink sees the line, so that a sink that
        // throws leaves no list open for the next document.
        const bool was_in_list = in_list;
        in_list = false;
        if (was_in_list) sink(kListClose);
    }
};

}  // namespace

struct MarkdownStream::State {
    Stream stream;
};

MarkdownStream::MarkdownStream(MarkdownOptions options) : state_(new State{Stream(options)}) {}
MarkdownStream::~MarkdownStream() = default;
MarkdownStream::MarkdownStream(MarkdownStream&&) noexcept = default;
MarkdownStream& MarkdownStream::operator=(MarkdownStream&&) noexcept = default;

void MarkdownStream::feed(LineViews lines, LineSink sink) { state_->stream.feed(lines, sink); }
void MarkdownStream::finish(LineSink sink) { state_->stream.finish(sink); }
bool MarkdownStream::list_open() const { return state_->stream.in_list; }
void MarkdownStream::resume(bool list_open) { state_->stream.in_list = list_open; }

bool MarkdownStream::list_open_after(std::string_view line, bool open_before) {
    // Escaping changes none of the bytes that these prefixes are made of.
    if (heading_level(line)) return open_before;
    return is_list_item(line);
}

LineList md_to_html(const LineList& lines, MarkdownOptions options) {
    ListOutput out(lines.size());
    Buffers buffers;
    if (convert(lines, false, buffers, out, options)) out.list_line(kListClose);
    return out.take();
}

LineList md_to_html(const LineList& lines) { return md_to_html(lines, MarkdownOptions{}); }

void md_to_html(LineViews lines, LineSink sink, MarkdownOptions options) {
    // The stream's own code, on a state that lives on the stack.
    Stream stream(options);
    stream.feed(lines, sink);
    stream.finish(sink);
}

void md_to_html(LineViews lines, LineSink sink) { md_to_html(lines, sink, MarkdownOptions{}); }

}  // namespace zendral
