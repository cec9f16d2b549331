// ByteBuffer: bytes that grow without being zeroed first. The library's one
// growable buffer: the engine's input and output blocks, the converters'
// working lines, and a caller's place for a whole converted document.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace zendral {

class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(ByteBuffer&&) noexcept = default;
    ByteBuffer& operator=(ByteBuffer&&) noexcept = default;

    char* data() noexcept { return data_.get(); }
    const char* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::string_view view() const noexcept { return {data_.get(), size_}; }

    void clear() noexcept { size_ = 0; }
    // Drops bytes from the end; never grows (the bytes beyond were not written).
    void shrink_to(std::size_t size) noexcept {
        if (size < size_) size_ = size;
    }
    // Room for `capacity` bytes, the content kept.
    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        std::unique_ptr<char[]> bigger(new char[capacity]);
        if (size_) std::memcpy(bigger.get(), data_.get(), size_);
        data_ = std::move(bigger);
        capacity_ = capacity;
    }
    // `count` more bytes at the end, for the caller to fill. Grows by doubling,
    // so that appending line by line costs a few copies in all.
    char* extend(std::size_t count) {
        if (capacity_ - size_ < count) reserve(size_ + count > 2 * capacity_ ? size_ + count : 2 * capacity_);
        char* const out = data_.get() + size_;
        size_ += count;
        return out;
    }
    void append(std::string_view bytes) {
        if (!bytes.empty()) std::memcpy(extend(bytes.size()), bytes.data(), bytes.size());
    }
    // Exactly `capacity` bytes, the content dropped; the old storage is freed
    // before the new is allocated, so the two never coexist.
    void replace(std::size_t capacity) {
        data_.reset();
        size_ = capacity_ = 0;  // stays true if the allocation throws
        if (capacity) data_.reset(new char[capacity]);
        capacity_ = capacity;
    }

private:
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace zendral
