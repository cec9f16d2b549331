// A regular file on several threads. Each thread takes the next block in
// turn (reading it after the start of a line that the read before cut off),
// converts it while the others convert theirs, and writes it in its turn.
// Key=value lines are independent of each other; a Markdown line depends on
// the lines before it only through whether a list is open, which the reader
// of a block finds from its last lines and hands on. The output, its checks
// and its errors are those of one thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "files.hpp"

namespace zendral::document {

// Where a run hands over to the lanes: the source's descriptor, read up to
// its current offset; the start of a line that the last read cut off; the
// number of that line; whether the lines before leave a list open.
struct LaneStart {
    int source = -1;
    std::string_view carry;
    std::uint64_t line_number = 1;
    DocumentKind kind = DocumentKind::key_value;
    bool list_open = false;
};

struct LaneCounts {
    std::uint64_t input_bytes = 0;
    std::uint64_t output_lines = 0;
    std::uint64_t output_bytes = 0;
};

// Converts the rest of the source into `drain` on `threads` threads, the
// caller's among them (the only one that calls `hooks`), and ends the
// document (a Markdown list left open is closed). Throws as a run does:
// FileError, or NotUtf8Error once the rest has been read. Falls back to
// fewer threads when the system gives none.
LaneCounts convert_in_lanes(const LaneStart& start, Drain& drain, bool escape, std::size_t block,
                            unsigned threads, DocumentHooks& hooks);

}  // namespace zendral::document
