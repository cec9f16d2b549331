"""Prints the ratios that matter from a Google Benchmark JSON file of
zendral_bench: md_to_html against md4c, and how flat each adversarial
series' ns per byte stays from 1 KB to 64 MB. With repetitions, the medians."""
import collections
import json
import sys


def main(path):
    with open(path) as source:
        everything = json.load(source)["benchmarks"]
    runs = [b for b in everything if b.get("aggregate_name") == "median"]
    if runs:
        for b in runs:
            b["name"] = b["run_name"]
    else:
        runs = [b for b in everything if b.get("run_type", "iteration") == "iteration"]
    by_name = {b["name"]: b for b in runs}

    print("\nThroughput")
    for b in runs:
        if not b["name"].startswith("scaling/"):
            print("  %-24s %9.1f MB/s  %6.2f ns/byte" % (b["name"], b["bytes_per_second"] / 1e6, ns_per_byte(b)))
    ours, md4c = by_name.get("md_to_html/docs"), by_name.get("md4c/docs")
    if ours and md4c:
        print("  md_to_html / md4c throughput: %.1fx" % (ours["bytes_per_second"] / md4c["bytes_per_second"]))

    series = collections.OrderedDict()
    for b in runs:
        if b["name"].startswith("scaling/"):
            family, size = b["name"][len("scaling/"):].rsplit("/", 1)
            series.setdefault(family, []).append((int(size), ns_per_byte(b)))
    if series:
        sizes = sorted({size for points in series.values() for size, _ in points})
        print("\nAdversarial lines, ns per byte")
        print("  %-30s" % "" + "".join("%8s" % label(s) for s in sizes) + "   max/min")
        for family, points in series.items():
            values = dict(points)
            cells = "".join("%8.2f" % values[s] if s in values else "%8s" % "-" for s in sizes)
            spread = max(values.values()) / min(values.values())
            print("  %-30s%s   %6.2f" % (family, cells, spread))


def ns_per_byte(run):
    return 1e9 / run["bytes_per_second"]


def label(size):
    return "%dM" % (size >> 20) if size >= 1 << 20 else "%dK" % (size >> 10)


if __name__ == "__main__":
    main(sys.argv[1])
