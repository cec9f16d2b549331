"""The `zendral` command against a baseline command, side by side in one run:
`kv FILE -o OUT` on a 1,000,000-line log, `md FILE -o OUT` on the machine's
Markdown docs, `batch` on a folder of logs, `cp` of the kv output as the
yardstick, and peak memory of kv and md on large inputs.

usage: command_bench.py BASELINE_PYTHON [--new-python PYTHON] [--rounds N]
                        [--big-mb MB] [--workers N] [--batch-files N] [--batch-lines N]
                        [--new-flags "--raw"]

The new command is `PYTHON -m zendral_cli` (default: this interpreter) with
this process's PYTHONPATH (the tree under test: its build folder and
src/python). The baseline is `BASELINE_PYTHON -m zendral_cli` with no
PYTHONPATH: an interpreter whose site-packages hold the landed zendral, e.g. a
venv where `pip install` of `git archive main` was run. Give both as venvs of
the same interpreter: an interpreter's own site-packages may import modules
at start-up (a .pth file) that a venv does not, which would be timed too. Each round runs every command
once, in turn; times are wall-clock medians over the rounds, and ratios the
median of per-round ratios. Peak memory is the child's own maximum resident
set (os.wait4). Inputs are generated in a temporary folder, removed at the
end. Outputs of the two commands are compared before anything is timed.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import python_bench  # noqa: E402  (inputs: the docs and log lines)
from peers_bench import same_files as same_file


def run(command, env):
    """(seconds, peak resident bytes, CPU seconds) of one run; fails loudly.
    CPU: user + system time of the process and the children it waited for
    (batch's workers), the figure that other work on the machine moves least. A child's
    peak starts at its parent's resident size when it was forked, so this
    process keeps small: its inputs are made by children of its own."""
    started = time.perf_counter()
    process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - started
    process.returncode = status  # reaped here, not by Popen
    stderr = process.stderr.read()
    process.stderr.close()
    if status != 0:
        sys.exit("%s failed (%d): %s" % (" ".join(command), status, stderr.decode(errors="replace")))
    return elapsed, usage.ru_maxrss * 1024, usage.ru_utime + usage.ru_stime


def environments():
    new = dict(os.environ)
    baseline = dict(os.environ)
    baseline.pop("PYTHONPATH", None)
    return new, baseline


def make(function, *arguments):
    """Runs one of the input writers below in a child process."""
    here = os.path.dirname(os.path.abspath(__file__))
    code = "import sys; sys.path.insert(0, %r); import command_bench; print(command_bench.%s(*%r))" % (
        here, function, arguments)
    return subprocess.check_output([sys.executable, "-c", code]).decode().strip()


def write_log(path, lines, target_bytes=None):
    block = ("\n".join(python_bench.log_lines(lines)) + "\n").encode()
    with open(path, "wb") as out:
        out.write(block)
        while target_bytes and out.tell() + len(block) <= target_bytes:
            out.write(block)


def write_markdown(path, target_bytes=None):
    documents = python_bench.markdown_documents()
    text = "".join(t if t.endswith("\n") else t + "\n" for t in documents).encode()
    with open(path, "wb") as out:
        out.write(text)
        while target_bytes and out.tell() + len(text) <= target_bytes:
            out.write(text)
    return len(documents)


def same_tree(a, b):
    for folder, _, names in os.walk(a):
        for name in names:
            path = os.path.join(folder, name)
            if not same_file(path, os.path.join(b, os.path.relpath(path, a))):
                return False
    return True


def show(label, times):
    return "%-44s %8.3f s (%.3f-%.3f)" % (label, statistics.median(times), min(times), max(times))


def ratio(slow, fast):
    ratios = [s / f for s, f in zip(slow, fast)]
    return "%.2fx (%.2f-%.2f)" % (statistics.median(ratios), min(ratios), max(ratios))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("baseline", help="interpreter with the landed zendral installed")
    parser.add_argument("--new-python", default=sys.executable)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--big-mb", type=float, default=1000, help="size of the memory inputs")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--batch-files", type=int, default=24)
    parser.add_argument("--batch-lines", type=int, default=100000)
    parser.add_argument("--new-flags", default="",
                        help="options for the new command's md, kv and batch, e.g. --raw against a "
                             "baseline whose default output was raw")
    args = parser.parse_args()
    new_env, baseline_env = environments()
    commands = {"new": [args.new_python, "-m", "zendral_cli"], "baseline": [args.baseline, "-m", "zendral_cli"]}
    envs = {"new": new_env, "baseline": baseline_env}
    flags = {"new": args.new_flags.split(), "baseline": []}
    print("Python %s; new: %s -m zendral_cli (PYTHONPATH=%s); baseline: %s -m zendral_cli"
          % (sys.version.split()[0], args.new_python, new_env.get("PYTHONPATH", ""), args.baseline))
    print("load average before: %.2f %.2f %.2f; %d CPUs" % (os.getloadavg() + (os.cpu_count(),)))

    with tempfile.TemporaryDirectory(prefix="zendral-command-bench-") as folder:
        log = os.path.join(folder, "big.log")
        markdown = os.path.join(folder, "docs.md")
        make("write_log", log, 1000000)
        files = int(make("write_markdown", markdown))
        batch_in = os.path.join(folder, "logs")
        os.mkdir(batch_in)
        first = os.path.join(batch_in, "00.log")
        make("write_log", first, args.batch_lines)
        for number in range(1, args.batch_files):
            shutil.copyfile(first, os.path.join(batch_in, "%02d.log" % number))
        batch_bytes = sum(os.path.getsize(os.path.join(batch_in, name)) for name in os.listdir(batch_in))
        print("inputs: %s, %.1f MB, 1,000,000 lines; %s, %.1f MB, %d files' Markdown; %d logs, %.1f MB"
              % (os.path.basename(log), os.path.getsize(log) / 1e6, os.path.basename(markdown),
                 os.path.getsize(markdown) / 1e6, files, args.batch_files, batch_bytes / 1e6))

        def out(name, who):
            return os.path.join(folder, "%s.%s" % (name, who))

        cases = [
            ("kv FILE -o OUT", lambda who: commands[who] + ["kv"] + flags[who] + [log, "-o", out("kv", who)], "kv"),
            ("md FILE -o OUT", lambda who: commands[who] + ["md"] + flags[who] + [markdown, "-o", out("md", who)],
             "md"),
            ("batch, %d workers" % args.workers,
             lambda who: commands[who] + ["batch"] + flags[who] + [batch_in, out("batch", who), "--workers",
                                                                   str(args.workers)], "batch"),
        ]
        for _, command, name in cases:
            for who in ("baseline", "new"):
                run(command(who), envs[who])
            same = same_tree if name == "batch" else same_file
            if not same(out(name, "baseline"), out(name, "new")):
                sys.exit("%s: the outputs differ; refusing to time a wrong answer" % name)
        print("outputs agree: the new command writes the baseline's bytes")

        times = {(label, who): [] for label, _, _ in cases for who in ("baseline", "new")}
        peaks = dict.fromkeys(times, 0)
        cpu = {key: [] for key in times}
        copies = []
        for _ in range(args.rounds):
            for label, command, name in cases:
                for who in ("baseline", "new"):
                    if name == "batch":
                        shutil.rmtree(out(name, who))
                    elapsed, peak, spent = run(command(who), envs[who])
                    times[(label, who)].append(elapsed)
                    cpu[(label, who)].append(spent)
                    peaks[(label, who)] = max(peaks[(label, who)], peak)
            copy = os.path.join(folder, "copy")
            copies.append(run(["cp", out("kv", "new"), copy], new_env)[0])
            os.remove(copy)

        print("\n%d interleaved rounds; median (range) wall-clock seconds; x = baseline/new per round"
              % args.rounds)
        for label, _, name in cases:
            size = batch_bytes if name == "batch" else os.path.getsize(log if name == "kv" else markdown)
            for who in ("baseline", "new"):
                spent = times[(label, who)]
                print("  %s %7.1f MB/s  peak %5.0f MB" % (show("%s (%s)" % (label, who), spent),
                                                          size / 1e6 / statistics.median(spent),
                                                          peaks[(label, who)] / 1e6))
            print("  -> %s: new is %s faster; CPU %.3f s against %.3f s, %s less" % (
                label, ratio(times[(label, "baseline")], times[(label, "new")]),
                statistics.median(cpu[(label, "new")]), statistics.median(cpu[(label, "baseline")]),
                ratio(cpu[(label, "baseline")], cpu[(label, "new")])))
        print("  %s   (%.0f MB of kv output)" % (show("cp OUT copy", copies), os.path.getsize(out("kv", "new")) / 1e6))
        print("  -> kv FILE -o OUT (new) / cp: %s" % ratio(times[(cases[0][0], "new")], copies))
        for name in ("kv", "md", "batch"):
            target = out(name, "baseline")
            (shutil.rmtree if name == "batch" else os.remove)(target)
            (shutil.rmtree if name == "batch" else os.remove)(out(name, "new"))
        os.remove(log)
        os.remove(markdown)
        shutil.rmtree(batch_in)

        if args.big_mb:
            print("\npeak memory of the new command on %.0f MB inputs (one run each):" % args.big_mb)
            big_log, big_md = os.path.join(folder, "huge.log"), os.path.join(folder, "huge.md")
            make("write_log", big_log, 20000, args.big_mb * 1e6)
            make("write_markdown", big_md, args.big_mb * 1e6)
            for kind, path in (("kv", big_log), ("md", big_md)):
                target = os.path.join(folder, "huge.out")
                elapsed, peak, _ = run(commands["new"] + [kind, path, "-o", target], new_env)
                print("  %s FILE -o OUT: %.0f MB in, %.0f MB out, %.2f s, peak resident %.1f MB"
                      % (kind, os.path.getsize(path) / 1e6, os.path.getsize(target) / 1e6, elapsed, peak / 1e6))
                os.remove(target)
                os.remove(path)


if __name__ == "__main__":
    main()
