"""measure.py INPUT SCRATCH [ROUNDS]: runs `zendral batch`'s engines in
turn, ROUNDS times, each in a process group of its own; prints wall time,
conversion time, peak summed RSS of the group and the largest single RSS,
then medians; checks that every engine's outputs equal the serial ones."""
import filecmp
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

data, scratch = sys.argv[1:3]
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
engines = ("serial", "processes", "cluster")
page = os.sysconf("SC_PAGE_SIZE")


def group(pgid):
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as stat:
                if int(stat.read().rsplit(")", 1)[1].split()[2]) == pgid:
                    yield entry
        except (OSError, ValueError):
            pass


def memory(pid):
    """(RSS now, peak RSS) in bytes."""
    with open("/proc/%s/status" % pid) as status:
        fields = dict(line.split(":", 1) for line in status)
    return int(fields["VmRSS"].split()[0]) * 1024, int(fields["VmHWM"].split()[0]) * 1024


def busy_seconds():
    """CPU time the whole machine has spent busy so far."""
    with open("/proc/stat") as stat:
        fields = [int(value) for value in stat.readline().split()[1:]]
    return (sum(fields) - fields[3] - fields[4]) / os.sysconf("SC_CLK_TCK")  # less idle, iowait


def run(engine):
    target = os.path.join(scratch, engine)
    shutil.rmtree(target, ignore_errors=True)
    command = [sys.executable, "-m", "zendral_cli", "batch", data, target, "--engine", engine,
               "--workers", "2", "--progress"]
    began, busy, own = time.monotonic(), busy_seconds(), os.times()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               start_new_session=True)
    peak_sum = peak_one = 0
    while process.poll() is None:
        now = []
        for pid in group(process.pid):
            try:
                rss, hwm = memory(pid)
            except (OSError, KeyError):
                continue
            now.append(rss)
            peak_one = max(peak_one, hwm)
        peak_sum = max(peak_sum, sum(now))
        time.sleep(0.2)
    wall = time.monotonic() - began
    spent = os.times()
    ours = spent.children_user + spent.children_system - own.children_user - own.children_system
    others = max(busy_seconds() - busy - ours, 0.0)
    summary = process.stderr.read().decode()
    if process.returncode:
        raise SystemExit("%s failed: %s" % (engine, summary))
    converting = float(re.search(r" in ([0-9.]+) s", summary).group(1))
    return wall, converting, peak_sum / 2**20, peak_one / 2**20, ours, others / wall


results = {engine: [] for engine in engines}
for round_ in range(rounds):
    for engine in engines:
        results[engine].append(run(engine))
        print("round %d %-9s wall %6.2f s  converting %6.2f s  peak sum %6.0f MiB  "
              "largest %6.0f MiB  CPU %5.1f s  others %.2f cores"
              % ((round_ + 1, engine) + results[engine][-1]), flush=True)

names = sorted(os.listdir(os.path.join(scratch, "serial")))
for engine in engines[1:]:
    match, mismatch, errors = filecmp.cmpfiles(os.path.join(scratch, "serial"),
                                               os.path.join(scratch, engine), names, shallow=False)
    print("%s outputs equal serial: %d of %d" % (engine, len(match), len(names)))

base = statistics.median(row[0] for row in results["serial"])
print("| setup | wall | converting | speedup | peak RSS, sum | largest process | CPU | others |")
for engine in engines:
    wall, converting, peak_sum, peak_one, ours, others = (
        statistics.median(column) for column in zip(*results[engine]))
    print("| %s | %.2f s | %.2f s | %.2f | %.0f MiB | %.0f MiB | %.1f s | %.2f |"
          % (engine, wall, converting, base / wall, peak_sum, peak_one, ours, others))
