// The lines of a file named by a path, as csv_file_to_json reads them: the
// library's one line reader, in blocks of 64 KiB, a signal's interruption
// retried without a word, and failures as csv_file_to_json reports them.
#pragma once

#include <stdexcept>
#include <string>

#include <fcntl.h>

#include "../common/line_reader.hpp"

namespace zendral::key_value {

// Calls on_line(std::string_view) for every line of the file at `path`, in
// order. Lines end at LF only (CR is data); bytes after the last LF form a
// final line. The view is valid only during the call.
// Throws std::invalid_argument("embedded null byte") for a path holding NUL
// (open(2) would stop at it and name another file), and std::runtime_error
// "Could not open file: <path>" or "Could not read file: <path>".
template <class OnLine>
void for_each_file_line(const std::string& path, OnLine&& on_line) {
    constexpr std::size_t kReadChunk = 64 * 1024;
    if (path.find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte");
    const auto retry = [] {};
    const lines::UniqueFd file(lines::open_file(path.c_str(), O_RDONLY, retry));
    if (file.get() < 0) throw std::runtime_error("Could not open file: " + path);
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    if (lines::each_line_of(file.get(), kReadChunk, on_line, retry) != 0) {
        throw std::runtime_error("Could not read file: " + path);
    }
}

}  // namespace zendral::key_value
