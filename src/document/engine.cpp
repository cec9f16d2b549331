// The runs: a document in memory, and a file read in blocks.
#include <cerrno>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "converter.hpp"
#include "files.hpp"
#include "lanes.hpp"
#include "page.hpp"
#include "zendral/document.hpp"
#include "zendral/utf8.hpp"

namespace zendral {
namespace document {
namespace {

// Lines handed to a converter per call when a whole document is in memory.
constexpr std::size_t kLinesPerCall = 4096;

void check(DocumentKind kind, const DocumentOptions& options, std::size_t block) {
    if (options.page && kind != DocumentKind::markdown) throw std::invalid_argument("a page is made of Markdown only");
    if (block == 0) throw std::invalid_argument("the block size must be at least 1");
}

void drain_all(Drain* drain, Output& out, DocumentHooks& hooks) {
    if (!drain) return;
    Working working(hooks);
    drain->write(out.buffer().view(), working);
    out.drained();
}

DocumentCounts run_memory(std::string_view document, ByteBuffer& buffer, Drain* drain, DocumentKind kind,
                          const DocumentOptions& options, DocumentHooks& hooks) {
    check(kind, options, 1);
    if (!drain) buffer.reserve(buffer.size() + document.size() + document.size() / 4 + 64);
    Output out(buffer);
    Converter converter(kind, options.escape);
    if (options.page) {
        const std::optional<std::string> heading = page::first_heading(document, true);
        page::write_header(out, heading ? *heading : page::fallback_title(options, {}), options);
    }
    std::vector<std::string_view> lines;
    lines.reserve(kLinesPerCall);
    for (std::size_t start = 0; start < document.size();) {
        {
            Working working(hooks);
            lines.clear();
            start = lines::each_line(document, start, kLinesPerCall, [&](std::string_view line) { lines.push_back(line); });
            if (lines.size() < kLinesPerCall && start < document.size()) {
                lines.push_back(document.substr(start));  // the last line, without LF
                start = document.size();
            }
            converter.feed(lines, out);
            if (drain && buffer.size() >= kDocumentBlock) {
                drain->write(buffer.view(), working);
                out.drained();
            }
        }
        hooks.checkpoint();
    }
    converter.finish(out);
    if (options.page) page::write_footer(out);
    drain_all(drain, out, hooks);
    return out.counts(document.size());
}

class FileRun {
public:
    FileRun(FileSource& source, Drain& drain, DocumentKind kind, const DocumentOptions& options,
            DocumentHooks& hooks, std::size_t block)
        : source_(source), drain_(drain), kind_(kind), options_(options), hooks_(hooks), block_(block),
          converter_(kind, options.escape), out_(buffer_),
          each_read_(!source.regular() && kind == DocumentKind::key_value) {}

    DocumentCounts run();

private:
    bool first_block();
    std::optional<std::string> look_ahead(Working& working);
    void take_lines(bool ended, std::size_t known);
    void convert(const std::vector<std::string_view>& lines);
    void drain_if_due(Working& working);
    bool in_lanes() const;
    DocumentCounts run_in_lanes();
    std::size_t read(Working& working) {
        const std::size_t got = source_.read(working);
        read_bytes_ += got;
        return got;
    }

    FileSource& source_;
    Drain& drain_;
    DocumentKind kind_;
    const DocumentOptions& options_;
    DocumentHooks& hooks_;
    std::size_t block_;
    Converter converter_;
    ByteBuffer buffer_;
    Output out_;
    // A pipe or terminal gives what has arrived: key=value lines are
    // written as they come. A file's are written in blocks.
    bool each_read_;
    std::vector<std::string_view> lines_;
    std::uint64_t read_bytes_ = 0;
    std::uint64_t line_number_ = 1;
    std::optional<NotUtf8Error> bad_;
};

DocumentCounts FileRun::run() {
    bool ended = first_block();
    {
        Working working(hooks_);
        drain_.open(working, &source_.status());
        if (options_.page) {
            std::optional<std::string> title = page::first_heading(source_.reader().data(), ended);
            if (!title && !ended && source_.regular()) title = look_ahead(working);
            page::write_header(out_, title ? *title : page::fallback_title(options_, source_.path()), options_);
        }
        take_lines(ended, 0);
        drain_if_due(working);
    }
    hooks_.checkpoint();
    if (!ended && in_lanes()) return run_in_lanes();
    while (!ended) {
        {
            Working working(hooks_);
            const std::size_t known = source_.reader().data().size();
            ended = read(working) == 0;
            take_lines(ended, known);
            drain_if_due(working);
        }
        hooks_.checkpoint();
    }
    if (bad_) throw *bad_;
    converter_.finish(out_);
    if (options_.page) page::write_footer(out_);
    drain_all(&drain_, out_, hooks_);
    return out_.counts(read_bytes_);
}

// The first block, read before the target is touched. For a page from a
// pipe, a whole block: the heading is looked for there.
bool FileRun::first_block() {
    Working working(hooks_);
    bool ended = read(working) == 0;
    if (options_.page && !source_.regular()) {
        while (!ended && source_.reader().data().size() < block_) ended = read(working) == 0;
    }
    return ended;
}

// A regular file's first heading after the first block, read from where the
// reading stands without moving it, a block at a time.
std::optional<std::string> FileRun::look_ahead(Working& working) {
    off_t at = ::lseek(source_.fd(), 0, SEEK_CUR);
    if (at < 0) return std::nullopt;
    const std::string_view first = source_.reader().data();
    lines::BlockReader ahead(block_);
    ahead.keep(first.substr(lines::each_line(first, 0, ~std::size_t{0}, [](std::string_view) {})));
    for (;;) {
        const std::size_t known = ahead.data().size();
        const long got = ahead.read_from(source_.fd(), working.on_interrupt(), at);
        if (got < 0) throw FileError(FileSide::source, errno);
        at += got;
        std::size_t end = 0;
        std::optional<std::string> title = page::first_heading(ahead.data(), got == 0, known, &end);
        if (title || got == 0) return title;
        ahead.keep_from(end);
    }
}

// Converts the lines that the reader holds whole (and at the end the last
// one, without LF), and keeps the start of a line cut off.
void FileRun::take_lines(bool ended, std::size_t known) {
    lines::BlockReader& reader = source_.reader();
    const std::string_view data = reader.data();
    if (bad_) return reader.keep_from(data.size());  // read on: a read failure later in the input wins
    lines_.clear();
    std::size_t end = lines::each_line(data, 0, ~std::size_t{0}, [&](std::string_view line) { lines_.push_back(line); },
                                       known);
    if (ended && end < data.size()) {
        lines_.push_back(data.substr(end));
        end = data.size();
    }
    if (!lines_.empty()) convert(lines_);
    reader.keep_from(end);
}

// Converts the lines and checks their output; a line whose output is not
// UTF-8 is named and none of the block's output kept.
void FileRun::convert(const std::vector<std::string_view>& lines) {
    const std::size_t mark = buffer_.size();
    converter_.feed(lines, out_);
    std::size_t index = 0;
    std::string output;
    if (!converter_.output_is_utf8(lines, out_.since(mark), index, output)) {
        buffer_.shrink_to(mark);
        bad_.emplace(line_number_ + index, std::move(output));
        if (!source_.regular()) throw *bad_;  // a pipe may never end: reported now
    }
    line_number_ += lines.size();
}

void FileRun::drain_if_due(Working& working) {
    if (bad_) return;  // the run fails: what the target holds stops before the block of that line
    if (buffer_.size() >= block_ || (each_read_ && buffer_.size())) {
        drain_.write(buffer_.view(), working);
        out_.drained();
    }
}

// Threads pay where blocks of a file remain to be written to a file.
bool FileRun::in_lanes() const {
    const auto size = static_cast<std::uint64_t>(source_.status().st_size);
    return options_.threads > 1 && !bad_ && source_.regular() && drain_.regular() && size > read_bytes_ + block_;
}

// The first block's output goes first; the lanes take the rest, to the
// document's end; then a page's footer.
DocumentCounts FileRun::run_in_lanes() {
    drain_all(&drain_, out_, hooks_);
    const LaneStart start{source_.fd(), source_.reader().data(), line_number_, kind_, converter_.list_open()};
    const unsigned threads = options_.threads < kDocumentThreads ? options_.threads : kDocumentThreads;
    const LaneCounts lanes = convert_in_lanes(start, drain_, options_.escape, block_, threads, hooks_);
    if (options_.page) page::write_footer(out_);
    drain_all(&drain_, out_, hooks_);
    DocumentCounts counts = out_.counts(read_bytes_ + lanes.input_bytes);
    counts.output_lines += lanes.output_lines;
    counts.output_bytes += lanes.output_bytes;
    return counts;
}

DocumentCounts run_file(const DocumentFile& source_file, Drain& drain, DocumentKind kind,
                        const DocumentOptions& options, DocumentHooks* hooks, std::size_t block) {
    check(kind, options, block);
    DocumentHooks& chosen = hooks ? *hooks : no_hooks();
    FileSource source(source_file, block, chosen);
    return FileRun(source, drain, kind, options, chosen, block).run();
}

}  // namespace

bool Converter::output_is_utf8(LineViews lines, std::string_view made, std::size_t& index,
                               std::string& output) const {
    if (bytes::is_ascii(made) || utf8::is_valid(made)) return true;
    if (!find_not_utf8(lines, index, output)) {
        throw std::logic_error("zendral_document: no line found for output that is not UTF-8");
    }
    return false;
}

bool Converter::find_not_utf8(LineViews lines, std::size_t& index, std::string& output) const {
    ByteBuffer one;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        one.clear();
        Output out(one);
        Converter alone(kind_, escape_);
        alone.feed(LineViews(&lines.begin()[i], 1), out);
        alone.finish(out);
        std::string_view rest = one.view();
        for (std::size_t end; (end = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(end + 1)) {
            if (!utf8::is_valid(rest.substr(0, end))) {
                index = i;
                output.assign(rest.substr(0, end));
                return true;
            }
        }
    }
    return false;
}

}  // namespace document

DocumentCounts convert_document(std::string_view document, DocumentKind kind, const DocumentOptions& options,
                                ByteBuffer& out, DocumentHooks* hooks) {
    return document::run_memory(document, out, nullptr, kind, options, hooks ? *hooks : document::no_hooks());
}

DocumentCounts convert_document(std::string_view document, DocumentKind kind, const DocumentOptions& options,
                                DocumentSink& sink, DocumentHooks* hooks) {
    ByteBuffer buffer;
    document::SinkDrain drain(sink);
    return document::run_memory(document, buffer, &drain, kind, options, hooks ? *hooks : document::no_hooks());
}

DocumentCounts convert_file(const DocumentFile& source, const DocumentFile& target, DocumentKind kind,
                            const DocumentOptions& options, DocumentHooks* hooks, std::size_t block) {
    document::FileDrain drain(target);
    return document::run_file(source, drain, kind, options, hooks, block);
}

DocumentCounts convert_file(const DocumentFile& source, DocumentSink& sink, DocumentKind kind,
                            const DocumentOptions& options, DocumentHooks* hooks, std::size_t block) {
    document::SinkDrain drain(sink);
    return document::run_file(source, drain, kind, options, hooks, block);
}

}  // namespace zendral
