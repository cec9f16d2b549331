"""Two builds of the module side by side in one interpreter: each call
against the interface floor of its round, and new/old per round.

usage: compare_modules.py NEW_BUILD OLD_BUILD [ROUNDS]
(each BUILD a folder holding a zendral*.so; NEW_BUILD also bench/ with
zendral_bench_ext, as scripts/bench.sh python builds it; the old build from
an earlier revision, e.g. git archive REV | tar -x -C /tmp/old and a CMake
build of it for the same interpreter)"""
import gc
import glob
import importlib.machinery
import importlib.util
import os
import statistics
import sys
import tempfile
import time


def load(folder):
    # Both are called zendral: each is loaded from its own file.
    path = glob.glob(os.path.join(folder, "zendral*.so"))[0]
    loader = importlib.machinery.ExtensionFileLoader("zendral", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_file_location("zendral", path, loader=loader))
    loader.exec_module(module)
    return module


def main(new_build, old_build, rounds=15):
    old, new = load(old_build), load(new_build)
    sys.path[:0] = [os.path.join(new_build, "bench"), os.path.dirname(os.path.abspath(__file__))]
    import python_bench as bench
    ext = bench.ext
    documents = bench.markdown_documents()
    md = "".join(t if t.endswith("\n") else t + "\n" for t in documents)[:-1].split("\n")
    log = bench.log_lines(200000)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "app.log")
        with open(path, "w") as out:
            out.write("\n".join(log) + "\n")
        if new.md_to_html(md) != old.md_to_html(md) or new.csv_lines_to_json(log) != old.csv_lines_to_json(log):
            sys.exit("the two builds disagree")
        md_shape, log_shape = bench.shape_of(new.md_to_html(md)), bench.shape_of(new.csv_lines_to_json(log))
        cases = [
            ("md_to_html", lambda: ext.interface_floor(md, md_shape), lambda m: m.md_to_html(md)),
            ("csv_lines_to_json", lambda: ext.interface_floor(log, log_shape), lambda m: m.csv_lines_to_json(log)),
            ("csv_file_to_json", lambda: ext.interface_floor_file(path, log_shape), lambda m: m.csv_file_to_json(path)),
        ]
        times = {name: ([], [], []) for name, _, _ in cases}
        for _ in range(rounds):
            for name, floor, call in cases:
                for slot, run in zip(times[name], (floor, lambda: call(old), lambda: call(new))):
                    gc.collect()
                    gc.disable()
                    started = time.perf_counter()
                    result = run()
                    del result
                    slot.append(time.perf_counter() - started)
                    gc.enable()
    show = lambda xs: "%.3f (%.3f-%.3f)" % (statistics.median(xs), min(xs), max(xs))
    print("Python %s, %d interleaved rounds; median (range) of per-round ratios" % (sys.version.split()[0], rounds))
    for name, (floor, old_times, new_times) in times.items():
        print("%-18s floor %6.1f ms | old x floor %s | new x floor %s | new/old %s" % (
            name, 1e3 * statistics.median(floor), show([o / f for o, f in zip(old_times, floor)]),
            show([n / f for n, f in zip(new_times, floor)]), show([n / o for n, o in zip(new_times, old_times)])))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], *(int(a) for a in sys.argv[3:4]))
