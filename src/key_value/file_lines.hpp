// Reads a file line by line: a fixed buffer filled by read(2), lines found
// with memchr and handed over straight from the buffer. Only a line that
// straddles two reads is copied. Unlike std::getline this tells a read error
// from the end of the file, so a failing read is reported instead of passing
// for a short file.
#pragma once

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

namespace zendral::key_value {

// Owns a file descriptor so that it is closed on every way out, exceptions
// thrown by a line handler included.
class UniqueFd {
public:
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

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

    // Opening a FIFO blocks until a writer comes, and a signal handler that
    // runs meanwhile interrupts the wait; the file is no less openable.
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    const UniqueFd file(fd);
    if (file.get() < 0) throw std::runtime_error("Could not open file: " + path);
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    const std::unique_ptr<char[]> buffer(new char[kReadChunk]);
    std::string carry;  // the start of a line that the last read cut off
    for (;;) {
        ssize_t got;
        do {
            got = ::read(file.get(), buffer.get(), kReadChunk);
        } while (got < 0 && errno == EINTR);
        if (got < 0) throw std::runtime_error("Could not read file: " + path);
        if (got == 0) break;

        const char* line = buffer.get();
        const char* const end = line + got;
        while (const void* hit = std::memchr(line, '\n', static_cast<std::size_t>(end - line))) {
            const char* newline = static_cast<const char*>(hit);
            const std::string_view piece(line, static_cast<std::size_t>(newline - line));
            if (carry.empty()) {
                on_line(piece);
            } else {
                carry += piece;
                on_line(std::string_view(carry));
                carry.clear();
            }
            line = newline + 1;
        }
        carry.append(line, end);
    }
    if (!carry.empty()) on_line(std::string_view(carry));
}

}  // namespace zendral::key_value
