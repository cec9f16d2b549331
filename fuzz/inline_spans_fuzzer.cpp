// render_inline_spans against the five std::regex_replace calls that define
// it: identical bytes for every line up to kMaxBytes, and so must be the
// any-length reference that the other targets use. The regex reference
// recurses per byte, which is why the lines stay short.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "reference.hpp"
#include "zendral/markdown.hpp"

namespace {
constexpr std::size_t kMaxBytes = 256;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxBytes) return -1;  // keeps longer inputs out of the corpus
    const std::string line(zendral::fuzz::as_text(data, size));
    const std::string want = zendral::reference::render_inline_spans(line);
    zendral::fuzz::require_equal("render_inline_spans differs from the regular expressions", line,
                                 zendral::render_inline_spans(line), want);
    // The reference that the fuzzers use for long lines must be the same rules.
    zendral::fuzz::require_equal("the any-length reference differs from the regular expressions", line,
                                 zendral::reference::render_inline_spans_any_length(line), want);
    return 0;
}
