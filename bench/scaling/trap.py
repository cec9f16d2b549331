"""trap.py INPUT OUTPUT [FILES]: on one 2-worker LocalCluster, converts the
first FILES files of INPUT twice: written by the workers (which return
counts), then returned to the client as lists and written there. Prints the
time and the peak RSS summed over the client and the workers for each."""
import os
import sys
import threading
import time

import distributed
import psutil
import zendral


def written_by_worker(source, target):
    result = zendral.csv_file_to_json(source)
    with open(target, "wb") as out:
        out.write("".join(item + "\n" for item in result).encode())
    return len(result)


def returned(source):
    return zendral.csv_file_to_json(source)


class Peak(threading.Thread):
    def __init__(self):
        super().__init__(daemon=True)
        self.peak, self.stopped = 0, False

    def run(self):
        me = psutil.Process()
        while not self.stopped:
            total = 0
            for process in [me] + me.children(recursive=True):
                try:
                    total += process.memory_info().rss
                except psutil.Error:
                    pass
            self.peak = max(self.peak, total)
            time.sleep(0.2)


def phase(name, work):
    peak = Peak()
    peak.start()
    began = time.monotonic()
    work()
    peak.stopped = True
    print("%-40s %7.2f s  peak RSS sum %6.0f MiB" % (name, time.monotonic() - began,
                                                    peak.peak / 2**20), flush=True)


def main():
    source, target = sys.argv[1:3]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 4
    os.makedirs(target, exist_ok=True)
    names = sorted(os.listdir(source))[:count]
    sources = [os.path.join(source, name) for name in names]
    targets = [os.path.join(target, name + ".jsonl") for name in names]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address="127.0.0.1:0",
                                  worker_dashboard_address="127.0.0.1:0") as cluster, \
            distributed.Client(cluster) as client:
        try:
            client.map(zendral.csv_file_to_json, sources[:1])[0].result()
        except Exception as error:
            print("client.map(zendral.csv_file_to_json): %s: %s" % (type(error).__name__, error))

        def in_workers():
            for future in distributed.as_completed(
                    client.map(written_by_worker, sources, targets, pure=False)):
                future.result()

        def to_client():
            futures = client.map(returned, sources, pure=False)
            for future, path in zip(futures, targets):
                result = future.result()
                future.release()
                with open(path, "wb") as out:
                    out.write("".join(item + "\n" for item in result).encode())

        phase("%d files, written by the workers" % count, in_workers)
        phase("%d files, lists returned to the client" % count, to_client)


if __name__ == "__main__":
    main()
