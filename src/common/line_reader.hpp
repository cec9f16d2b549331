// The one way the library reads lines from a file descriptor: read(2) in
// blocks into one buffer, lines found in place and handed over as views,
// the start of a line that a block cut off moved to the front for the next
// read. Memory stays at a block plus the longest line. Unlike std::getline
// it tells a read error from the end of the file. What happens when a
// blocking call is interrupted by a signal (EINTR) is the caller's: it
// retries, or stops by throwing.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include "zendral/byte_buffer.hpp"

namespace zendral::lines {

// Calls on_line(view) for each line of data[from, size) that an LF ends, at
// most `most` of them, and returns the offset after the last one given. The
// first LF is looked for from `known` on: the bytes before it are known to
// hold none (a line kept from an earlier read, which may be long). memchr:
// libc's search runs on the widest vectors the machine has, which beats an
// inline 16-byte loop even on lines of a few dozen bytes.
template <class OnLine>
std::size_t each_line(std::string_view data, std::size_t from, std::size_t most, OnLine&& on_line,
                      std::size_t known = 0) {
    const char* const start = data.data();
    const char* const stop = start + data.size();
    const char* search = start + (known > from ? known : from);
    for (; most > 0 && search < stop; --most) {
        const auto* const end = static_cast<const char*>(std::memchr(search, '\n', static_cast<std::size_t>(stop - search)));
        if (!end) break;
        on_line(std::string_view(start + from, static_cast<std::size_t>(end - start) - from));
        from = static_cast<std::size_t>(end - start) + 1;
        search = end + 1;
    }
    return from;
}

// open(2), tried again after each EINTR once interrupted() has run (opening
// a FIFO waits for the other end, and a signal may end the wait). -1 with
// errno set when it fails.
template <class OnInterrupt>
int open_file(const char* path, int flags, OnInterrupt&& interrupted) {
    for (;;) {
        const int fd = ::open(path, flags | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EINTR) return fd;
        interrupted();
    }
}

// Owns a descriptor so that it is closed on every way out.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(-1); }
    void reset(int fd) noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

class BlockReader {
public:
    explicit BlockReader(std::size_t block) : block_(block) {}

    // Reads up to a block after what is kept (from offset `at` with pread(2)
    // when it is given). Returns the count read, 0 at the end of the input,
    // or -1 with errno set.
    template <class OnInterrupt>
    long read_from(int fd, OnInterrupt&& interrupted, off_t at = -1) {
        // A line longer than a block grows the buffer by half again each
        // time, not by a block, so as not to copy it over and over.
        const std::size_t kept = buffer_.size();
        if (buffer_.capacity() < kept + block_) {
            const std::size_t grown = buffer_.capacity() + buffer_.capacity() / 2;
            buffer_.reserve(kept + block_ > grown ? kept + block_ : grown);
        }
        for (;;) {
            char* const into = buffer_.data() + kept;
            const ssize_t got = at < 0 ? ::read(fd, into, block_) : ::pread(fd, into, block_, at);
            if (got >= 0) {
                buffer_.extend(static_cast<std::size_t>(got));
                return static_cast<long>(got);
            }
            if (errno != EINTR) return -1;
            interrupted();
        }
    }

    // Bytes to keep before what the next read gives.
    void keep(std::string_view bytes) { buffer_.append(bytes); }

    // What is there: the start of a line kept from before, then what the
    // reads since gave.
    std::string_view data() const { return buffer_.view(); }

    // Drops the first `used` bytes (whole lines) and keeps the rest.
    void keep_from(std::size_t used) {
        const std::size_t rest = buffer_.size() - used;
        if (buffer_.capacity() > 4 * block_ && rest < block_) {
            // A long line has gone: its storage is given back.
            ByteBuffer smaller;
            smaller.reserve(rest + block_);
            smaller.append(buffer_.view().substr(used));
            buffer_ = std::move(smaller);
            return;
        }
        if (used && rest) std::memmove(buffer_.data(), buffer_.data() + used, rest);
        buffer_.shrink_to(rest);
    }

private:
    ByteBuffer buffer_;
    std::size_t block_;
};

// Calls on_line(view) for each line read from fd: lines end at LF (CR is
// data), and bytes after the last LF form a final line. Returns 0, or the
// errno of a read that failed (after the lines before it went out).
template <class OnLine, class OnInterrupt>
int each_line_of(int fd, std::size_t block, OnLine&& on_line, OnInterrupt&& interrupted) {
    BlockReader reader(block);
    for (;;) {
        const long got = reader.read_from(fd, interrupted);
        if (got < 0) return errno;
        const std::string_view data = reader.data();
        if (got == 0) {
            if (!data.empty()) on_line(data);
            return 0;
        }
        const std::size_t kept = data.size() - static_cast<std::size_t>(got);
        reader.keep_from(each_line(data, 0, ~std::size_t{0}, on_line, kept));
    }
}

}  // namespace zendral::lines
