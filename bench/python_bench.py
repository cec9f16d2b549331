"""zendral from Python, side by side with the floor and the alternatives.

Each workload is timed for every contender in the same process, in
interleaved rounds; the table shows medians. Two floors, neither converting
anything (zendral_bench_ext): pybind11's (the same lists through pybind11's
list and string casters, which copy each line twice) and copy-once (zendral's
own boundary: each line read in place and copied once, into its new str).
"x floor" and "x once" compare seconds per input byte with each.

usage: python_bench.py [--rounds N] [--skip-memory]
(needs zendral and zendral_bench_ext on PYTHONPATH, and bench/ for plain_python)
"""
import argparse
import gc
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

import plain_python
import zendral
import zendral_bench_ext as ext

MARKDOWN_ROOT = os.environ.get("ZENDRAL_BENCH_MARKDOWN_ROOT", "/usr/share/doc")
REGEX_SAFE_LINE = 2000  # longer lines risk std::regex's per-byte recursion
REGEX_SAMPLE_BYTES = 1 << 20


def markdown_lines():
    texts = []
    for folder, _, names in sorted(os.walk(MARKDOWN_ROOT)):
        for name in sorted(names):
            path = os.path.join(folder, name)
            if name.endswith((".md", ".markdown")) and os.path.isfile(path):
                with open(path, "rb") as source:
                    texts.append(source.read().decode("utf-8", "replace"))
    text = "".join(t if t.endswith("\n") else t + "\n" for t in texts)
    return text[:-1].split("\n") if text else []


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


class Contender:
    def __init__(self, name, call, input_bytes):
        self.name, self.call, self.input_bytes, self.times = name, call, input_bytes, []

    def run_once(self):
        gc.collect()
        gc.disable()
        started = time.perf_counter()
        result = self.call()
        elapsed = time.perf_counter() - started
        gc.enable()
        del result
        self.times.append(elapsed)

    @property
    def seconds(self):
        return statistics.median(self.times)

    @property
    def seconds_per_mb(self):
        return self.seconds / (self.input_bytes / 1e6)


def check_agreement(label, expected, actual):
    if expected != actual:
        sys.exit("%s: outputs differ; refusing to time a wrong answer" % label)


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

    return [
        ("md_to_html: %d Markdown files' lines, %.1f MB" % (len(md), md_bytes / 1e6), [
            Contender("floor: copy_lines", lambda: ext.copy_lines(md), md_bytes),
            Contender("copy-once: copy_once", lambda: ext.copy_once(md), md_bytes),
            Contender("zendral.md_to_html", lambda: zendral.md_to_html(md), md_bytes),
            Contender("plain Python (re)", lambda: plain_python.md_to_html(md), md_bytes),
            Contender("std::regex, %.1f MB sample" % (sample_bytes / 1e6),
                      lambda: ext.regex_md_to_html(regex_sample), sample_bytes),
        ]),
        ("csv_lines_to_json: %d log lines, %.1f MB" % (len(log), log_bytes / 1e6), [
            Contender("floor: pass_lines", lambda: ext.pass_lines(log), log_bytes),
            Contender("copy-once: copy_once", lambda: ext.copy_once(log), log_bytes),
            Contender("zendral.csv_lines_to_json", lambda: zendral.csv_lines_to_json(log), log_bytes),
            Contender("plain Python", lambda: plain_python.csv_lines_to_json(log), log_bytes),
        ]),
        ("csv_file_to_json: the same log as a file", [
            Contender("floor: read_lines", lambda: ext.read_lines(log_path), log_bytes),
            Contender("copy-once: read_once", lambda: ext.read_once(log_path), log_bytes),
            Contender("zendral.csv_file_to_json", lambda: zendral.csv_file_to_json(log_path), log_bytes),
            Contender("plain Python", lambda: plain_python.csv_file_to_json(log_path), log_bytes),
        ]),
    ]


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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--skip-memory", action="store_true")
    args = parser.parse_args()

    print("Python %s, zendral from %s" % (sys.version.split()[0], zendral.__file__))
    md, log = markdown_lines(), log_lines(200000)
    with tempfile.TemporaryDirectory() as folder:
        log_path = os.path.join(folder, "app.log")
        with open(log_path, "w") as out:
            out.write("\n".join(log) + "\n")
        groups = workloads(log_path, md, log)
        print("outputs agree: zendral, plain Python and std::regex give identical lines")
        for _ in range(args.rounds):
            for _, contenders in groups:
                for contender in contenders:
                    contender.run_once()

        print("\nmedian of %d interleaved rounds" % args.rounds)
        print("%-34s %10s %9s %9s %9s" % ("", "seconds", "MB/s", "x floor", "x once"))
        for title, contenders in groups:
            print(title)
            floor, once = contenders[0].seconds_per_mb, contenders[1].seconds_per_mb
            for c in contenders:
                print("  %-32s %10.4f %9.1f %9.2f %9.2f" % (
                    c.name, c.seconds, c.input_bytes / 1e6 / c.seconds, c.seconds_per_mb / floor,
                    c.seconds_per_mb / once))
            zendral_row, plain_row = contenders[2], contenders[3]
            print("  -> %s: %.2fx the pybind11 floor, %.2fx copy-once, %.1fx faster than plain Python" % (
                zendral_row.name, zendral_row.seconds_per_mb / floor, zendral_row.seconds_per_mb / once,
                plain_row.seconds_per_mb / zendral_row.seconds_per_mb))
        if not args.skip_memory:
            peak_memory_report(folder)


if __name__ == "__main__":
    main()
