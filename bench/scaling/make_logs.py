"""make_logs.py FOLDER [FILES] [MB]: key=value logs, 20 MB each by default."""
import os
import random
import sys

folder = sys.argv[1]
files = int(sys.argv[2]) if len(sys.argv) > 2 else 64
size = int(sys.argv[3]) * 1000000 if len(sys.argv) > 3 else 20000000
os.makedirs(folder, exist_ok=True)
for n in range(files):
    rng = random.Random(n)
    lines, total = [], 0
    while total < size:
        status = rng.choice((200, 200, 200, 201, 304, 404, 500))
        line = ("ts=2024-05-%02dT%02d:%02d:%02d.%03dZ,level=%s,host=web-%02d,service=api,"
                "req=%08x,path=/v1/items/%d,status=%d,dur_ms=%d,msg=request served\n" % (
                    n % 28 + 1, rng.randrange(24), rng.randrange(60), rng.randrange(60),
                    rng.randrange(1000), "info" if status < 400 else "error", rng.randrange(16),
                    rng.getrandbits(32), rng.randrange(100000), status, rng.randrange(2000)))
        lines.append(line)
        total += len(line)
    with open(os.path.join(folder, "app-%02d.log" % n), "w") as out:
        out.writelines(lines)
