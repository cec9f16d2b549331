// The inline substitutions as left-to-right scans instead of regular
// expressions: a backtracking engine recurses once per byte of a span (a long
// span overflows the stack) and is far slower. Each scan finds exactly the
// match that the expression's leftmost, lazy or class-bounded search finds,
// and each moves only forward, so every rule is linear in the line's length.
#include "inline_spans.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <utility>

#include "../common/bytes.hpp"
#include "../common/scratch.hpp"
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

// The rules, applied in this order: doubled delimiters before single ones,
// code last. Everything else about them (which bytes are counted, which
// count each rule reads, when a line is left alone, how much room a result
// gets) is derived from this table.
constexpr InlineRule kRules[] = {
    {'*', 2, SpanContent::kShortestWithinLine, "<strong>", "</strong>"},
    {'_', 2, SpanContent::kRunWithoutDelimiter, "<strong>", "</strong>"},
    {'*', 1, SpanContent::kShortestWithinLine, "<em>", "</em>"},
    {'_', 1, SpanContent::kRunWithoutDelimiter, "<em>", "</em>"},
    {'`', 1, SpanContent::kRunWithoutDelimiter, "<code>", "</code>"},
};
constexpr std::size_t kRuleCount = std::size(kRules);

constexpr bool is_line_break(char byte) { return byte == '\n' || byte == '\r'; }

constexpr bool tag_holds(std::string_view tag, char byte) {
    for (const char c : tag) {
        if (c == byte) return true;
    }
    return false;
}

// Whether no tag of any rule holds a delimiter byte of any rule or a line
// break. The pass relies on it twice: a later rule never matches inside a
// tag an earlier one wrote (so a rule's count only ever goes down), and the
// block tags around the text need not be in the text the rules see.
constexpr bool tags_are_inert() {
    for (const InlineRule& rule : kRules) {
        for (const InlineRule& other : kRules) {
            for (const std::string_view tag : {rule.open_tag, rule.close_tag}) {
                if (tag_holds(tag, other.delimiter) || tag_holds(tag, '\n') || tag_holds(tag, '\r')) return false;
            }
        }
    }
    return true;
}
static_assert(tags_are_inert(), "a tag may hold no delimiter byte and no line break");

constexpr bool rules_are_well_formed() {
    for (const InlineRule& rule : kRules) {
        if (rule.width < 1 || is_line_break(rule.delimiter)) return false;
        // The room a result gets grows with each span: its tags may not be
        // shorter than the delimiters they replace.
        if (rule.open_tag.size() + rule.close_tag.size() < 2 * rule.width) return false;
    }
    return true;
}
static_assert(rules_are_well_formed(), "a rule's delimiter is one byte, no line break, and its tags outweigh it");

// The distinct delimiter bytes in the order the table first names them;
// each has a counter, numbered by that order.
constexpr std::size_t count_delimiters() {
    std::size_t distinct = 0;
    for (std::size_t i = 0; i < kRuleCount; ++i) {
        bool seen = false;
        for (std::size_t j = 0; j < i; ++j) seen = seen || kRules[j].delimiter == kRules[i].delimiter;
        if (!seen) ++distinct;
    }
    return distinct;
}
constexpr std::size_t kDelimiterCount = count_delimiters();

// The counted bytes: the delimiters, then LF and CR, which bound a lazy span.
struct CountedBytes {
    char bytes[kDelimiterCount + 2];
};

constexpr CountedBytes counted_bytes() {
    CountedBytes counted{};
    std::size_t next = 0;
    for (const InlineRule& rule : kRules) {
        bool seen = false;
        for (std::size_t k = 0; k < next; ++k) seen = seen || counted.bytes[k] == rule.delimiter;
        if (!seen) counted.bytes[next++] = rule.delimiter;
    }
    counted.bytes[next++] = '\n';
    counted.bytes[next++] = '\r';
    return counted;
}
constexpr CountedBytes kCounted = counted_bytes();
constexpr std::size_t kLineFeedCounter = kDelimiterCount;
constexpr std::size_t kCarriageReturnCounter = kDelimiterCount + 1;
static_assert(kCounted.bytes[kLineFeedCounter] == '\n' && kCounted.bytes[kCarriageReturnCounter] == '\r',
              "the line breaks' counters follow the delimiters'");

// Which counter holds the count of a delimiter byte.
constexpr std::size_t counter_of(char delimiter) {
    std::size_t k = 0;
    while (k < kDelimiterCount && kCounted.bytes[k] != delimiter) ++k;
    return k;
}

// The fewest bytes of each delimiter that some rule needs for one span: a
// line with fewer of every one is left as it is.
constexpr std::array<std::size_t, kDelimiterCount> least_for_a_span() {
    std::array<std::size_t, kDelimiterCount> least{};
    for (std::size_t& bytes : least) bytes = std::string_view::npos;
    for (const InlineRule& rule : kRules) {
        std::size_t& bytes = least[counter_of(rule.delimiter)];
        bytes = std::min(bytes, 2 * rule.width);
    }
    return least;
}
constexpr std::array<std::size_t, kDelimiterCount> kLeastForASpan = least_for_a_span();

struct Span {
    std::size_t start;        // first byte of the opening delimiter
    std::size_t content;      // first byte of the content
    std::size_t content_end;  // first byte of the closing delimiter
    std::size_t end;          // one past the closing delimiter
};

// First position in [from, to) where the rule's delimiter bytes start and fit.
template <std::size_t kIndex>
std::size_t find_delimiter(std::string_view text, std::size_t from, std::size_t to) {
    constexpr const InlineRule& kRule = kRules[kIndex];
    static_assert(kRule.width <= 2, "a run of one or two delimiter bytes");
    for (;;) {
        const std::size_t at = bytes::find(text, kRule.delimiter, from, to);
        if (at == kNone || kRule.width == 1) return at;
        if (at + 1 < to && text[at + 1] == kRule.delimiter) return at;
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
            at_ = bytes::find(text, byte_, pos, text.size());
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

// Finds the spans of one rule, left to right, never overlapping. The rule is
// a template argument so that each scan is compiled for its own delimiter.
template <std::size_t kIndex>
class SpanFinder {
    static constexpr const InlineRule& kRule = kRules[kIndex];

public:
    SpanFinder(std::string_view text, bool has_line_breaks) : text_(text), has_line_breaks_(has_line_breaks) {}

    bool next(std::size_t pos, Span& span) {
        if constexpr (kRule.content == SpanContent::kShortestWithinLine) {
            return next_shortest(pos, span);
        } else {
            return next_run(pos, span);
        }
    }

private:
    // D(.*?)D: the content ends at the first closing delimiter before the next
    // LF or CR. If an opening delimiter finds none, no later opening before that
    // line break can either, so the search resumes after the break.
    bool next_shortest(std::size_t pos, Span& span) {
        for (;;) {
            const std::size_t open = find_delimiter<kIndex>(text_, pos, text_.size());
            if (open == kNone) return false;
            const std::size_t content = open + kRule.width;
            const std::size_t stop = has_line_breaks_ ? std::min(lf_.at_or_after(text_, content),
                                                                 cr_.at_or_after(text_, content))
                                                      : text_.size();
            const std::size_t close = find_delimiter<kIndex>(text_, content, stop);
            if (close != kNone) {
                span = {open, content, close, close + kRule.width};
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
            const std::size_t open = find_delimiter<kIndex>(text_, pos, text_.size());
            if (open == kNone) return false;
            const std::size_t content = open + kRule.width;
            const std::size_t close = bytes::find(text_, kRule.delimiter, content, text_.size());
            if (close == kNone) return false;
            if (close > content &&
                (kRule.width == 1 || (close + 1 < text_.size() && text_[close + 1] == kRule.delimiter))) {
                span = {open, content, close, close + kRule.width};
                return true;
            }
            // Empty content: the delimiter byte right after the opening may start
            // the next candidate. Otherwise none can start before `close`.
            pos = close == content ? open + 1 : close;
        }
    }

    std::string_view text_;
    bool has_line_breaks_;
    NextByte lf_{'\n'};
    NextByte cr_{'\r'};
};

// Appends to a buffer used as raw storage: its size is the part ready for
// writing and only ever grows, so the copying loop checks room once per piece
// and no byte of the buffer is cleared more than once in its life. The
// expected length is reserved up front, but made ready (cleared) only a step
// ahead of the writing: clearing all of a long buffer first would cost one
// more pass over memory that no longer fits the cache.
class BufferWriter {
public:
    // The text starts `lead` bytes into the buffer.
    BufferWriter(std::string& buffer, std::size_t expected, std::size_t lead)
        : buffer_(buffer), lead_(lead), length_(lead) {
        scratch::reserve_dropping_content(buffer_, lead + expected);
        ready();
        if (lead > ready_) make_room(lead);
    }
    [[gnu::always_inline]] void append(const char* from, std::size_t size) {
        if (length_ + size > ready_) make_room(length_ + size);
        bytes::copy(data_ + length_, from, size);
        length_ += size;
    }
    void append(std::string_view bytes) { append(bytes.data(), bytes.size()); }
    std::string_view text() const { return {data_ + lead_, length_ - lead_}; }

private:
    static constexpr std::size_t kStep = 64 * 1024;

    void make_room(std::size_t needed) {
        if (needed > buffer_.capacity()) buffer_.reserve(std::max(needed, 2 * buffer_.capacity()));
        buffer_.resize(std::max(needed, std::min(buffer_.size() + kStep, buffer_.capacity())));
        ready();
    }
    // The string's storage and ready part, kept here: asking the string at
    // every piece costs a branch on its short form in some libraries (libc++).
    void ready() {
        data_ = buffer_.data();
        ready_ = buffer_.size();
    }

    std::string& buffer_;
    char* data_ = nullptr;
    std::size_t ready_ = 0;
    std::size_t lead_;
    std::size_t length_;
};

// The state of one line's pass: the text so far, where the next result
// goes, and how many of each counted byte the text still holds.
struct Pass {
    std::string_view text;
    std::string* spare;  // never the buffer `text` views
    std::string* other;
    std::size_t lead;
    std::array<std::size_t, std::size(kCounted.bytes)> counts;

    template <std::size_t kIndex>
    std::size_t& remaining() {
        return counts[counter_of(kRules[kIndex].delimiter)];
    }
    bool has_line_breaks() const { return counts[kLineFeedCounter] + counts[kCarriageReturnCounter] != 0; }
    bool may_hold_a_span() const {
        for (std::size_t k = 0; k < kDelimiterCount; ++k) {
            if (counts[k] >= kLeastForASpan[k]) return true;
        }
        return false;
    }
};

// Replaces every span of the rule in the pass's text. A rule takes 2 * width
// of its own delimiter bytes per span and adds none, so it is skipped when
// too few remain.
template <std::size_t kIndex>
void substitute(Pass& pass) {
    constexpr const InlineRule& kRule = kRules[kIndex];
    std::size_t& delimiters = pass.remaining<kIndex>();
    if (delimiters < 2 * kRule.width) return;
    const std::string_view text = pass.text;
    SpanFinder<kIndex> finder(text, pass.has_line_breaks());
    Span span{};
    if (!finder.next(0, span)) return;

    constexpr std::size_t kGrowth = kRule.open_tag.size() + kRule.close_tag.size() - 2 * kRule.width;
    // Sized for as many spans as the delimiters allow, so that the buffer is
    // not grown (and copied) while it is written.
    BufferWriter out(*pass.spare, text.size() + kGrowth * (delimiters / (2 * kRule.width)) + kBlockTagRoom,
                     pass.lead);
    std::size_t copied = 0;
    do {
        out.append(text.data() + copied, span.start - copied);
        out.append(kRule.open_tag);
        out.append(text.data() + span.content, span.content_end - span.content);
        out.append(kRule.close_tag);
        copied = span.end;
        delimiters -= 2 * kRule.width;
    } while (finder.next(copied, span));
    out.append(text.data() + copied, text.size() - copied);
    pass.text = out.text();
    std::swap(pass.spare, pass.other);
}

template <std::size_t... kIndex>
void substitute_all(Pass& pass, std::index_sequence<kIndex...>) {
    (substitute<kIndex>(pass), ...);
}

}  // namespace

std::string_view render_inline_spans(std::string_view line, InlineScratch& scratch) {
    // Counting the delimiters once tells which rules can match at all: most
    // lines have no pair of any. Without LF or CR, which no rule adds, the
    // asterisk rules need not look for line breaks.
    Pass pass{line, &scratch.front, &scratch.back, scratch.lead, bytes::count_each(line, kCounted.bytes)};
    if (!pass.may_hold_a_span()) return line;
    substitute_all(pass, std::make_index_sequence<kRuleCount>());
    return pass.text;
}

}  // namespace markdown

std::string render_inline_spans(std::string_view line) {
    markdown::InlineScratch scratch;
    return std::string(markdown::render_inline_spans(line, scratch));
}

}  // namespace zendral
