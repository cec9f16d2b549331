// Shared by the fuzz targets: how an input becomes lines, and how a finding
// is reported. A finding aborts, so libFuzzer saves the input as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

#include "zendral/line_list.hpp"

namespace zendral::fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// The first byte names the separator and the rest is split at it, so every
// other byte (LF, CR and NUL included) can occur inside a line. As in a file,
// a separator ends a line and the final line needs none: "" and "\n" give no
// line, "\n\n" one empty line.
inline LineList split_lines(std::string_view input) {
    LineList lines;
    if (input.empty()) return lines;
    const char separator = input.front();
    std::string_view rest = input.substr(1);
    while (!rest.empty()) {
        const std::size_t end = rest.find(separator);
        if (end == std::string_view::npos) {
            lines.emplace_back(rest);
            break;
        }
        lines.emplace_back(rest.substr(0, end));
        rest.remove_prefix(end + 1);
    }
    return lines;
}

// C-style escapes, so that a report shows control bytes and NUL.
inline std::string escaped(std::string_view bytes) {
    std::string out;
    char hex[5];
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (byte >= 0x20 && byte < 0x7f) {
            out += c;
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02x", byte);
            out += hex;
        }
    }
    return out;
}

[[noreturn]] inline void fail(const char* what, std::string_view input, std::string_view got,
                              std::string_view want) {
    std::fprintf(stderr, "\n%s\n  input: \"%s\"\n  got:   \"%s\"\n  want:  \"%s\"\n", what,
                 escaped(input).c_str(), escaped(got).c_str(), escaped(want).c_str());
    std::abort();
}

inline void require_equal(const char* what, std::string_view input, std::string_view got,
                          std::string_view want) {
    if (got != want) fail(what, input, got, want);
}

// The lines as one text, each in brackets, for a failure's message.
inline std::string listed(const LineList& lines) {
    std::string text;
    for (const std::string& line : lines) text += "[" + line + "]";
    return text;
}

// One memfd for the whole run, rewritten for every input; the library opens
// it by name like any file.
inline const std::string& file_holding(const std::string& bytes) {
    static const int fd = ::memfd_create("zendral-fuzz", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        std::perror("memfd");
        std::abort();
    }
    return path;
}

}  // namespace zendral::fuzz
