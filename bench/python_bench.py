"""zendral from Python, side by side with the floors, plain Python and the
libraries a user would pick instead.

Each workload is timed for every contender in the same process, in
interleaved rounds; a time is the call plus freeing its result. Ratios are
taken round by round (each contender against a reference timed in the same
round) and shown as the median and range over the rounds. Three floors, none
converting anything (zendral_bench_ext):
  - interface: the least any implementation of these functions must do:
    read every item and byte, make one str per output line of that line's
    length and kind, one list;
  - pybind11: the same lists through pybind11's list and string casters,
    which copy each line twice;
  - copy-once: zendral's own boundary with the converter left out.
"x floor" compares seconds per input byte with the interface floor.

The peers (cmarkgfm, mistune, markdown-it-py, Python-Markdown, orjson, ujson)
are optional: a missing one is reported and skipped. They are timed on whole
documents, zendral with the split and join that string-in, string-out needs.

usage: python_bench.py [--rounds N] [--peer-rounds N] [--peer-mb MB]
                       [--skip-memory] [--skip-malloc] [--documents-only] [--document-rounds N]
(needs zendral and zendral_bench_ext on PYTHONPATH, and bench/ for plain_python)
"""
import argparse
import array
import gc
import importlib
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

import plain_python
import zendral
import zendral_document

try:
    import zendral_bench_ext as ext
except ImportError:  # enough for --documents-only
    ext = None

MARKDOWN_ROOT = os.environ.get("ZENDRAL_BENCH_MARKDOWN_ROOT", "/usr/share/doc")
REGEX_SAFE_LINE = 2000  # longer lines risk std::regex's per-byte recursion
REGEX_SAMPLE_BYTES = 1 << 20


def markdown_documents():
    texts = []
    for folder, _, names in sorted(os.walk(MARKDOWN_ROOT)):
        for name in sorted(names):
            path = os.path.join(folder, name)
            if name.endswith((".md", ".markdown")) and os.path.isfile(path):
                with open(path, "rb") as source:
                    texts.append(source.read().decode("utf-8", "replace"))
    return texts


def log_lines(count):
    pick = random.Random(42).choice
    rand = random.Random(7).randrange
    lines = []
    for i in range(count):
        line = ("ts=2026-12-07T09:%02d:%02d.%03dZ,level=%s,host=web-%d,msg=%s,path=%s,status=%d,bytes=%d"
                % (10 + i // 60000 % 50, 10 + i // 1000 % 50, 100 + i % 900,
                   pick(["info", "info", "info", "warn", "error", "debug"]), 1 + rand(12),
                   pick(["request served", "slow upstream", "cache miss", "upstream timeout"]),
                   pick(["/api/items", "/api/items?page=2&sort=name", "/api/search", "/login"]),
                   pick([200, 200, 200, 201, 304, 404, 500, 504]), rand(100000)))
        if rand(10) == 0:
            line += ",latency_ms=%d" % rand(5000)
        lines.append(line)
    return lines


def text_bytes(lines):
    return sum(len(line.encode()) + 1 for line in lines)


def optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        print("(%s is not installed: its rows are skipped)" % name)
        return None


def version_of(module, distribution):
    try:
        from importlib import metadata  # 3.8 on
        return metadata.version(distribution)
    except Exception:  # an older interpreter, or not installed as a distribution
        return getattr(module, "__version__", "?")


class Contender:
    def __init__(self, name, call, input_bytes, argument=None):
        self.name, self.call, self.input_bytes, self.times = name, call, input_bytes, []
        self.argument = argument  # makes the call's argument anew each round, untimed

    def run_once(self):
        given = (self.argument(),) if self.argument else ()
        gc.collect()
        gc.disable()
        started = time.perf_counter()
        result = self.call(*given)
        del result  # freeing the result is part of what a caller pays
        elapsed = time.perf_counter() - started
        gc.enable()
        self.times.append(elapsed)

    @property
    def seconds(self):
        return statistics.median(self.times)

    def per_byte(self, round_):
        return self.times[round_] / self.input_bytes

    def ratios_to(self, reference):
        return [self.per_byte(r) / reference.per_byte(r) for r in range(len(self.times))]


def check_agreement(label, expected, actual):
    if expected != actual:
        sys.exit("%s: outputs differ; refusing to time a wrong answer" % label)


def shape_of(lines):
    """Each line's length and largest code point, for the interface floor."""
    packed = array.array("q")
    for line in lines:
        packed.append(len(line))
        packed.append(ord(max(line)) if line else 0)
    return packed.tobytes()


def pairs_of(line):
    return dict(field.split("=", 1) for field in line.split(",") if "=" in field)


def sample_documents(documents, limit_bytes):
    """Whole documents, in a fixed shuffled order, until `limit_bytes`; none
    larger than an eighth of it, so that many documents make the sample."""
    order = list(range(len(documents)))
    random.Random(1).shuffle(order)
    chosen, size = [], 0
    for i in order:
        if size >= limit_bytes:
            break
        if len(documents[i].encode()) > limit_bytes / 8:
            continue
        chosen.append(documents[i])
        size += len(documents[i].encode())
    return chosen, size


def workloads(log_path, md, log):
    md_bytes, log_bytes = text_bytes(md), text_bytes(log)
    regex_sample, sample_bytes = [], 0
    for line in md:
        if sample_bytes >= REGEX_SAMPLE_BYTES:
            break
        if len(line) <= REGEX_SAFE_LINE:
            regex_sample.append(line)
            sample_bytes += len(line.encode()) + 1

    check_agreement("copy_once vs the lines", md, ext.copy_once(md))
    check_agreement("read_once vs the lines", log, ext.read_once(log_path))
    check_agreement("md_to_html vs plain Python", zendral.md_to_html(md), plain_python.md_to_html(md))
    check_agreement("md_to_html vs std::regex", zendral.md_to_html(regex_sample),
                    ext.regex_md_to_html(regex_sample))
    check_agreement("csv_lines_to_json vs plain Python", zendral.csv_lines_to_json(log),
                    plain_python.csv_lines_to_json(log))
    check_agreement("csv_file_to_json vs plain Python", zendral.csv_file_to_json(log_path),
                    plain_python.csv_file_to_json(log_path))
    md_shape = shape_of(zendral.md_to_html(md))
    log_shape = shape_of(zendral.csv_lines_to_json(log))
    check_agreement("interface floor's line count", len(md_shape) // 16, len(ext.interface_floor(md, md_shape)))

    groups = [
        ("md_to_html: %d Markdown files' lines, %.1f MB" % (len(md), md_bytes / 1e6), [
            Contender("interface floor", lambda: ext.interface_floor(md, md_shape), md_bytes),
            Contender("pybind11 floor: copy_lines", lambda: ext.copy_lines(md), md_bytes),
            Contender("copy-once: copy_once", lambda: ext.copy_once(md), md_bytes),
            Contender("zendral.md_to_html", lambda: zendral.md_to_html(md), md_bytes),
            Contender("plain Python (re)", lambda: plain_python.md_to_html(md), md_bytes),
            Contender("std::regex, %.1f MB sample" % (sample_bytes / 1e6),
                      lambda: ext.regex_md_to_html(regex_sample), sample_bytes),
        ]),
        ("csv_lines_to_json: %d log lines, %.1f MB" % (len(log), log_bytes / 1e6), [
            Contender("interface floor", lambda: ext.interface_floor(log, log_shape), log_bytes),
            Contender("pybind11 floor: pass_lines", lambda: ext.pass_lines(log), log_bytes),
            Contender("copy-once: copy_once", lambda: ext.copy_once(log), log_bytes),
            Contender("zendral.csv_lines_to_json", lambda: zendral.csv_lines_to_json(log), log_bytes),
            Contender("plain Python", lambda: plain_python.csv_lines_to_json(log), log_bytes),
        ]),
        ("csv_file_to_json: the same log as a file", [
            Contender("interface floor", lambda: ext.interface_floor_file(log_path, log_shape), log_bytes),
            Contender("pybind11 floor: read_lines", lambda: ext.read_lines(log_path), log_bytes),
            Contender("copy-once: read_once", lambda: ext.read_once(log_path), log_bytes),
            Contender("zendral.csv_file_to_json", lambda: zendral.csv_file_to_json(log_path), log_bytes),
            Contender("plain Python", lambda: plain_python.csv_file_to_json(log_path), log_bytes),
        ]),
    ]

    # key=value peers: each line's pairs as a dict, then a JSON library.
    # json.dumps' default separators give zendral's text for these lines;
    # orjson and ujson write compact JSON (no spaces), and all three escape.
    kv = groups[1][1]
    check_agreement("csv_lines_to_json vs json.dumps", zendral.csv_lines_to_json(log),
                    [json.dumps(pairs_of(line)) for line in log])
    kv.append(Contender("json.dumps", lambda: [json.dumps(pairs_of(line)) for line in log], log_bytes))
    orjson, ujson = optional("orjson"), optional("ujson")
    if orjson:
        kv.append(Contender("orjson.dumps(...).decode() %s" % version_of(orjson, "orjson"),
                            lambda: [orjson.dumps(pairs_of(line)).decode() for line in log], log_bytes))
    if ujson:
        kv.append(Contender("ujson.dumps %s" % version_of(ujson, "ujson"),
                            lambda: [ujson.dumps(pairs_of(line)) for line in log], log_bytes))
    return groups


def peer_group(documents, limit_bytes):
    """Markdown peers on whole documents (strings in, strings out)."""
    chosen, size = sample_documents(documents, limit_bytes)
    contenders = [
        Contender("zendral, split + md_to_html + join",
                  lambda: ["\n".join(zendral.md_to_html(doc.split("\n"))) for doc in chosen], size),
    ]
    cmarkgfm, mistune = optional("cmarkgfm"), optional("mistune")
    markdown_it, markdown = optional("markdown_it"), optional("markdown")
    if cmarkgfm:
        contenders.append(Contender("cmarkgfm.markdown_to_html %s" % version_of(cmarkgfm, "cmarkgfm"),
                                    lambda: [cmarkgfm.markdown_to_html(doc) for doc in chosen], size))
    if mistune:
        contenders.append(Contender("mistune.html %s" % version_of(mistune, "mistune"),
                                    lambda: [mistune.html(doc) for doc in chosen], size))
    if markdown_it:
        renderer = markdown_it.MarkdownIt()
        contenders.append(Contender("markdown-it-py %s" % version_of(markdown_it, "markdown-it-py"),
                                    lambda: [renderer.render(doc) for doc in chosen], size))
    if markdown:
        converter = markdown.Markdown()
        contenders.append(Contender("Python-Markdown %s" % version_of(markdown, "Markdown"),
                                    lambda: [converter.reset().convert(doc) for doc in chosen], size))
    title = "Markdown peers: %d whole documents of the docs, %.1f MB" % (len(chosen), size / 1e6)
    return title, contenders


def document_group(documents):
    """Whole documents, str in and str out: every Markdown file of the docs
    joined into one text, converted in one call. pyromark leaves the str's
    UTF-8 form attached to it, which zendral_document then reads too; the
    "fresh str" rows give each call a str made anew, as a program that
    converts a text once does."""
    text = "".join(t if t.endswith("\n") else t + "\n" for t in documents)
    size = len(text.encode())

    def fresh():
        return (text + "\n")[:-1]

    # escape=False: the same bytes as zendral's list function, checked below.
    contenders = [
        Contender("zendral_document.md_to_html, raw", lambda: zendral_document.md_to_html(text, escape=False), size),
        Contender("zendral_document.md_to_html, escaped", lambda: zendral_document.md_to_html(text), size),
        Contender("zendral_document, escaped, fresh str", zendral_document.md_to_html, size, fresh),
        Contender("zendral, split + md_to_html + join",
                  lambda: "\n".join(zendral.md_to_html(text.split("\n"))), size),
    ]
    pyromark, markdown_it_pyrs = optional("pyromark"), optional("markdown_it_pyrs")
    if pyromark:
        contenders.append(Contender("pyromark.html %s" % version_of(pyromark, "pyromark"),
                                    lambda: pyromark.html(text), size))
        contenders.append(Contender("pyromark.html, fresh str", pyromark.html, size, fresh))
    if markdown_it_pyrs:
        renderer = markdown_it_pyrs.MarkdownIt()
        contenders.append(Contender("markdown-it-pyrs %s" % version_of(markdown_it_pyrs, "markdown-it-pyrs"),
                                    lambda: renderer.render(text), size))
    title = "Whole document, str in and str out: %d Markdown files in one text, %.1f MB" % (
        len(documents), size / 1e6)
    return title, contenders


def report(title, contenders, reference, columns):
    """One table: seconds, MB/s, and per-round ratios to each of `columns`."""
    print(title)
    for c in contenders:
        cells = []
        for other in columns:
            ratios = c.ratios_to(other)
            cells.append("%7.2f (%.2f-%.2f)" % (statistics.median(ratios), min(ratios), max(ratios)))
        print("  %-38s %8.4f %8.1f  %s" % (c.name, c.seconds, c.input_bytes / 1e6 / c.seconds, "  ".join(cells)))


def peak_memory_report(folder):
    """csv_file_to_json on a ~200 MB file in a fresh process: peak RSS against
    the size of the result."""
    path = os.path.join(folder, "big.log")
    block = "\n".join(log_lines(20000)) + "\n"
    with open(path, "w") as out:
        while out.tell() < 200e6:
            out.write(block)
    child = r"""
import sys, zendral
def high_water():  # this process's own peak, unlike ru_maxrss which survives exec
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmHWM:"))
before = high_water()
result = zendral.csv_file_to_json(sys.argv[1])
peak = high_water()
size = sys.getsizeof(result) + sum(sys.getsizeof(line) for line in result)
print(before, peak, size, len(result))
"""
    output = subprocess.check_output([sys.executable, "-c", child, path])
    before, peak, size, count = (int(x) for x in output.split())
    file_mb = os.path.getsize(path) / 1e6
    os.remove(path)
    print("\ncsv_file_to_json on a %.0f MB file (%d lines), in a fresh process:" % (file_mb, count))
    print("  result %.0f MB (Python objects); peak RSS %.0f MB, %.0f MB of it before the call;"
          " peak = %.2f x the result" % (size / 1e6, peak / 1e6, before / 1e6, peak / size))


def malloc_note(log, repeats=5, calls=9):
    """A repeated 200k-line csv_lines_to_json call under pymalloc and under
    PYTHONMALLOC=malloc: child processes in turn, each the median of its calls."""
    child = r"""
import gc, statistics, sys, time, zendral
sys.path.insert(0, sys.argv[1])
from python_bench import log_lines
log = log_lines(200000)
times = []
for _ in range(%d):
    started = time.perf_counter()
    result = zendral.csv_lines_to_json(log)
    del result
    times.append(time.perf_counter() - started)
print(statistics.median(times))
""" % calls
    here = os.path.dirname(os.path.abspath(__file__))
    results = {"pymalloc": [], "malloc": []}
    for _ in range(repeats):
        for name in results:
            env = dict(os.environ)
            env.pop("PYTHONMALLOC", None)
            if name == "malloc":
                env["PYTHONMALLOC"] = "malloc"
            output = subprocess.check_output([sys.executable, "-c", child, here], env=env)
            results[name].append(float(output))
    ratios = [a / b for a, b in zip(results["pymalloc"], results["malloc"])]
    print("\nrepeated csv_lines_to_json on 200,000 log lines, median of %d calls per process, %d processes each:"
          % (calls, repeats))
    for name, times in results.items():
        print("  %-9s %6.1f ms (%.1f-%.1f)" % (name, 1e3 * statistics.median(times), 1e3 * min(times), 1e3 * max(times)))
    print("  pymalloc / malloc: %.2f (%.2f-%.2f)" % (statistics.median(ratios), min(ratios), max(ratios)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--peer-rounds", type=int, default=5)
    parser.add_argument("--peer-mb", type=float, default=1.0, help="size of the Markdown peers' sample")
    parser.add_argument("--skip-peers", action="store_true")
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument("--skip-malloc", action="store_true")
    parser.add_argument("--documents-only", action="store_true",
                        help="only the whole-document comparison (no zendral_bench_ext needed)")
    parser.add_argument("--document-rounds", type=int, default=9)
    args = parser.parse_args()

    print("Python %s, zendral from %s" % (sys.version.split()[0], zendral.__file__))
    documents = markdown_documents()
    title, contenders = document_group(documents)
    lines = "".join(t if t.endswith("\n") else t + "\n" for t in documents)[:-1].split("\n")
    check_agreement("zendral_document.md_to_html vs md_to_html", contenders[0].call(),
                    "".join(line + "\n" for line in zendral.md_to_html(lines)))
    for _ in range(args.document_rounds):
        for contender in contenders:
            contender.run_once()
    print("\nmedian of %d interleaved rounds; x zendral_document raw, x escaped: median (range) of per-round ratios"
          % args.document_rounds)
    report(title, contenders, contenders[0], contenders[:2])
    peers = [c for c in contenders if c.name.startswith("pyromark.html")]
    for peer, ours in zip(peers, (contenders[1], contenders[2])):  # the str as it is, then fresh
        ratios = peer.ratios_to(ours)
        print("-> %s / %s: %.2f (%.2f-%.2f)" % (peer.name, ours.name, statistics.median(ratios), min(ratios), max(ratios)))
    if args.documents_only:
        return
    if ext is None:
        sys.exit("zendral_bench_ext is not on PYTHONPATH (scripts/bench.sh python builds it)")
    md = "".join(t if t.endswith("\n") else t + "\n" for t in documents)
    md = md[:-1].split("\n") if md else []
    log = log_lines(200000)
    with tempfile.TemporaryDirectory() as folder:
        log_path = os.path.join(folder, "app.log")
        with open(log_path, "w") as out:
            out.write("\n".join(log) + "\n")
        groups = workloads(log_path, md, log)
        print("outputs agree: zendral, plain Python, json.dumps and std::regex give identical lines")
        for _ in range(args.rounds):
            for _, contenders in groups:
                for contender in contenders:
                    contender.run_once()

        print("\nmedian of %d interleaved rounds; ratios: median (range) of per-round ratios, per input byte"
              % args.rounds)
        print("  %-38s %8s %8s  %-19s  %-19s  %-19s" % ("", "seconds", "MB/s", "x interface floor",
                                                      "x pybind11 floor", "x copy-once"))
        for title, contenders in groups:
            report(title, contenders, contenders[0], contenders[:3])
        for title, contenders in groups:
            zendral_row = contenders[3]
            print("-> %s: %.2fx the interface floor; %s" % (
                zendral_row.name, statistics.median(zendral_row.ratios_to(contenders[0])),
                ", ".join("%s %.1fx slower" % (c.name, statistics.median(c.ratios_to(zendral_row)))
                          for c in contenders[4:])))

        if not args.skip_peers:
            title, contenders = peer_group(documents, args.peer_mb * 1e6)
            for _ in range(args.peer_rounds):
                for contender in contenders:
                    contender.run_once()
            print("\nmedian of %d interleaved rounds; x zendral: median (range) of per-round ratios" % args.peer_rounds)
            report(title, contenders, contenders[0], contenders[:1])
        if not args.skip_malloc:
            malloc_note(log)
        if not args.skip_memory:
            peak_memory_report(folder)


if __name__ == "__main__":
    main()
