// One converter of either kind, fed a block of lines at a time, writing
// each output line and its LF into the run's buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "../common/bytes.hpp"
#include "zendral/byte_buffer.hpp"
#include "zendral/document.hpp"
#include "zendral/key_value.hpp"
#include "zendral/markdown.hpp"

namespace zendral::document {

// The output lines of a run, each followed by LF, in a buffer that is
// drained as it fills (or kept whole, for a document in memory).
class Output {
public:
    explicit Output(ByteBuffer& buffer) : buffer_(buffer), start_(buffer.size()) {}

    void line(std::string_view text) {
        ++lines_;
        char* const at = buffer_.extend(text.size() + 1);
        bytes::copy(at, text);
        at[text.size()] = '\n';
    }
    void objects(LineViews lines, KeyValueOptions options) {
        lines_ += lines.size();
        csv_lines_to_json(lines, buffer_, options);
    }

    ByteBuffer& buffer() { return buffer_; }
    // The bytes made since `mark` (a size of the buffer).
    std::string_view since(std::size_t mark) const { return buffer_.view().substr(mark); }
    // The buffer's bytes have gone out: the buffer starts again.
    void drained() {
        drained_ += buffer_.size() - start_;
        buffer_.clear();
        start_ = 0;
    }
    DocumentCounts counts(std::uint64_t input_bytes) const {
        return {input_bytes, lines_, drained_ + buffer_.size() - start_};
    }

private:
    ByteBuffer& buffer_;
    std::size_t start_;  // what the buffer held before the run
    std::uint64_t lines_ = 0;
    std::uint64_t drained_ = 0;
};

class Converter {
public:
    Converter(DocumentKind kind, bool escape) : kind_(kind), escape_(escape), markdown_(MarkdownOptions{escape}) {}

    void feed(LineViews lines, Output& out) {
        if (kind_ == DocumentKind::markdown) {
            return markdown_.feed(lines, [&](std::string_view line) { out.line(line); });
        }
        out.objects(lines, KeyValueOptions{escape_});
    }
    void finish(Output& out) {
        if (kind_ == DocumentKind::markdown) markdown_.finish([&](std::string_view line) { out.line(line); });
    }
    // What the lines fed so far leave for the next block: a Markdown list open
    // or not (key=value lines leave nothing).
    bool list_open() const { return kind_ == DocumentKind::markdown && markdown_.list_open(); }
    void resume(bool list_open) {
        if (kind_ == DocumentKind::markdown) markdown_.resume(list_open);
    }

    // Whether `made`, the output of `lines`, is UTF-8; if not, the first of
    // `lines` whose own output holds a line that is not: its index, and that
    // output line. Markdown adds only ASCII tags around a line's text, so
    // whether its output is UTF-8 does not depend on the lines around it.
    bool output_is_utf8(LineViews lines, std::string_view made, std::size_t& index, std::string& output) const;

private:
    bool find_not_utf8(LineViews lines, std::size_t& index, std::string& output) const;

    DocumentKind kind_;
    bool escape_;
    MarkdownStream markdown_;
};

}  // namespace zendral::document
