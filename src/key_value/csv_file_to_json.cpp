// Streams a file through line_csv_to_json: a fixed buffer filled by read(2),
// lines found with memchr and converted straight from the buffer. Only a line
// that straddles two reads is copied, into `carry`. Unlike std::getline this
// tells a read error from the end of the file, so a failing read is reported
// instead of passing for a short file.
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include "zendral/key_value.hpp"

namespace zendral {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

// Owns a file descriptor so that it is closed on every way out, exceptions
// from the conversion included.
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

// read(2) that retries when a signal interrupts it before any byte arrived.
ssize_t read_some(int fd, char* buffer, std::size_t capacity) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, capacity);
        if (n >= 0 || errno != EINTR) return n;
    }
}

}  // namespace

LineList csv_file_to_json(const std::string& path) {
    // open(2) would silently stop at the NUL and name another file.
    if (path.find('\0') != std::string::npos) throw std::invalid_argument("embedded null byte");

    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) throw std::runtime_error("Could not open file: " + path);
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    const std::unique_ptr<char[]> buffer(new char[kReadChunk]);
    std::string carry;  // the start of a line that the last read cut off
    LineList objects;
    for (;;) {
        const ssize_t got = read_some(file.get(), buffer.get(), kReadChunk);
        if (got < 0) throw std::runtime_error("Could not read file: " + path);
        if (got == 0) break;

        const char* line = buffer.get();
        const char* const end = line + got;
        while (const void* hit = std::memchr(line, '\n', static_cast<std::size_t>(end - line))) {
            const char* newline = static_cast<const char*>(hit);
            const std::string_view piece(line, static_cast<std::size_t>(newline - line));
            if (carry.empty()) {
                objects.push_back(line_csv_to_json(piece));
            } else {
                carry += piece;
                objects.push_back(line_csv_to_json(carry));
                carry.clear();
            }
            line = newline + 1;
        }
        carry.append(line, end);
    }
    // Bytes after the last LF form a final line.
    if (!carry.empty()) objects.push_back(line_csv_to_json(carry));
    return objects;
}

}  // namespace zendral
