// The block engine: whole documents and files through the converters, with
// no object per line. A document in memory is cut into lines at LF and fed
// to a converter a few thousand lines at a time; a file or descriptor is
// read in blocks and its output written in blocks, so that memory stays at
// about a block, its output and the longest line, whatever the file's size.
// Every output line is followed by LF.
//
// The engine knows nothing of its caller. DocumentHooks is how a caller
// (the Python bindings) lets other work run while the engine blocks or
// converts, and stops a run between blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "zendral/byte_buffer.hpp"

namespace zendral {

enum class DocumentKind { markdown, key_value };

// What a conversion makes. A new option is a field here, its use in
// src/document, and a keyword in the bindings.
struct DocumentOptions {
    // As MarkdownOptions::escape and KeyValueOptions::escape.
    bool escape = false;
    // Markdown only: a whole HTML5 document around the converted lines, a
    // line each: <!doctype html>, <html>, <head>, <meta charset="utf-8">,
    // <title>T</title>, the stylesheet's <link> when `css` is given,
    // </head>, <body>; after the lines </body> and </html>. T is the text of
    // the first heading line after its "#"s and space (raw Markdown); with
    // no heading, `title`; then the source path's base name; else
    // "Untitled". T and the URL are escaped as attribute text (& < > "),
    // invalid UTF-8 in them replaced by U+FFFD. The lines between are those
    // the conversion gives without a page. A file from a pipe is looked
    // ahead at most one block for a heading; a regular file until one is
    // found (read again from there on, so memory stays bounded).
    bool page = false;
    std::optional<std::string> title;  // counts with `page` only
    std::optional<std::string> css;    // a stylesheet URL; with `page` only
    // Files only: the threads that convert a regular file into a regular
    // file (at most kDocumentThreads). Beyond one, each takes the next block
    // in turn, converts it while the others convert theirs, and writes it in
    // its turn: the same bytes, the same errors. A pipe or a sink uses the
    // caller's thread alone.
    unsigned threads = 1;
};

constexpr unsigned kDocumentThreads = 16;

// Bytes read per block from a file (the lines are handed over whole: a line
// longer than a block is read in as many as it needs).
constexpr std::size_t kDocumentBlock = 1 << 20;

struct DocumentCounts {
    std::uint64_t input_bytes = 0;
    std::uint64_t output_lines = 0;  // page lines included
    std::uint64_t output_bytes = 0;
};

// The caller's part in a run. work_begins() and work_ends() bracket every
// stretch that needs nothing of the caller: each blocking open, read and
// write, a block's conversion, and the calls to a DocumentSink. checkpoint()
// runs outside them, between blocks and after a blocking call that a
// signal interrupted (EINTR); it may throw to end the run, and the
// exception propagates. The interrupted call is tried again otherwise.
class DocumentHooks {
public:
    virtual void work_begins() {}
    virtual void work_ends() noexcept {}
    virtual void checkpoint() {}

protected:
    ~DocumentHooks() = default;
};

// Where a run's output goes, when not to a file or into memory: runs of
// whole lines, each ending in LF, about a block at a time.
class DocumentSink {
public:
    virtual void write(std::string_view lines) = 0;

protected:
    ~DocumentSink() = default;
};

// A file to read or write: a path, opened (a target created, mode 0666 less
// the umask) and closed by the engine; or an open descriptor, used as it is
// and left open.
class DocumentFile {
public:
    static DocumentFile path(std::string path) { return DocumentFile(std::move(path), -1); }
    static DocumentFile descriptor(int fd) { return DocumentFile({}, fd); }

    bool is_path() const noexcept { return fd_ < 0; }
    const std::string& path() const noexcept { return path_; }
    int descriptor() const noexcept { return fd_; }

private:
    DocumentFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    std::string path_;
    int fd_;
};

enum class FileSide { source, target };

// An open, read, write or truncation that failed: on which side, and the
// errno as code().
class FileError : public std::system_error {
public:
    FileError(FileSide side, int error)
        : std::system_error(error, std::generic_category(), side == FileSide::source ? "source" : "target"),
          side_(side) {}
    FileSide side() const noexcept { return side_; }

private:
    FileSide side_;
};

// An input line whose output is not UTF-8: the line's 1-based number, and
// the first of its output lines that is not.
class NotUtf8Error : public std::runtime_error {
public:
    NotUtf8Error(std::uint64_t line, std::string output)
        : std::runtime_error("line " + std::to_string(line) + ": output is not UTF-8"),
          line_(line), output_(std::move(output)) {}
    std::uint64_t line() const noexcept { return line_; }
    const std::string& output() const noexcept { return output_; }

private:
    std::uint64_t line_;
    std::string output_;
};

// A document in memory, its output appended to `out` (or handed to `sink`
// in blocks). The output is not checked: valid UTF-8 in gives valid UTF-8
// out, since the converters cut at and add ASCII only.
DocumentCounts convert_document(std::string_view document, DocumentKind kind, const DocumentOptions& options,
                                ByteBuffer& out, DocumentHooks* hooks = nullptr);
DocumentCounts convert_document(std::string_view document, DocumentKind kind, const DocumentOptions& options,
                                DocumentSink& sink, DocumentHooks* hooks = nullptr);

// A file or descriptor into a file or descriptor (or `sink`), read in
// blocks of `block` bytes. The source is read before the target is touched:
// a source that cannot be opened or read (a folder, EIO) throws FileError
// and leaves the target as it was. The target is opened once the first
// block is in, then, when it is the same regular file as the source, throws
// std::invalid_argument("the source and the target are the same file");
// a regular target opened by path is then truncated. Output of a block is
// checked to be UTF-8, else NotUtf8Error: the rest of a regular file is
// read first (a read error there wins), a pipe's is not. Nothing of the
// block holding that line is written; blocks before it may have been. A
// key=value source that is no regular file has its output written after
// every read, so that lines go out as they arrive.
DocumentCounts convert_file(const DocumentFile& source, const DocumentFile& target, DocumentKind kind,
                            const DocumentOptions& options, DocumentHooks* hooks = nullptr,
                            std::size_t block = kDocumentBlock);
DocumentCounts convert_file(const DocumentFile& source, DocumentSink& sink, DocumentKind kind,
                            const DocumentOptions& options, DocumentHooks* hooks = nullptr,
                            std::size_t block = kDocumentBlock);

}  // namespace zendral
