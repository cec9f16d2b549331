"""The `zendral` command and zendral_document against the peers and the
floors, whole processes timed side by side (`scripts/bench.sh peers`, which
sets everything up and calls this):

  kv     `zendral kv LOG -o OUT` on a generated 1,000,000-line web-service
         log, against Miller (`mlr -S --idkvp --ojsonl cat`), the I/O floor
         (bench/io_floor.c: reads the log and writes zendral's output bytes,
         prepared once, in 1 MiB blocks, converting nothing), a bare
         interpreter start (`python -I -c pass`) and `cp` of the output
  md     `zendral md DOCS -o OUT` on the machine's Markdown docs joined,
         against md4c's HTML renderer (bench/md4c_html.c), cmark and discount
  start  `zendral kv EMPTY`, `zendral --version`, `python -I -c pass`
  documents  zendral_document.md_to_html(text) against pyromark and
         markdown-it-pyrs, str in and str out, in one process
         (bench/documents_bench.py)
  batch  `zendral batch LOGS OUT` with 2 workers against 1
  split  where `zendral kv` and `zendral md`'s time goes: the interpreter's
         start, the command's imports, reading and converting (the module's
         file function into /dev/null), writing (the same into a new file),
         each from differences of whole processes timed in the same rounds;
         and the command's slowest imports (-X importtime)
  instructions  one run of each contender of kv (but Miller and cp), md and
         start under callgrind: the instructions each process ran in user
         space, which the machine's load does not move (the kernel's work,
         reading and writing files, is not counted)

Every round runs every contender of a group once, in an order that turns
round by round; each output file is removed before its run. A time is the
wall clock of the whole process (os.wait4 gives its CPU and peak memory).
Ratios are taken per round and shown as the median (range) over the rounds.
The machine's load is reported: the load average at each round, and the
cores that other processes kept busy while this ran (/proc/stat less what
this benchmark's children used).

usage: peers_bench.py --venv VENV --tools DIR [--tree DIR] [--label TEXT]
                      [--rounds N] [--start-rounds N] [--document-rounds N]
                      [--batch-files N] [--batch-mb MB] [--only GROUP,...]
                      [--scratch DIR]
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GROUPS = ("kv", "md", "start", "documents", "batch", "split", "instructions")
LOG_LINES = 1000000


class Contender:
    """One command line; `stdout` names the file its standard output goes
    to, `removes` the paths removed before each run (its outputs)."""

    def __init__(self, name, argv, stdout=None, removes=()):
        self.name, self.argv, self.stdout, self.removes = name, argv, stdout, removes
        self.wall, self.cpu, self.peak = [], [], 0

    def run(self, env, keep_stderr=False):
        for path in self.removes:
            if os.path.isdir(path):
                shutil.rmtree(path)
            elif os.path.lexists(path):
                os.remove(path)
        out = open(self.stdout, "wb") if self.stdout else subprocess.DEVNULL
        try:
            started = time.perf_counter()
            process = subprocess.Popen(self.argv, env=env, stdout=out, stderr=subprocess.PIPE)
            _, status, usage = os.wait4(process.pid, 0)
            elapsed = time.perf_counter() - started
        finally:
            if self.stdout:
                out.close()
        process.returncode = status  # reaped here, not by Popen
        errors = process.stderr.read()
        process.stderr.close()
        if status != 0:
            sys.exit("%s failed (status %d): %s" % (" ".join(self.argv), status,
                                                    errors.decode(errors="replace")))
        if keep_stderr:
            return errors.decode(errors="replace")
        return elapsed, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024

    def record(self, env):
        elapsed, cpu, peak = self.run(env)
        self.wall.append(elapsed)
        self.cpu.append(cpu)
        self.peak = max(self.peak, peak)


def spread(values, digits=2):
    form = "%%.%df" % digits
    return (form + " (" + form + "-" + form + ")") % (statistics.median(values), min(values), max(values))


def per_round(function, *series):
    return [function(*values) for values in zip(*series)]


class Machine:
    """The load: the 1-minute load average at each round, and the CPU time
    that processes other than this benchmark's children spent."""

    def __init__(self):
        self.loads = []
        self.busy0, self.children0, self.started = busy_seconds(), children_seconds(), time.monotonic()

    def sample(self):
        self.loads.append(os.getloadavg()[0])

    def summary(self):
        wall = time.monotonic() - self.started
        others = busy_seconds() - self.busy0 - (children_seconds() - self.children0)
        return ("load average (1 min) %.2f-%.2f over the rounds; other processes kept %.2f of %d cores busy"
                % (min(self.loads), max(self.loads), max(others, 0.0) / wall, os.cpu_count()))


def busy_seconds():
    with open("/proc/stat") as stat:
        fields = [int(value) for value in stat.readline().split()[1:]]
    return (sum(fields) - fields[3] - fields[4]) / os.sysconf("SC_CLK_TCK")  # less idle and iowait


def children_seconds():
    """This process's CPU and that of the children it waited for."""
    times = os.times()
    return times.user + times.system + times.children_user + times.children_system


def clean_environment(venv):
    """The caller's environment less what would change which Python code runs."""
    env = {key: value for key, value in os.environ.items()
           if not key.startswith("PYTHON") and key != "VIRTUAL_ENV"}
    env["PATH"] = os.path.join(venv, "bin") + os.pathsep + env.get("PATH", "")
    return env


def output_of(argv, env=None):
    try:
        return subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              check=True).stdout.decode(errors="replace").strip()
    except (OSError, subprocess.CalledProcessError):
        return "?"


def describe(args, env):
    python = os.path.join(args.venv, "bin", "python")
    versions = output_of([python, "-c", "import importlib.metadata as m\nfor d in ('zendral', 'pyromark', "
                          "'markdown-it-pyrs'):\n try: print(d, m.version(d))\n except Exception: pass"], env)
    md4c = output_of(["dpkg-query", "-W", "-f", "${Version}", "libmd4c-html0"])
    print("zendral from %s (%s), %s; %s"
          % (args.tree, args.label, output_of([python, "-VV"]).splitlines()[0], versions.replace("\n", ", ")))
    print("peers: %s; %s; %s; md4c %s" % (output_of(["mlr", "--version"]),
                                         output_of(["cmark", "--version"]).splitlines()[0],
                                         output_of(["markdown", "-V"]), md4c))
    print("%d CPUs; load average at the start %.2f %.2f %.2f" % ((os.cpu_count(),) + os.getloadavg()))


def make_inputs(args, folder):
    tools = args.tools
    paths = {name: os.path.join(folder, name) for name in ("app.log", "docs.md", "empty.log", "logs")}
    subprocess.check_call([os.path.join(tools, "make_inputs"), "log", str(LOG_LINES), paths["app.log"]])
    subprocess.check_call([os.path.join(tools, "make_inputs"), "docs", paths["docs.md"]])
    open(paths["empty.log"], "wb").close()
    if "batch" in args.only:
        subprocess.check_call([sys.executable, os.path.join(HERE, "scaling", "make_logs.py"), paths["logs"],
                               str(args.batch_files), str(args.batch_mb)])
    for name in ("app.log", "docs.md", "logs"):
        if os.path.exists(paths[name]):
            print("input %s: %s" % (name, size_of(paths[name])))
    return paths


def size_of(path):
    if os.path.isdir(path):
        names = os.listdir(path)
        total = sum(os.path.getsize(os.path.join(path, name)) for name in names)
        return "%d files, %.1f MB" % (len(names), total / 1e6)
    with open(path, "rb") as source:
        lines = sum(block.count(b"\n") for block in iter(lambda: source.read(1 << 20), b""))
    size = os.path.getsize(path)
    return "%.1f MB (%.1f MiB), %d lines" % (size / 1e6, size / 2 ** 20, lines)


def groups(args, paths, folder):
    """{group: [Contender, ...]}, zendral's first in each."""
    venv_bin = os.path.join(args.venv, "bin")
    zendral, python = os.path.join(venv_bin, "zendral"), os.path.join(venv_bin, "python")
    out = lambda name: os.path.join(folder, name)  # noqa: E731
    prepared = out("prepared.jsonl")
    found = {}
    if "kv" in args.only:
        found["kv"] = [
            Contender("zendral kv LOG -o OUT", [zendral, "kv", paths["app.log"], "-o", out("kv.jsonl")],
                      removes=[out("kv.jsonl")]),
            Contender("I/O floor (io_floor.c)", [os.path.join(args.tools, "io_floor"), paths["app.log"],
                                                 prepared, out("floor.jsonl")], removes=[out("floor.jsonl")]),
            Contender("python -I -c pass", [python, "-I", "-c", "pass"]),
            Contender("cp OUT COPY", ["cp", prepared, out("copy.jsonl")], removes=[out("copy.jsonl")]),
            Contender("Miller: mlr -S --idkvp --ojsonl cat", ["mlr", "-S", "--idkvp", "--ojsonl", "cat",
                                                              paths["app.log"]],
                      stdout=out("mlr.jsonl"), removes=[out("mlr.jsonl")]),
        ]
    if "md" in args.only:
        docs = paths["docs.md"]
        found["md"] = [
            Contender("zendral md DOCS -o OUT", [zendral, "md", docs, "-o", out("md.html")], removes=[out("md.html")]),
            Contender("md4c md_html (md4c_html.c)", [os.path.join(args.tools, "md4c_html"), docs],
                      stdout=out("md4c.html"), removes=[out("md4c.html")]),
            Contender("cmark", ["cmark", docs], stdout=out("cmark.html"), removes=[out("cmark.html")]),
            Contender("discount: markdown", ["markdown", docs], stdout=out("discount.html"),
                      removes=[out("discount.html")]),
        ]
    if "start" in args.only:
        found["start"] = [
            Contender("zendral kv EMPTY", [zendral, "kv", paths["empty.log"]]),
            Contender("zendral --version", [zendral, "--version"]),
            Contender("python -I -c pass", [python, "-I", "-c", "pass"]),
        ]
    if "batch" in args.only:
        found["batch"] = [
            Contender("zendral batch LOGS OUT --workers 2",
                      [zendral, "batch", paths["logs"], out("batch2"), "--workers", "2"], removes=[out("batch2")]),
            Contender("zendral batch LOGS OUT --workers 1",
                      [zendral, "batch", paths["logs"], out("batch1"), "--workers", "1"], removes=[out("batch1")]),
        ]
    if "split" in args.only:
        for kind, source in (("kv", paths["app.log"]), ("md", paths["docs.md"])):
            found["split " + kind] = split_contenders(kind, source, zendral, python, out)
    return found


# The module's file function, as the command calls it by default, from a
# path into the target named by argv[2] ("-" for /dev/null).
CONVERT = """import os, sys, zendral_document
target = os.open(os.devnull, os.O_WRONLY) if sys.argv[2] == "-" else sys.argv[2]
zendral_document.%s(sys.argv[1], target)"""


def split_contenders(kind, source, zendral, python, out):
    function = "kv_file_to_json" if kind == "kv" else "md_file_to_html"
    code = CONVERT % function
    target = out("split-%s.out" % kind)
    return [
        Contender("zendral %s FILE -o OUT" % kind, [zendral, kind, source, "-o", target], removes=[target]),
        Contender("python -I -c pass", [python, "-I", "-c", "pass"]),
        Contender("python: import zendral_document", [python, "-I", "-c", "import zendral_document"]),
        Contender("zendral %s EMPTY" % kind, [zendral, kind, out("empty.log")]),
        Contender("python: %s(FILE, /dev/null)" % function, [python, "-I", "-c", code, source, "-"]),
        Contender("python: %s(FILE, NEW)" % function, [python, "-I", "-c", code, source, target],
                  removes=[target]),
    ]


def report_split(kind, contenders):
    """Each part as a difference of two processes timed in the same round,
    in wall time and in CPU time (user + system, which other work on the
    machine moves least)."""
    whole, bare, module, empty, null, new = contenders
    process_table("split: where `zendral %s FILE -o OUT` spends its time" % kind, contenders, whole)
    parts = [
        ("interpreter start (python -I -c pass)", lambda t: t[bare]),
        ("the command's imports and set-up (zendral %s EMPTY - python)" % kind, lambda t: t[empty] - t[bare]),
        ("reading and converting (to /dev/null - import)", lambda t: t[null] - t[module]),
        ("writing the output (to a new file - to /dev/null)", lambda t: t[new] - t[null]),
        ("the rest (whole - EMPTY - (to a new file - import))",
         lambda t: t[whole] - t[empty] - (t[new] - t[module])),
    ]
    print("  %-58s %-28s %s" % ("", "wall s, median (range)", "CPU s, median (range)"))
    for name, part in parts:
        cells = []
        for series in ("wall", "cpu"):
            rounds = [dict(zip(contenders, values)) for values in zip(*(getattr(c, series) for c in contenders))]
            values = [part(times) for times in rounds]
            share = 100 * statistics.median(values) / statistics.median(getattr(whole, series))
            cells.append("%-22s %3.0f %%" % (spread(values, 3), share))
        print("  -> %-55s %s  %s" % (name, cells[0], cells[1]))


def count_instructions(found, env):
    """{contender: instructions} of one run each under callgrind."""
    counts = {}
    for name in ("kv", "md", "start"):
        for contender in found.get(name, []):
            if contender.argv[0] in ("mlr", "cp"):
                continue
            probe = Contender(contender.name, ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"]
                              + contender.argv, contender.stdout, contender.removes)
            errors = probe.run(env, keep_stderr=True)
            found_count = [line.split("Collected :")[1] for line in errors.splitlines() if "Collected :" in line]
            counts[contender] = int(found_count[-1]) if found_count else None
    return counts


def report_instructions(found, counts):
    print("\ninstructions in user space, one run each under callgrind (kernel work not counted)")
    for name in ("kv", "md", "start"):
        contenders = [c for c in found.get(name, []) if counts.get(c)]
        if not contenders:
            continue
        reference = contenders[0] if name != "start" else contenders[-1]
        for c in contenders:
            print("  %-5s %-40s %15s  x %s %.2f" % (name, c.name, "{:,}".format(counts[c]),
                                                  reference.name.split(" ")[0], counts[c] / counts[reference]))


def slowest_imports(zendral, empty, env, count=12):
    """The command's imports by cumulative time, from -X importtime."""
    python = os.path.join(os.path.dirname(zendral), "python")
    errors = subprocess.run([python, "-X", "importtime", zendral, "kv", empty], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE).stderr.decode(errors="replace")
    rows = []
    for line in errors.splitlines():
        if line.startswith("import time:") and "|" in line and "self" not in line:
            own, cumulative, name = line[len("import time:"):].split("|")
            rows.append((int(cumulative), int(own), name.rstrip()[1:]))  # nested: indented
    print("\nthe command's imports, one run of `python -X importtime zendral kv EMPTY`, top level"
          " (microseconds):")
    print("  %10s %10s  %s" % ("cumulative", "self", "module"))
    top_level = [row for row in rows if not row[2].startswith(" ")]
    for cumulative, own, name in sorted(top_level, reverse=True)[:count]:
        print("  %10d %10d  %s" % (cumulative, own, name))
    print("  all imports: %d us" % sum(row[0] for row in top_level))


def same_files(a, b):
    with open(a, "rb") as first, open(b, "rb") as second:
        while True:
            x, y = first.read(1 << 20), second.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def prepare(found, env, folder):
    """One run of everything, uncounted: the floor's prepared output, a
    warm page cache, and the checks that the floor writes zendral's bytes and
    that both batch runs agree."""
    if "kv" in found:
        found["kv"][0].run(env)
        shutil.copyfile(os.path.join(folder, "kv.jsonl"), os.path.join(folder, "prepared.jsonl"))
    for contenders in found.values():
        for contender in contenders:
            contender.run(env)
    if "kv" in found and not same_files(os.path.join(folder, "kv.jsonl"), os.path.join(folder, "floor.jsonl")):
        sys.exit("the I/O floor did not write zendral's bytes")
    if "batch" in found:
        one, two = os.path.join(folder, "batch1"), os.path.join(folder, "batch2")
        names = sorted(os.listdir(one))
        if names != sorted(os.listdir(two)) or not all(
                same_files(os.path.join(one, name), os.path.join(two, name)) for name in names):
            sys.exit("batch with 1 and 2 workers wrote different outputs")


def time_processes(found, rounds, env, machine):
    """Interleaved rounds; the order within a group turns each round."""
    for round_ in range(rounds):
        machine.sample()
        for name, contenders in found.items():
            if name == "start":
                continue
            turn = round_ % len(contenders)
            for contender in contenders[turn:] + contenders[:turn]:
                contender.record(env)


def time_starts(contenders, rounds, env):
    for round_ in range(rounds):
        turn = round_ % len(contenders)
        for contender in contenders[turn:] + contenders[:turn]:
            contender.record(env)


def time_documents(args, paths, env):
    python = os.path.join(args.venv, "bin", "python")
    output = subprocess.check_output([python, os.path.join(HERE, "documents_bench.py"), paths["docs.md"],
                                      str(args.document_rounds)], env=env)
    return json.loads(output.decode())


def process_table(title, contenders, reference):
    print("\n%s\n  %-40s %-22s %-22s %8s  %s" % (title, "", "wall s, median (range)", "CPU s", "peak MB",
                                                 "x %s, per round" % reference.name.split(" ")[0]))
    for c in contenders:
        ratio = per_round(lambda mine, theirs: mine / theirs, c.wall, reference.wall)
        print("  %-40s %-22s %-22s %8.0f  %s" % (c.name, spread(c.wall, 3), spread(c.cpu, 3), c.peak / 1e6,
                                                 spread(ratio)))


def target(label, function, contenders, goal, at_most=False, cpu=True):
    """A target's line: function of the contenders' times, per round, in
    wall time (what the target is judged on) and in CPU time (user +
    system, which the machine's load moves least)."""
    cells = []
    for series in ("wall", "cpu") if cpu else ("wall",):
        values = per_round(function, *(getattr(c, series) for c in contenders))
        cells.append(spread(values))
        if series == "wall":
            middle = statistics.median(values)
            met = middle <= goal if at_most else middle >= goal
    print("  -> %s: %s, target %s %g %s%s" % (label, cells[0], "<=" if at_most else ">=", goal,
                                            "met" if met else "NOT met", "; CPU: " + cells[1] if cpu else ""))


def report_kv(kv):
    zendral, floor, python, copy, miller = kv
    process_table("kv: the 1,000,000-line log", kv, zendral)
    target("t_zendral / (1.5 x t_floor + t_python)", lambda z, f, p: z / (1.5 * f + p), (zendral, floor, python),
           1, at_most=True)
    target("Miller / zendral", lambda m, z: m / z, (miller, zendral), 10)
    print("  -> zendral / floor %s; less a bare start: %s"
          % (spread(per_round(lambda z, f: z / f, zendral.wall, floor.wall)),
             spread(per_round(lambda z, f, p: (z - p) / f, zendral.wall, floor.wall, python.wall))))


def report_md(md):
    zendral = md[0]
    process_table("md: the docs", md, zendral)
    for peer, need in zip(md[1:], (2.0, 1.0, 1.0)):
        target("%s / zendral" % peer.name, lambda p, z: p / z, (peer, zendral), need)


def report_start(start):
    process_table("start", start, start[2])
    target("zendral kv EMPTY / python -I -c pass", lambda z, p: z / p, (start[0], start[2]), 2, at_most=True)


def report_documents(times, size):
    names = list(times)
    reference = times[names[0]]
    print("\ndocuments: the docs as one str, %.1f MB, converted in one call, str in and str out (one process)" % (
        size / 1e6))
    for name in names:
        ratios = per_round(lambda t, z: t / z, times[name], reference)
        print("  %-40s %-22s %7.1f MB/s  x zendral_document %s" % (
            name, spread(times[name], 3), size / 1e6 / statistics.median(times[name]), spread(ratios)))
    if "pyromark.html" in times:
        ratios = per_round(lambda p, z: p / z, times["pyromark.html"], reference)
        print("  -> pyromark / zendral_document: %s, target >= 4 %s"
              % (spread(ratios), "met" if statistics.median(ratios) >= 4 else "NOT met"))


def report_batch(batch):
    two, one = batch
    process_table("batch: a folder of logs", batch, two)
    # Both do the same work: only the wall clock can show the second core.
    target("1 worker / 2 workers", lambda a, b: a / b, (one, two), 1.8, cpu=False)


def arguments():
    parser = argparse.ArgumentParser(description="zendral against its peers, whole processes")
    parser.add_argument("--venv", required=True, help="a venv with zendral and the Python peers")
    parser.add_argument("--tools", required=True, help="the folder of io_floor, md4c_html, make_inputs")
    parser.add_argument("--tree", default="?", help="where the zendral under test came from")
    parser.add_argument("--label", default="", help="its commit")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--start-rounds", type=int, default=21)
    parser.add_argument("--document-rounds", type=int, default=7)
    parser.add_argument("--batch-files", type=int, default=16)
    parser.add_argument("--batch-mb", type=int, default=10, help="size of each batch log")
    parser.add_argument("--only", default=",".join(GROUPS), help="groups to run, of " + ",".join(GROUPS))
    parser.add_argument("--scratch", help="folder for the inputs and outputs (default: a temporary one)")
    args = parser.parse_args()
    args.only = [name for name in args.only.split(",") if name]
    unknown = set(args.only) - set(GROUPS)
    if unknown:
        parser.error("unknown groups: %s" % ", ".join(sorted(unknown)))
    return args


def main():
    args = arguments()
    env = clean_environment(args.venv)
    describe(args, env)
    with tempfile.TemporaryDirectory(prefix="zendral-peers-", dir=args.scratch) as folder:
        paths = make_inputs(args, folder)
        found = groups(args, paths, folder)
        prepare(found, env, folder)
        machine = Machine()
        print("\n%d interleaved rounds (start: %d, documents: %d)..." % (args.rounds, args.start_rounds,
                                                                       args.document_rounds))
        sys.stdout.flush()
        time_processes(found, args.rounds, env, machine)
        if "start" in found:
            time_starts(found["start"], args.start_rounds, env)
        documents = time_documents(args, paths, env) if "documents" in args.only else None
        machine.sample()
        for name, report in (("kv", report_kv), ("md", report_md), ("start", report_start), ("batch", report_batch)):
            if name in found:
                report(found[name])
        for kind in ("kv", "md"):
            if "split " + kind in found:
                report_split(kind, found["split " + kind])
        if "instructions" in args.only:
            report_instructions(found, count_instructions(found, env))
        if "split" in args.only:
            slowest_imports(os.path.join(args.venv, "bin", "zendral"), paths["empty.log"], env)
        if documents:
            report_documents(documents, os.path.getsize(paths["docs.md"]))
        print("\n" + machine.summary())


if __name__ == "__main__":
    main()
