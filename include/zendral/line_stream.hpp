// The streaming form's two types: lines borrowed from the caller, and a sink
// that receives each output line as soon as it is made. With them a
// converter holds no copy of its input and no list of its output, so a
// caller can feed lines from wherever they live and store results in its own
// form without a second copy.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <type_traits>
#include <vector>

namespace zendral {

// A run of lines that the caller owns and keeps alive for the call. Lines are
// byte strings without their terminator, as in a LineList.
class LineViews {
public:
    LineViews() noexcept = default;
    LineViews(const std::string_view* lines, std::size_t count) noexcept : lines_(lines), count_(count) {}
    LineViews(const std::vector<std::string_view>& lines) noexcept : LineViews(lines.data(), lines.size()) {}

    const std::string_view* begin() const noexcept { return lines_; }
    const std::string_view* end() const noexcept { return lines_ + count_; }
    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    std::string_view operator[](std::size_t i) const noexcept { return lines_[i]; }

private:
    const std::string_view* lines_ = nullptr;
    std::size_t count_ = 0;
};

// A borrowed callable that receives the output lines, in order, one call per
// line. The view is valid only during that call: keep its bytes, not the view.
// An exception thrown by the callable stops the conversion and propagates.
// The callable must outlive the call it is passed to; LineSink never owns it.
class LineSink {
public:
    template <class Callable,
              class = std::enable_if_t<!std::is_same_v<std::decay_t<Callable>, LineSink> &&
                                       std::is_invocable_v<Callable&, std::string_view>>>
    LineSink(Callable&& callable) noexcept  // NOLINT: implicit, so that a lambda can be passed as it is
        : target_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
          call_(&invoke<std::remove_reference_t<Callable>>) {}

    void operator()(std::string_view line) const { call_(target_, line); }

private:
    template <class Callable>
    static void invoke(void* target, std::string_view line) {
        (*static_cast<Callable*>(target))(line);
    }

    void* target_;
    void (*call_)(void*, std::string_view);
};

}  // namespace zendral
