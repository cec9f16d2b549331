// The five inline substitutions as left-to-right scans instead of regular
// expressions: a backtracking engine recurses once per byte of a span (a long
// span overflows the stack) and is far slower. Each scan finds exactly the
// match that the expression's leftmost, lazy or class-bounded search finds,
// and each moves only forward, so every rule is linear in the line's length.
#include "inline_spans.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "../common/bytes.hpp"
#include "zendral/markdown.hpp"

namespace zendral {
namespace markdown {
namespace {

constexpr std::size_t kNone = std::string_view::npos;

enum class SpanContent {
    kShortestWithinLine,   // (.*?): the fewest bytes, none of them LF or CR
    kRunWithoutDelimiter,  // ([^d]+): one or more bytes, none of them the delimiter
};

struct InlineRule {
    char delimiter;
    std::size_t width;  // delimiter bytes on each side of the content
    SpanContent content;
    std::string_view open_tag;
    std::string_view close_tag;
};

// Order matters: doubled delimiters before single ones, code last.
constexpr InlineRule kInlineRules[] = {
    {'*', 2, SpanContent::kShortestWithinLine, "<strong>", "</strong>"},
    {'_', 2, SpanContent::kRunWithoutDelimiter, "<strong>", "</strong>"},
    {'*', 1, SpanContent::kShortestWithinLine, "<em>", "</em>"},
    {'_', 1, SpanContent::kRunWithoutDelimiter, "<em>", "</em>"},
    {'`', 1, SpanContent::kRunWithoutDelimiter, "<code>", "</code>"},
};

struct Span {
    std::size_t start;        // first byte of the opening delimiter
    std::size_t content;      // first byte of the content
    std::size_t content_end;  // first byte of the closing delimiter
    std::size_t end;          // one past the closing delimiter
};

std::size_t find_byte(std::string_view text, char byte, std::size_t from, std::size_t to) {
    return bytes::find(text, byte, from, to);
}

// First position in [from, to) where `width` delimiter bytes start and fit.
std::size_t find_delimiter(std::string_view text, const InlineRule& rule, std::size_t from,
                           std::size_t to) {
    for (;;) {
        const std::size_t at = find_byte(text, rule.delimiter, from, to);
        if (at == kNone || rule.width == 1) return at;
        if (at + 1 < to && text[at + 1] == rule.delimiter) return at;
        from = at + 2;  // text[at + 1] is no delimiter, so no run starts there
    }
}

// The next occurrence of one byte at or after a position. Callers ask with
// positions that never decrease, so each byte is scanned once per rule.
class NextByte {
public:
    explicit NextByte(char byte) : byte_(byte) {}
    std::size_t at_or_after(std::string_view text, std::size_t pos) {
        if (!known_ || at_ < pos) {
            at_ = find_byte(text, byte_, pos, text.size());
            if (at_ == kNone) at_ = text.size();
            known_ = true;
        }
        return at_;
    }

private:
    char byte_;
    std::size_t at_ = 0;
    bool known_ = false;
};

// Finds the spans of one rule, left to right, never overlapping.
class SpanFinder {
public:
    SpanFinder(const InlineRule& rule, std::string_view text, bool has_line_breaks)
        : rule_(rule), text_(text), has_line_breaks_(has_line_breaks) {}

    bool next(std::size_t pos, Span& span) {
        return rule_.content == SpanContent::kShortestWithinLine ? next_shortest(pos, span)
                                                                 : next_run(pos, span);
    }

private:
    // D(.*?)D: the content ends at the first closing delimiter before the next
    // LF or CR. If an opening delimiter finds none, no later opening before that
    // line break can either, so the search resumes after the break.
    bool next_shortest(std::size_t pos, Span& span) {
        for (;;) {
            const std::size_t open = find_delimiter(text_, rule_, pos, text_.size());
            if (open == kNone) return false;
            const std::size_t content = open + rule_.width;
            const std::size_t stop = has_line_breaks_ ? std::min(lf_.at_or_after(text_, content),
                                                                 cr_.at_or_after(text_, content))
                                                      : text_.size();
            const std::size_t close = find_delimiter(text_, rule_, content, stop);
            if (close != kNone) {
                span = {open, content, close, close + rule_.width};
                return true;
            }
            if (stop == text_.size()) return false;
            pos = stop + 1;
        }
    }

    // D([^d]+)D: the content runs exactly to the next delimiter byte, which
    // must start a closing delimiter and leave the content non-empty.
    bool next_run(std::size_t pos, Span& span) {
        for (;;) {
            const std::size_t open = find_delimiter(text_, rule_, pos, text_.size());
            if (open == kNone) return false;
            const std::size_t content = open + rule_.width;
            const std::size_t close = find_byte(text_, rule_.delimiter, content, text_.size());
            if (close == kNone) return false;
            if (close > content &&
                (rule_.width == 1 || (close + 1 < text_.size() && text_[close + 1] == rule_.delimiter))) {
                span = {open, content, close, close + rule_.width};
                return true;
            }
            // Empty content: the delimiter byte right after the opening may start
            // the next candidate. Otherwise none can start before `close`.
            pos = close == content ? open + 1 : close;
        }
    }

    const InlineRule& rule_;
    std::string_view text_;
    bool has_line_breaks_;
    NextByte lf_{'\n'};
    NextByte cr_{'\r'};
};

// Appends to a buffer used as raw storage: its size is its capacity and only
// ever grows, so the copying loop checks room once per piece and no byte of
// the buffer is cleared more than once in its life.
class BufferWriter {
public:
    BufferWriter(std::string& buffer, std::size_t expected) : buffer_(buffer) {
        if (expected > buffer_.size()) buffer_.resize(expected);
    }
    void append(const char* from, std::size_t size) {
        if (length_ + size > buffer_.size()) buffer_.resize(std::max(length_ + size, 2 * buffer_.size()));
        bytes::copy(buffer_.data() + length_, from, size);
        length_ += size;
    }
    void append(std::string_view bytes) { append(bytes.data(), bytes.size()); }
    std::string_view text() const { return {buffer_.data(), length_}; }

private:
    std::string& buffer_;
    std::size_t length_ = 0;
};

// Writes `text` with every span of `rule` replaced into `buffer` and returns
// a view of it, or returns `text` itself when there is no span.
std::string_view substitute(const InlineRule& rule, std::string_view text, bool has_line_breaks,
                            std::string& buffer) {
    SpanFinder finder(rule, text, has_line_breaks);
    Span span{};
    if (!finder.next(0, span)) return text;

    const std::size_t growth = rule.open_tag.size() + rule.close_tag.size() - 2 * rule.width;
    std::size_t expected = text.size() + growth;
    if (text.size() >= kLongLine) {
        // Every span takes 2 * width delimiter bytes, so their count bounds
        // the result: one quick count spares growing (and copying) a buffer
        // of this size several times.
        expected = text.size() + growth * (bytes::count(text, rule.delimiter) / (2 * rule.width));
    }
    BufferWriter out(buffer, expected + kBlockTagRoom);
    std::size_t copied = 0;
    do {
        out.append(text.data() + copied, span.start - copied);
        out.append(rule.open_tag);
        out.append(text.data() + span.content, span.content_end - span.content);
        out.append(rule.close_tag);
        copied = span.end;
    } while (finder.next(copied, span));
    out.append(text.data() + copied, text.size() - copied);
    return out.text();
}

}  // namespace

std::string_view render_inline_spans(std::string_view line, InlineScratch& scratch) {
    // A rule never adds a delimiter or line break byte, so what is missing
    // from the line stays missing: rules without their delimiter are skipped
    // (most lines have none at all), and without LF or CR the asterisk rules
    // need not look for them.
    constexpr char kLooked[] = {'*', '_', '`', '\n', '\r'};
    const unsigned present = bytes::which_occur(line, kLooked);
    const auto occurs = [present, &kLooked](char byte) {
        unsigned bit = 1;
        for (char looked : kLooked) {
            if (looked == byte) return (present & bit) != 0;
            bit <<= 1;
        }
        return false;
    };
    if (!occurs('*') && !occurs('_') && !occurs('`')) return line;
    const bool has_line_breaks = occurs('\n') || occurs('\r');

    std::string_view current = line;
    std::string* spare = &scratch.front;  // never the buffer `current` views
    std::string* other = &scratch.back;
    for (const InlineRule& rule : kInlineRules) {
        if (!occurs(rule.delimiter)) continue;
        const std::string_view next = substitute(rule, current, has_line_breaks, *spare);
        if (next.data() != current.data()) {
            current = next;
            std::swap(spare, other);
        }
    }
    return current;
}

}  // namespace markdown

std::string render_inline_spans(std::string_view line) {
    markdown::InlineScratch scratch;
    return std::string(markdown::render_inline_spans(line, scratch));
}

}  // namespace zendral
