// The block engine against the list forms: a document read from a file in
// blocks of a size the input picks gives the list form's lines, each
// followed by LF, or names the first line whose output is not UTF-8; in
// memory it gives the same bytes.
//
// Input: byte 0 picks the kind (bit 0), escaping (bit 1) and a file target
// converted into on three threads (bit 2), bytes 1 and 2 the block size (1 to
// 65,536), the rest is the document, cut at LF.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

#include "fuzz_support.hpp"
#include "zendral/document.hpp"
#include "zendral/key_value.hpp"
#include "zendral/markdown.hpp"
#include "zendral/utf8.hpp"

namespace {

using zendral::DocumentKind;
using zendral::LineList;

struct Collect final : zendral::DocumentSink {
    std::string bytes;
    void write(std::string_view lines) override { bytes += lines; }
};

// A file target (a memfd, regular as a file on disk is), emptied for each
// input; what the run wrote is read back as the sink's bytes.
zendral::DocumentCounts convert_into_file(const std::string& path, DocumentKind kind, zendral::DocumentOptions options,
                                          std::size_t block, Collect& sink) {
    static const int fd = ::memfd_create("zendral-fuzz-target", 0);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) std::abort();
    options.threads = 3;
    struct Read {
        Collect& sink;
        ~Read() {  // whether the run ends or throws
            char buffer[4096];
            ssize_t got;
            for (off_t at = 0; (got = ::pread(fd, buffer, sizeof buffer, at)) > 0; at += got) {
                sink.bytes.append(buffer, static_cast<std::size_t>(got));
            }
        }
    } read_back{sink};
    return zendral::convert_file(zendral::DocumentFile::path(path), zendral::DocumentFile::descriptor(fd), kind, options,
                                 nullptr, block);
}

LineList list_form(DocumentKind kind, const LineList& lines, bool escape) {
    return kind == DocumentKind::markdown ? zendral::md_to_html(lines, {escape})
                                          : zendral::csv_lines_to_json(lines, {escape});
}

// The 1-based number of the first line whose own output is not UTF-8, or 0.
std::uint64_t first_not_utf8(DocumentKind kind, const LineList& lines, bool escape) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        for (const std::string& out : list_form(kind, {lines[i]}, escape)) {
            if (!zendral::utf8::is_valid(out)) return i + 1;
        }
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return -1;
    const DocumentKind kind = data[0] & 1 ? DocumentKind::key_value : DocumentKind::markdown;
    const bool escape = data[0] & 2;
    const bool threads = data[0] & 4;
    const std::size_t block = 1 + (std::size_t{data[1]} << 8 | data[2]);
    const std::string document(reinterpret_cast<const char*>(data) + 3, size - 3);

    // The document cut as a file is: "\n" + document, split at its first byte.
    const LineList lines = zendral::fuzz::split_lines("\n" + document);
    std::string want;
    for (const std::string& line : list_form(kind, lines, escape)) want += line + "\n";

    zendral::ByteBuffer whole;
    zendral::convert_document(document, kind, {escape}, whole);
    zendral::fuzz::require_equal("the engine in memory differs from the list form", document, whole.view(), want);

    Collect sink;
    const std::uint64_t bad = first_not_utf8(kind, lines, escape);
    try {
        const auto path = zendral::fuzz::file_holding(document);
        const auto counts = threads ? convert_into_file(path, kind, {escape}, block, sink)
                                    : zendral::convert_file(zendral::DocumentFile::path(path), sink, kind, {escape}, nullptr, block);
        if (bad) zendral::fuzz::fail("a line not UTF-8 passed", document, sink.bytes, std::to_string(bad));
        zendral::fuzz::require_equal("the engine in blocks differs from the list form", document, sink.bytes, want);
        if (counts.input_bytes != document.size() || counts.output_bytes != want.size()) {
            zendral::fuzz::fail("the counts are wrong", document, std::to_string(counts.output_bytes),
                                std::to_string(want.size()));
        }
    } catch (const zendral::NotUtf8Error& error) {
        if (error.line() != bad) {
            zendral::fuzz::fail("the wrong line is named", document, std::to_string(error.line()), std::to_string(bad));
        }
        if (want.compare(0, sink.bytes.size(), sink.bytes) != 0) {
            zendral::fuzz::fail("a failed run wrote what the list form does not start with", document, sink.bytes, want);
        }
    }
    return 0;
}
