// Working buffers that a conversion reuses from line to line, and how they
// grow. Short lines are the common case: their buffers grow geometrically so
// that a run of lines costs a few allocations in all. Long lines get exactly
// what they ask for: doubling the buffer of a 512 MB line would cost 512 MB
// of address space for nothing, and a long buffer left over from a longer
// line is given back rather than kept for the rest of the call.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>

#include "zendral/byte_buffer.hpp"

namespace zendral::scratch {

// From this length on, a line is long: its buffers are sized exactly.
constexpr std::size_t kLongLine = 64 * 1024;

// The capacity that a buffer of `capacity` bytes should be given to hold
// `needed`, or 0 when it should stay as it is.
inline std::size_t capacity_for(std::size_t capacity, std::size_t needed) {
    if (needed <= capacity) {
        const bool wasteful = capacity > kLongLine && capacity - needed > needed / 4;
        return wasteful ? needed : 0;
    }
    if (needed >= kLongLine) return needed;
    return std::min(std::max(needed, 2 * capacity), kLongLine);
}

// Makes `buffer` able to hold `needed` bytes, dropping its content when it
// has to be replaced. The old storage is freed before the new is allocated,
// so the two never coexist; and a fresh string's reserve is exact, where
// growing a live one lets the library double it.
inline void reserve_dropping_content(std::string& buffer, std::size_t needed) {
    if (const std::size_t capacity = capacity_for(buffer.capacity(), needed)) {
        std::string().swap(buffer);
        buffer.reserve(capacity);
    }
}

// Raw bytes for one line at a time; never cleared, so a long line's bytes
// are written once.
class Bytes {
public:
    // At least `size` writable bytes; what the buffer held before is gone.
    char* take(std::size_t size) {
        if (const std::size_t capacity = capacity_for(buffer_.capacity(), std::max<std::size_t>(size, 1))) {
            buffer_.replace(capacity);
        }
        return buffer_.data();
    }

private:
    ByteBuffer buffer_;
};

}  // namespace zendral::scratch
