"""measure.py INPUT SCRATCH [ROUNDS] [SETUP...]: runs `zendral batch` in each
SETUP (ENGINE or ENGINE/WORKERS; serial, processes/2 and cluster/2 by
default) in turn, ROUNDS times (3), interleaved, each run in a process group
of its own and into a new folder under SCRATCH, all removed at the end (ext4
makes a file slowly for some 30 s after many were deleted, scanning for
inodes it may not reuse yet: removing the last run's outputs before each run
would time that). Prints for each run its wall time, conversion time, peak
RSS summed over its process group and the largest single one, the CPU time
of the command's own process and of its workers (user, system), and what the
rest of the machine used meanwhile, in cores; then the medians, with the
median of the per-round ratios of the first setup's wall time to each
other's; and checks that every setup's outputs equal the first's."""
import filecmp
import itertools
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

data, scratch = sys.argv[1:3]
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
setups = sys.argv[4:] or ["serial", "processes/2", "cluster/2"]
page = os.sysconf("SC_PAGE_SIZE")

# The command, then the CPU time of its own process and of its reaped
# workers, as the last line on stderr.
COMMAND = (
    "import resource, sys\n"
    "from zendral_cli import main\n"
    "status = main(sys.argv[1:])\n"
    "own, workers = (resource.getrusage(who) for who in\n"
    "                (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN))\n"
    "sys.stderr.write('CPU %f %f %f\\n' % (own.ru_utime + own.ru_stime,\n"
    "                                    workers.ru_utime, workers.ru_stime))\n"
    "sys.exit(status)\n")


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


def run(setup, number=itertools.count()):
    """(wall, converting, peak sum MiB, largest MiB, command CPU, workers'
    user, workers' system, others' cores), and the output folder."""
    engine, _, workers = setup.partition("/")
    target = os.path.join(scratch, "%s-%d" % (setup.replace("/", "-"), next(number)))
    command = [sys.executable, "-c", COMMAND, "batch", data, target, "--engine", engine,
               "--workers", workers or "2", "--progress"]
    began, busy = time.monotonic(), busy_seconds()
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
    summary = process.stderr.read().decode()
    if process.returncode:
        raise SystemExit("%s failed: %s" % (setup, summary))
    converting = float(re.search(r" in ([0-9.]+) s", summary).group(1))
    own, user, system = map(float, summary.split()[-3:])
    others = max(busy_seconds() - busy - own - user - system, 0.0) / wall
    return (wall, converting, peak_sum / 2**20, peak_one / 2**20, own, user, system,
            others), target


results, outputs = {setup: [] for setup in setups}, {}
for round_ in range(rounds):
    for setup in setups:
        row, outputs[setup] = run(setup)
        results[setup].append(row)
        print("round %d %-12s wall %6.2f s  converting %6.2f s  peak sum %5.0f MiB  largest "
              "%5.0f MiB  CPU: command %5.2f s, workers %6.2f s user %6.2f s system  others "
              "%.2f cores  load %.1f" % ((round_ + 1, setup) + row + (os.getloadavg()[0],)),
              flush=True)

first = setups[0]
names = sorted(os.listdir(outputs[first]))
for setup in setups[1:]:
    match, _, _ = filecmp.cmpfiles(outputs[first], outputs[setup], names, shallow=False)
    print("%s outputs equal %s's: %d of %d" % (setup, first, len(match), len(names)))
shutil.rmtree(scratch)

print("| setup | wall | converting | speed-up | peak RSS, sum | largest process "
      "| CPU: command | workers, user | workers, system | others |")
for setup in setups:
    medians = [statistics.median(column) for column in zip(*results[setup])]
    ratio = statistics.median(one[0] / this[0] for one, this in zip(results[first], results[setup]))
    print("| %s | %.2f s | %.2f s | %.2fx | %.0f MiB | %.0f MiB | %.2f s | %.2f s | %.2f s "
          "| %.2f cores |" % tuple([setup] + medians[:2] + [ratio] + medians[2:]))
