// Hunts for conversions whose cost grows faster than their input. The fuzzer
// picks a short slice and a line structure; the slice is repeated to about
// kTargetBytes and converted by every converter. Two alarms:
//  - libFuzzer's per-input -timeout, for anything catastrophic;
//  - a growth check: the same workload at 1/kScale of the size must cost
//    about 1/kScale as much. A quadratic path whose inner loop is memchr runs
//    at tens of GB/s and can stay well under any safe timeout at 512 KB, but
//    it still costs kScale² times more at kScale times the size.
// Costs are the thread's CPU time, so a busy machine does not raise them, and
// an alarm must repeat on every attempt before it counts.
//
// Input: byte 0 picks the structure (low two bits) and a count (the rest);
// the remaining bytes are the slice.
//   0: the whole repetition is one line
//   1: one slice per line
//   2: 1 + count slices per line
//   3: the repetition split at LF, so the slice's own LFs make the lines
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "zendral/key_value.hpp"
#include "zendral/markdown.hpp"

namespace {

using zendral::LineList;

constexpr std::size_t kTargetBytes = 512 * 1024;
constexpr std::size_t kMaxSliceBytes = 64;
constexpr std::size_t kScale = 8;
// Linear work grows kScale (8) times, n log n about 9.5 times, quadratic 64.
constexpr double kMaxGrowth = 24;
// Below this the large run is too short to time reliably (and harmless).
constexpr double kMinSeconds = 0.02;
constexpr int kAttempts = 3;

struct Workload {
    std::string text;
    LineList lines;
};

Workload build(std::string_view slice, std::size_t repeats, unsigned structure, std::size_t count) {
    Workload work;
    work.text.reserve(repeats * slice.size());
    for (std::size_t i = 0; i < repeats; ++i) work.text += slice;
    switch (structure) {
        case 0:
            work.lines.push_back(work.text);
            break;
        case 1:
            work.lines.assign(repeats, std::string(slice));
            break;
        case 2: {
            const std::size_t per_line = 1 + count;
            for (std::size_t i = 0; i < repeats; ++i) {
                if (i % per_line == 0) work.lines.emplace_back();
                work.lines.back() += slice;
            }
            break;
        }
        default:
            work.lines = zendral::fuzz::split_lines("\n" + work.text);
    }
    return work;
}

double thread_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Keeps the optimiser from dropping a result.
volatile std::size_t g_sink;

double cost_of(const Workload& work) {
    const double start = thread_cpu_seconds();
    g_sink = zendral::render_inline_spans(work.text).size();
    g_sink = zendral::line_csv_to_json(work.text).size();
    g_sink = zendral::md_to_html(work.lines).size();
    g_sink = zendral::csv_lines_to_json(work.lines).size();
    return thread_cpu_seconds() - start;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > kMaxSliceBytes + 1) return -1;
    const std::string_view slice = zendral::fuzz::as_text(data + 1, size - 1);
    const std::size_t repeats = kTargetBytes / slice.size();
    const unsigned structure = data[0] & 3u;
    const std::size_t count = data[0] >> 2;
    const Workload large = build(slice, repeats, structure, count);
    const Workload small = build(slice, repeats / kScale, structure, count);

    double small_cost = 0, large_cost = 0;
    for (int attempt = 1;; ++attempt) {
        small_cost = cost_of(small);
        large_cost = cost_of(large);
        if (large_cost < kMinSeconds || large_cost < kMaxGrowth * small_cost) return 0;
        if (attempt == kAttempts) break;
    }
    std::fprintf(stderr,
                 "\ncost grows faster than the input: %zu bytes take %.3f s, %zu bytes %.3f s "
                 "(%.1f times for %zu times the size)\n  structure %u, count %zu, slice: \"%s\"\n",
                 small.text.size(), small_cost, large.text.size(), large_cost, large_cost / small_cost,
                 kScale, structure, count, zendral::fuzz::escaped(slice).c_str());
    std::abort();
}
