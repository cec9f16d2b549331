// This tree's converters against an earlier revision's, built side by side
// into one program (the earlier one compiled with its namespace renamed to
// zendral_before) and run interleaved, so that both see the same machine:
// the LineList forms on the docs and the log, md4c on the docs, and
// md_to_html and line_csv_to_json on adversarial lines of 1 MiB and 64 MiB.
// `scripts/bench.sh against REV` builds and runs it.
#include <benchmark/benchmark.h>
#include <md4c-html.h>

#include <string>
#include <string_view>

#include "inputs.hpp"
#include "zendral/key_value.hpp"
#include "zendral/markdown.hpp"

// The earlier revision's LineList functions, as every revision has had them.
namespace zendral_before {
using LineList = std::vector<std::string>;
LineList md_to_html(const LineList& lines);
LineList csv_lines_to_json(LineList lines);
std::string line_csv_to_json(std::string_view line);
}  // namespace zendral_before

namespace {

using zendral::LineList;
namespace bench = zendral::bench;
using bench::docs_lines;
using bench::docs_text;
using bench::log_lines;
using bench::repeat_to;

template <class Convert>
void docs(benchmark::State& state, Convert convert) {
    for (auto _ : state) {
        LineList html = convert(docs_lines());
        benchmark::DoNotOptimize(html.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * docs_text().size()));
}

template <class Convert>
void log(benchmark::State& state, Convert convert) {
    for (auto _ : state) {
        state.PauseTiming();
        LineList lines = log_lines();  // the argument is consumed
        state.ResumeTiming();
        LineList objects = convert(std::move(lines));
        benchmark::DoNotOptimize(objects.data());
    }
}

void md4c(benchmark::State& state) {
    std::string html;
    for (auto _ : state) {
        html.clear();
        md_html(docs_text().data(), static_cast<MD_SIZE>(docs_text().size()),
                [](const MD_CHAR* text, MD_SIZE size, void* out) { static_cast<std::string*>(out)->append(text, size); },
                &html, 0, 0);
        benchmark::DoNotOptimize(html.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * docs_text().size()));
}

template <class Convert>
void markdown_line(benchmark::State& state, Convert convert, std::string line) {
    const LineList lines{std::move(line)};
    for (auto _ : state) {
        LineList html = convert(lines);
        benchmark::DoNotOptimize(html.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * lines[0].size()));
}

template <class Convert>
void fields_line(benchmark::State& state, Convert convert) {
    const std::string line = repeat_to("k=v,", static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::string object = convert(line);
        benchmark::DoNotOptimize(object.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}

const auto md_before = [](const LineList& lines) { return zendral_before::md_to_html(lines); };
const auto md_after = [](const LineList& lines) { return zendral::md_to_html(lines); };

std::string only_asterisks(std::size_t n) { return std::string(n, '*'); }
std::string strong_openers(std::size_t n) { return repeat_to("**a", n); }
std::string underscore_pairs(std::size_t n) { return repeat_to("_a", n); }
std::string long_span(std::size_t n) { return "*" + std::string(n - 2, 'a') + "*"; }
std::string asterisks_between_line_breaks(std::size_t n) { return repeat_to("*a\r", n); }

template <std::string (*kMake)(std::size_t)>
void register_series(const std::string& name) {
    benchmark::RegisterBenchmark((name + "/before").c_str(), [](benchmark::State& state) {
        markdown_line(state, md_before, kMake(static_cast<std::size_t>(state.range(0))));
    })->Arg(1 << 20)->Arg(64 << 20);
    benchmark::RegisterBenchmark((name + "/after").c_str(), [](benchmark::State& state) {
        markdown_line(state, md_after, kMake(static_cast<std::size_t>(state.range(0))));
    })->Arg(1 << 20)->Arg(64 << 20);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("docs/before", [](benchmark::State& s) { docs(s, md_before); })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("docs/after", [](benchmark::State& s) { docs(s, md_after); })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("docs/md4c", md4c)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("log/before", [](benchmark::State& s) {
        log(s, [](LineList lines) { return zendral_before::csv_lines_to_json(std::move(lines)); });
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("log/after", [](benchmark::State& s) {
        log(s, [](LineList lines) { return zendral::csv_lines_to_json(std::move(lines)); });
    })->Unit(benchmark::kMillisecond);
    register_series<only_asterisks>("only_asterisks");
    register_series<strong_openers>("strong_openers");
    register_series<underscore_pairs>("underscore_pairs");
    register_series<long_span>("long_span");
    register_series<asterisks_between_line_breaks>("asterisks_between_line_breaks");
    benchmark::RegisterBenchmark("many_fields/before", [](benchmark::State& s) {
        fields_line(s, [](std::string_view line) { return zendral_before::line_csv_to_json(line); });
    })->Arg(1 << 20)->Arg(64 << 20);
    benchmark::RegisterBenchmark("many_fields/after", [](benchmark::State& s) {
        fields_line(s, [](std::string_view line) { return zendral::line_csv_to_json(line); });
    })->Arg(1 << 20)->Arg(64 << 20);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
