// Throughput of the converters on real text and a realistic log, md4c on the
// same Markdown as a yardstick, what the escape options cost, and ns per byte
// on adversarial lines from 1 KB to 64 MB (a flat series means linear time).
#include <benchmark/benchmark.h>
#include <md4c-html.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>
#include <unistd.h>

#include "inputs.hpp"
#include "zendral/key_value.hpp"
#include "zendral/markdown.hpp"

namespace {

using zendral::LineList;
namespace bench = zendral::bench;
using bench::docs_lines;
using bench::docs_text;
using bench::log_lines;
using bench::repeat_to;

// Lines written to a temporary file, removed at exit.
std::string written_to_file(const LineList& lines) {
    char name[] = "/tmp/zendral-bench-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) ::close(fd);
    std::ofstream out(name, std::ios::binary);
    for (const std::string& line : lines) out << line << '\n';
    return name;
}

// The logs as files, each written once.
const std::string& log_file() {
    static const std::string path = written_to_file(log_lines());
    static const int removed = std::atexit([] { std::remove(log_file().c_str()); });
    static_cast<void>(removed);
    return path;
}

const std::string& million_log_file() {
    static const std::string path = written_to_file(bench::million_log_lines());
    static const int removed = std::atexit([] { std::remove(million_log_file().c_str()); });
    static_cast<void>(removed);
    return path;
}

void set_bytes(benchmark::State& state, std::size_t bytes_per_iteration) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes_per_iteration));
}

void md_to_html_docs(benchmark::State& state) {
    if (docs_lines().empty()) return state.SkipWithError("no Markdown files found");
    for (auto _ : state) {
        LineList html = zendral::md_to_html(docs_lines());
        benchmark::DoNotOptimize(html.data());
    }
    set_bytes(state, docs_text().size());
}

// What any converter of these lines pays at least: a new list of as many
// strings, allocated, filled and freed.
void copy_docs(benchmark::State& state) {
    for (auto _ : state) {
        LineList copy = docs_lines();
        benchmark::DoNotOptimize(copy.data());
    }
    set_bytes(state, docs_text().size());
}

void md4c_docs(benchmark::State& state) {
    if (docs_text().empty()) return state.SkipWithError("no Markdown files found");
    std::string html;
    for (auto _ : state) {
        html.clear();
        md_html(docs_text().data(), static_cast<MD_SIZE>(docs_text().size()),
                [](const MD_CHAR* text, MD_SIZE size, void* out) { static_cast<std::string*>(out)->append(text, size); },
                &html, 0, 0);
        benchmark::DoNotOptimize(html.data());
    }
    set_bytes(state, docs_text().size());
}

void csv_lines_to_json_log(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        LineList lines = log_lines();  // the argument is consumed
        state.ResumeTiming();
        LineList objects = zendral::csv_lines_to_json(std::move(lines));
        benchmark::DoNotOptimize(objects.data());
    }
    set_bytes(state, bench::text_bytes(log_lines()));
}

void csv_file_to_json_log(benchmark::State& state) {
    const std::string& path = log_file();
    for (auto _ : state) {
        LineList objects = zendral::csv_file_to_json(path);
        benchmark::DoNotOptimize(objects.data());
    }
    set_bytes(state, bench::text_bytes(log_lines()));
}

// The streaming forms, on views of the same lines, into a sink that only
// looks at each line: the conversion alone, without any output container.
std::vector<std::string_view> views_of(const LineList& lines) {
    return std::vector<std::string_view>(lines.begin(), lines.end());
}

void md_to_html_docs_streamed(benchmark::State& state) {
    if (docs_lines().empty()) return state.SkipWithError("no Markdown files found");
    const std::vector<std::string_view> views = views_of(docs_lines());
    for (auto _ : state) {
        std::size_t bytes = 0;
        zendral::md_to_html(views, [&](std::string_view line) { bytes += line.size() + (line.empty() ? 0 : line[0]); });
        benchmark::DoNotOptimize(bytes);
    }
    set_bytes(state, docs_text().size());
}

template <const LineList& (*kLines)()>
void csv_lines_to_json_streamed(benchmark::State& state) {
    const std::vector<std::string_view> views = views_of(kLines());
    for (auto _ : state) {
        std::size_t bytes = 0;
        zendral::csv_lines_to_json(views, [&](std::string_view object) { bytes += object.size() + object[1]; });
        benchmark::DoNotOptimize(bytes);
    }
    set_bytes(state, bench::text_bytes(kLines()));
}

template <const LineList& (*kLines)(), const std::string& (*kFile)()>
void csv_file_to_json_streamed(benchmark::State& state) {
    const std::string& path = kFile();
    for (auto _ : state) {
        std::size_t bytes = 0;
        zendral::csv_file_to_json(path, [&](std::string_view object) { bytes += object.size() + object[1]; });
        benchmark::DoNotOptimize(bytes);
    }
    set_bytes(state, bench::text_bytes(kLines()));
}

// --- The escape options: the same forms with escaping on -------------------

void md_to_html_docs_escaped(benchmark::State& state) {
    if (docs_lines().empty()) return state.SkipWithError("no Markdown files found");
    for (auto _ : state) {
        LineList html = zendral::md_to_html(docs_lines(), {true});
        benchmark::DoNotOptimize(html.data());
    }
    set_bytes(state, docs_text().size());
}

// The streaming form, on (escape, lines per MarkdownStream::feed, 0 for one
// md_to_html call).
void md_to_html_docs_stream(benchmark::State& state) {
    if (docs_lines().empty()) return state.SkipWithError("no Markdown files found");
    const std::vector<std::string_view> views = views_of(docs_lines());
    const zendral::MarkdownOptions options{state.range(0) != 0};
    const auto block = static_cast<std::size_t>(state.range(1));
    for (auto _ : state) {
        std::size_t bytes = 0;
        const auto sink = [&](std::string_view line) { bytes += line.size() + (line.empty() ? 0 : line[0]); };
        if (block == 0) {
            zendral::md_to_html(views, sink, options);
        } else {
            zendral::MarkdownStream stream(options);
            for (std::size_t at = 0; at < views.size(); at += block) {
                stream.feed(zendral::LineViews(views.data() + at, std::min(block, views.size() - at)), sink);
            }
            stream.finish(sink);
        }
        benchmark::DoNotOptimize(bytes);
    }
    set_bytes(state, docs_text().size());
}

// csv_lines_to_json streamed on (escape, the log or the quoted log).
void csv_lines_to_json_stream(benchmark::State& state) {
    const LineList& lines = state.range(1) ? bench::quoted_log_lines() : log_lines();
    const std::vector<std::string_view> views = views_of(lines);
    const zendral::KeyValueOptions options{state.range(0) != 0};
    for (auto _ : state) {
        std::size_t bytes = 0;
        zendral::csv_lines_to_json(views, [&](std::string_view object) { bytes += object.size() + object[1]; }, options);
        benchmark::DoNotOptimize(bytes);
    }
    set_bytes(state, bench::text_bytes(lines));
}

void csv_lines_to_json_log_escaped(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        LineList lines = log_lines();
        state.ResumeTiming();
        LineList objects = zendral::csv_lines_to_json(std::move(lines), {true});
        benchmark::DoNotOptimize(objects.data());
    }
    set_bytes(state, bench::text_bytes(log_lines()));
}

void csv_file_to_json_log_streamed_escaped(benchmark::State& state) {
    const std::string& path = log_file();
    for (auto _ : state) {
        std::size_t bytes = 0;
        zendral::csv_file_to_json(path, [&](std::string_view object) { bytes += object.size() + object[1]; }, {true});
        benchmark::DoNotOptimize(bytes);
    }
    set_bytes(state, bench::text_bytes(log_lines()));
}

BENCHMARK(md_to_html_docs)->Name("md_to_html/docs")->Unit(benchmark::kMillisecond);
BENCHMARK(copy_docs)->Name("copy/docs")->Unit(benchmark::kMillisecond);
BENCHMARK(md4c_docs)->Name("md4c/docs")->Unit(benchmark::kMillisecond);
BENCHMARK(csv_lines_to_json_log)->Name("csv_lines_to_json/log")->Unit(benchmark::kMillisecond);
BENCHMARK(csv_file_to_json_log)->Name("csv_file_to_json/log")->Unit(benchmark::kMillisecond);
BENCHMARK(md_to_html_docs_streamed)->Name("md_to_html/docs/streamed")->Unit(benchmark::kMillisecond);
BENCHMARK(csv_lines_to_json_streamed<log_lines>)->Name("csv_lines_to_json/log/streamed")->Unit(benchmark::kMillisecond);
BENCHMARK(csv_file_to_json_streamed<log_lines, log_file>)->Name("csv_file_to_json/log/streamed")->Unit(benchmark::kMillisecond);
BENCHMARK(csv_lines_to_json_streamed<bench::million_log_lines>)->Name("csv_lines_to_json/log1m/streamed")->Unit(benchmark::kMillisecond);
BENCHMARK(csv_file_to_json_streamed<bench::million_log_lines, million_log_file>)->Name("csv_file_to_json/log1m/streamed")->Unit(benchmark::kMillisecond);
BENCHMARK(md_to_html_docs_escaped)->Name("md_to_html/docs/escaped")->Unit(benchmark::kMillisecond);
BENCHMARK(md_to_html_docs_stream)->Name("md_to_html/docs/stream")->ArgNames({"escape", "block"})
    ->ArgsProduct({{0, 1}, {0, 64, 4096}})->Unit(benchmark::kMillisecond);
BENCHMARK(csv_lines_to_json_log_escaped)->Name("csv_lines_to_json/log/escaped")->Unit(benchmark::kMillisecond);
BENCHMARK(csv_lines_to_json_stream)->Name("csv_lines_to_json/stream")->ArgNames({"escape", "quoted"})
    ->ArgsProduct({{0, 1}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(csv_file_to_json_log_streamed_escaped)->Name("csv_file_to_json/log/streamed/escaped")->Unit(benchmark::kMillisecond);

// --- Adversarial lines -------------------------------------------------------

template <class MakeLine>
void markdown_series(benchmark::State& state, MakeLine make_line) {
    const LineList lines{make_line(static_cast<std::size_t>(state.range(0)))};
    for (auto _ : state) {
        LineList html = zendral::md_to_html(lines);
        benchmark::DoNotOptimize(html.data());
    }
    set_bytes(state, lines[0].size());
}

void only_asterisks(benchmark::State& state) {
    markdown_series(state, [](std::size_t n) { return std::string(n, '*'); });
}
void strong_openers(benchmark::State& state) {
    markdown_series(state, [](std::size_t n) { return repeat_to("**a", n); });
}
void underscore_pairs(benchmark::State& state) {
    markdown_series(state, [](std::size_t n) { return repeat_to("_a", n); });
}
void long_span(benchmark::State& state) {
    markdown_series(state, [](std::size_t n) { return "*" + std::string(n - 2, 'a') + "*"; });
}
void asterisks_between_line_breaks(benchmark::State& state) {
    markdown_series(state, [](std::size_t n) { return repeat_to("*a\r", n); });
}

void many_fields(benchmark::State& state) {
    const std::string line = repeat_to("k=v,", static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::string object = zendral::line_csv_to_json(line);
        benchmark::DoNotOptimize(object.data());
    }
    set_bytes(state, line.size());
}

// The machine's own cost of a line's bytes landing in a new string: cached
// at small sizes, fresh pages from the kernel at large ones. The series above
// it should grow by no more than this does.
void copy_to_new_string(benchmark::State& state) {
    const std::string line(static_cast<std::size_t>(state.range(0)), 'a');
    for (auto _ : state) {
        std::string copy(line);
        benchmark::DoNotOptimize(copy.data());
    }
    set_bytes(state, line.size());
}

#define ZENDRAL_SERIES(function, name) \
    BENCHMARK(function)->Name("scaling/" name)->RangeMultiplier(4)->Range(1 << 10, 64 << 20)->Unit(benchmark::kMicrosecond)

ZENDRAL_SERIES(copy_to_new_string, "copy_to_new_string");
ZENDRAL_SERIES(only_asterisks, "only_asterisks");
ZENDRAL_SERIES(strong_openers, "strong_openers");
ZENDRAL_SERIES(underscore_pairs, "underscore_pairs");
ZENDRAL_SERIES(long_span, "long_span");
ZENDRAL_SERIES(asterisks_between_line_breaks, "asterisks_between_line_breaks");
ZENDRAL_SERIES(many_fields, "many_fields");

}  // namespace

BENCHMARK_MAIN();
