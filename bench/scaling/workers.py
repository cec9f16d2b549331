"""workers.py INPUT SCRATCH [ROUNDS] [WORKERS...]: `zendral batch` on the
process pool with each number of WORKERS (1 2 by default) in turn, ROUNDS
times (5), interleaved, each run into a new folder under SCRATCH, all removed
at the end (ext4 makes a file slowly for some 30 s after many were deleted,
scanning for inodes it may not reuse yet: removing the last run's outputs
before each run would time that). Prints each run's
wall time, the CPU time of the command's own process and of its workers
(user + system), and what the rest of the machine used meanwhile (in cores);
then the medians, and the median of the per-round ratios of the first
setting's wall time to each other's."""
import itertools
import os
import shutil
import statistics
import subprocess
import sys
import time

data, scratch = sys.argv[1:3]
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
settings = [int(value) for value in sys.argv[4:]] or [1, 2]

# The command, then its own CPU time and its reaped workers', on stderr.
COMMAND = (
    "import resource, sys\n"
    "from zendral_cli import main\n"
    "status = main(sys.argv[1:])\n"
    "own, workers = (resource.getrusage(who) for who in\n"
    "                (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN))\n"
    "sys.stderr.write('CPU %f %f %f %f\\n' % (own.ru_utime, own.ru_stime,\n"
    "                                       workers.ru_utime, workers.ru_stime))\n"
    "sys.exit(status)\n")


def busy_seconds():
    """CPU time the whole machine has spent busy so far."""
    with open("/proc/stat") as stat:
        fields = [int(value) for value in stat.readline().split()[1:]]
    return (sum(fields) - fields[3] - fields[4]) / os.sysconf("SC_CLK_TCK")  # less idle, iowait


def run(workers, number=itertools.count()):
    target = os.path.join(scratch, "out%d" % next(number))
    began, busy = time.monotonic(), busy_seconds()
    done = subprocess.run([sys.executable, "-c", COMMAND, "batch", data, target,
                           "--workers", str(workers)], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, check=True)
    wall = time.monotonic() - began
    own_user, own_system, user, system = map(float, done.stderr.split()[-4:])
    ours = own_user + own_system + user + system
    return wall, own_user + own_system, user, system, max(busy_seconds() - busy - ours, 0) / wall


results = {workers: [] for workers in settings}
for round_ in range(rounds):
    for workers in settings:
        results[workers].append(run(workers))
        print("round %d  %d worker%s  wall %6.2f s  command %5.2f s  workers user %6.2f s  "
              "system %6.2f s  others %.2f cores  load %.1f"
              % ((round_ + 1, workers, " " if workers == 1 else "s") + results[workers][-1]
                 + (os.getloadavg()[0],)), flush=True)

shutil.rmtree(scratch)
first = settings[0]
print("| workers | wall | command CPU | workers user | workers system | others | speed-up |")
for workers in settings:
    medians = [statistics.median(column) for column in zip(*results[workers])]
    ratio = statistics.median(one[0] / this[0] for one, this in zip(results[first], results[workers]))
    print("| %d | %.2f s | %.2f s | %.2f s | %.2f s | %.2f cores | %.2fx |"
          % tuple([workers] + medians + [ratio]))
